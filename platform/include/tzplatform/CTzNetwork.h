// Remote command session of the platform.
//
// Two transports (tzplatform/settings.h, TZ_REMOTE_TRANSPORT):
// - root (the stand-in): a host is the folder <remote root>/<host>/
//   (tzplatform::RemoteRoot); the executable named by the request is looked
//   up in that folder and run as a local child process with the request's
//   argument string split at blanks (no quoting), with TZ_REMOTE_HOST=<host>
//   and TZ_LOCAL_CLIENT=<local client name> in its environment;
// - ssh: the system's OpenSSH client runs the executable (or
//   TZ_REMOTE_TOOL) on the host, the argument string split at blanks and
//   every word quoted for the servers' shell (TZ_REMOTE_SHELL). A host that
//   cannot be connected to is a failed attach (kHostUnreachable, with ssh's
//   reason); launches to one host share one connection.
// Either way the program's standard output is the one XML message that
// ReceiveXMLMessage decodes, its standard error is read into a bounded
// capture (logged at debug level 1; its last line joins the text of a failed
// run), and it gets only PATH, LANG, LC_* and TZ of this process's
// environment (ssh also HOME, USER, LOGNAME, SSH_AUTH_SOCK, KRB5CCNAME and
// KRB5_CONFIG).
//
// One CTzNetwork runs at most one remote program. The child is always reaped,
// and so is everything it started: the destructor kills a child that still
// runs, with its descendants, and closes every descriptor the session
// opened. A CTzNetwork is used by one thread at a time; distinct sessions may
// run in parallel.
#ifndef TZPLATFORM_CTZNETWORK_H_
#define TZPLATFORM_CTZNETWORK_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tzplatform/CNMessageBase.h"
#include "tzplatform/export.h"

// Result of a session call: an error when the code is negative.
class TZPLATFORM_API CWqError {
 public:
  int32_t code;  // first member: 0 = success, negative = error

  // Error codes of the stand-in session.
  enum : int32_t {
    kOk = 0,
    kHostUnreachable = -1,      // no folder for the host under the remote root; no ssh connection
    kToolNotInstalled = -2,     // no such executable in the host folder
    kStartFailed = -3,          // the program could not be started
    kExitedWithoutOutput = -4,  // non-zero exit or killed, nothing on standard output
    kBadOutput = -5,            // the output does not decode as one message, or the
                                // program exited non-zero or was killed after output
    kOutputTooLarge = -6,       // the output or standard error exceeded the session's bound
    kTimedOut = -7,             // not ended within the remote timeout; killed
    kNotAttached = -8,          // receive without a successful attach
    kBadRequest = -9,           // the request record lacks an executable, a setting is not
                                // valid, or a word cannot pass through the servers' shell
    kInternal = -10,            // a system call of the session failed
    kCancelled = -11,           // tzplatform::CancelRemoteCommands stopped it
  };

  CWqError() : code(kOk) {}
  CWqError(int32_t c, std::string text) : code(c), text_(std::move(text)) {}

  bool IsError() const { return code < 0; }
  // "<code>: <text>" for an error, "0: success" otherwise.
  std::string AsString() const;

 private:
  std::string text_;
};

class TZPLATFORM_API CTzNetwork {
 public:
  CTzNetwork();
  ~CTzNetwork();
  CTzNetwork(const CTzNetwork&) = delete;
  CTzNetwork& operator=(const CTzNetwork&) = delete;

  // Starts the program that `command` (a CNSession::tzsExecuteRemoteCommandType
  // record) names on `host`. `thirdText` may be null; `localClientName` is the
  // name of the machine the caller runs on (null = empty); `timeoutHint` is
  // kept for the record and otherwise unused; `flag` is set to false.
  // A second attach on the same session is an error (kBadRequest).
  CWqError Attach_RemoteCommand(const char* host, const CNMessageBase& command,
                                const char* thirdText, const char* localClientName, int timeoutHint,
                                bool& flag);

  // Waits for the attached program to finish, decodes its output and hands
  // back a newly allocated record in *message, which the caller owns and must
  // delete. Only a program that exits with status 0 has answered: a non-zero
  // status, a signal or the remote timeout is an error whatever it printed.
  // The remote timeout counts from the attach. `id` (the record's tag id) and
  // `header` (cleared) may be null. On error *message is null.
  CWqError ReceiveXMLMessage(uint32_t* id, CNMessageBase** message, std::string* header, int flags,
                             int timeout, bool& flag);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

#endif  // TZPLATFORM_CTZNETWORK_H_
