// Test seam of the remote command session.
#ifndef TZPLATFORM_SESSION_H_
#define TZPLATFORM_SESSION_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tzplatform/CTzNetwork.h"
#include "tzplatform/export.h"
#include "tzplatform/settings.h"

namespace tzplatform {

// What a caller asked of one session.
struct AttachRequest {
  std::string host;
  std::string executable;
  std::string arguments;
  std::string localClientName;
  bool thirdTextNull = true;
  int timeoutHint = 0;
  int64_t field1 = 0, field4 = 0, field5 = 0;  // the request's three integer fields
};

// While alive, records every Attach_RemoteCommand and ReceiveXMLMessage of
// every session in the process. In intercept mode no process is started:
// each attach is answered by the attach handler (default: success) and each
// receive by the receive handler (default: kNotAttached), so unit tests see
// what the library asked without a remote root.
class TZPLATFORM_API SessionRecorder {
 public:
  enum class Mode { kObserve, kIntercept };

  // Answer of an intercepted receive: the result, and the XML text to decode
  // into the handed-back record. An empty text with a success result hands
  // back no record (a null message), as a faulty session might.
  struct ReceiveAnswer {
    CWqError result;
    std::string xml;
  };
  using AttachHandler = std::function<CWqError(const AttachRequest&)>;
  using ReceiveHandler = std::function<ReceiveAnswer(const AttachRequest&)>;

  explicit SessionRecorder(Mode mode = Mode::kObserve);
  ~SessionRecorder();
  SessionRecorder(const SessionRecorder&) = delete;
  SessionRecorder& operator=(const SessionRecorder&) = delete;

  void OnAttach(AttachHandler handler);
  void OnReceive(ReceiveHandler handler);

  std::vector<AttachRequest> Attaches() const;
  int Receives() const;
  // Sessions constructed / destroyed while recording.
  int SessionsCreated() const;
  int SessionsDestroyed() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// For a caller that is stopping (a signal, a shutdown): kills every remote
// program this process runs, with whatever it started, so that a session
// waiting in ReceiveXMLMessage returns kCancelled at once, and makes every
// later attach fail with kCancelled without starting anything. Safe from any
// thread, but not from a signal handler.
TZPLATFORM_API void CancelRemoteCommands();
// Lets attaches start programs again after CancelRemoteCommands.
TZPLATFORM_API void ResumeRemoteCommands();

// A wait for a remote program's answer, for a caller that shows it.
struct RemoteWait {
  std::string host;
  std::string executable;
  int waitedSeconds = 0;   // whole seconds since the program was started
  int timeoutSeconds = 0;  // when it is killed (the remote timeout)
  bool ended = false;      // the wait is over, however it ended
};
using RemoteWaitHook = std::function<void(const RemoteWait&)>;

// Calls `hook` on the thread that waits in ReceiveXMLMessage for a started
// program: once as the wait begins, about once a second while it lasts, and
// once with `ended` set when it is over. One hook for the process; an empty
// one removes it. The hook must be quick and must not use a session.
// Intercepted sessions (SessionRecorder) do not call it.
TZPLATFORM_API void SetRemoteWaitHook(RemoteWaitHook hook);

// Ends every connection this process keeps open to reuse (the ssh
// transport's masters, TZ_SSH_PERSIST aside); a later attach opens a new
// one. They are also ended when the process exits normally, and, should it
// die, by the platform's own processes that run them.
TZPLATFORM_API void CloseRemoteConnections();

// How a command line passes through a server's shell (TZ_REMOTE_SHELL). Both
// functions are pure.
//
// `word` quoted for `shell`, so that the program it is given to receives it
// as one argument, byte for byte, and no character of it can end the command
// or start another: sh single-quotes; cmd quotes for the program's own
// reading of its command line and escapes every character cmd gives a
// meaning with a caret; powershell writes a single-quoted literal, with
// quote characters and blanks as [char] codes. False, with `why`, when the
// shell cannot carry it: a NUL byte anywhere; for cmd and powershell a
// control character or text that is not UTF-8; for powershell a double
// quote (Windows PowerShell passes it to a program unescaped) or an empty
// word (which it drops).
TZPLATFORM_API bool QuoteForShell(ShellKind shell, const std::string& word, std::string& quoted,
                                  std::string& why);
// The command line that runs `program` with `args` in `shell`, every word
// quoted (powershell: "& <program> <args>; exit $LASTEXITCODE", so that the
// tool's exit status is the session's). False, with `why` naming the word,
// when a word cannot be carried.
TZPLATFORM_API bool RemoteCommandLine(ShellKind shell, const std::string& program,
                                      const std::vector<std::string>& args, std::string& line,
                                      std::string& why);

// Upper bound of a remote program's output, in bytes; its standard error has
// the same bound (and only its last 4 KiB are kept).
constexpr size_t kMaxRemoteOutput = 64u * 1024u * 1024u;

// Tests only: whether a remote program's keeper (the platform's process
// that makes sure nothing the program started outlives it) is a fork of this
// process, as where the keeper program cannot be executed from memory,
// rather than that program.
TZPLATFORM_API void SetForkedKeepersForTest(bool forked);

// Tests only: lowers the bound for sessions that receive from now on, so
// that an oversized answer needs no 64 MiB; 0 restores kMaxRemoteOutput.
TZPLATFORM_API void SetMaxRemoteOutputForTest(size_t bytes);

}  // namespace tzplatform

#endif  // TZPLATFORM_SESSION_H_
