// The remote command session: a host is a folder under the remote root, the
// remote program a child process started from it; or, over ssh, the host the
// store names, the remote program run there by the local ssh client
// (session/ssh_transport.cpp). Either way a local child process is watched.
//
// The program is started at attach and its output read at receive. The
// remote timeout counts from the attach: a program that has not finished by
// then is killed, however late the receive comes, even when it printed a
// whole answer (only its exit status says the answer is good). An answer
// already complete when the receive starts is taken even past the deadline.
#include "tzplatform/CTzNetwork.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "session/child_process.h"
#include "session/recorder_hooks.h"
#include "session/transports.h"
#include "tzplatform/EvEvent.h"
#include "tzplatform/codec.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"
#include "util/one_line.h"

namespace {

// CNSession::tzsExecuteRemoteCommandType, the request record.
constexpr uint32_t kRequestKey = 0x9000111;
struct RequestField {
  int field;
  int slot;
  uint32_t key;
};
constexpr RequestField kField1{1, 1, 7634917};
constexpr RequestField kExecutable{2, 2, 7933915};
constexpr RequestField kArguments{3, 6, 959324};
constexpr RequestField kField4{4, 10, 2090299};
constexpr RequestField kField5{5, 11, 9836683};

std::string GetString(const CNMessageBase& m, const RequestField& f) {
  return m.getstring(f.field, f.slot, kRequestKey, f.key);
}
int64_t GetInt64(const CNMessageBase& m, const RequestField& f) {
  return m.getint64(f.slot, kRequestKey, f.key);
}

std::atomic<size_t> g_maxOutput{tzplatform::kMaxRemoteOutput};

std::mutex g_waitHookMu;
std::shared_ptr<const tzplatform::RemoteWaitHook> g_waitHook;

std::shared_ptr<const tzplatform::RemoteWaitHook> WaitHook() {
  std::lock_guard<std::mutex> lock(g_waitHookMu);
  return g_waitHook;
}

tzplatform::AttachRequest DescribeAttach(const char* host, const CNMessageBase& command,
                                         const char* thirdText, const char* localClientName,
                                         int timeoutHint) {
  tzplatform::AttachRequest request;
  request.host = host != nullptr ? host : "";
  request.localClientName = localClientName != nullptr ? localClientName : "";
  request.thirdTextNull = thirdText == nullptr;
  request.timeoutHint = timeoutHint;
  if (command.getTagID() == kRequestKey) {
    request.executable = GetString(command, kExecutable);
    request.arguments = GetString(command, kArguments);
    request.field1 = GetInt64(command, kField1);
    request.field4 = GetInt64(command, kField4);
    request.field5 = GetInt64(command, kField5);
  }
  return request;
}

// A name that stays one folder below the remote root.
bool IsPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string SystemText(int error) {
  return std::strerror(error);
}

// Decodes `output`, which it uses up, into a new record in *message; the
// reason when it does not decode (a kBadOutput), else empty.
std::string DecodeProblem(std::string&& output, CNMessageBase** message) {
  std::unique_ptr<CNMessageBase> record;
  tzplatform::DecodeResult decoded = tzplatform::DecodeMessage(std::move(output), record);
  if (!decoded.ok || !record) {
    return "output does not decode: " +
           (decoded.error.empty() ? std::string("not a message record") : decoded.error);
  }
  *message = record.release();
  return std::string();
}

// The last line of a tool's standard error that holds more than blanks,
// escaped and cut short, for an error's text; empty when there is none.
std::string LastErrorLine(const std::string& errorOutput) {
  const size_t end = errorOutput.find_last_not_of(" \t\r\n");
  if (end == std::string::npos) return std::string();
  size_t start = errorOutput.rfind('\n', end);
  start = errorOutput.find_first_not_of(" \t\r", start == std::string::npos ? 0 : start + 1);
  return tzplatform::detail::ShortLine(errorOutput.substr(start, end + 1 - start), 300);
}

// A tool's standard error, line by line, at debug level 1, once it ended.
void LogErrorOutput(const tzplatform::AttachRequest& request,
                    const tzplatform::detail::ChildOutcome& outcome) {
  EvDebug log;
  if (outcome.errorBytes == 0 || !log.isLevelEnabled(1)) return;
  const bool cut = outcome.errorBytes > outcome.errorOutput.size();
  log.DebugLvl("CTzNetwork", 1, "%s on %s wrote %zu bytes to standard error%s",
               request.executable.c_str(), request.host.c_str(), outcome.errorBytes,
               cut ? ", ending with:" : ":");
  const std::string& text = outcome.errorOutput;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    log.DebugLvl("CTzNetwork", 1, "  %s", text.substr(at, end - at).c_str());
    at = end + 1;
  }
}

}  // namespace

namespace tzplatform {

void SetMaxRemoteOutputForTest(size_t bytes) {
  g_maxOutput = bytes == 0 ? kMaxRemoteOutput : bytes;
}

void SetForkedKeepersForTest(bool forked) {
  detail::UseForkedKeepers(forked);
}

void SetRemoteWaitHook(RemoteWaitHook hook) {
  std::lock_guard<std::mutex> lock(g_waitHookMu);
  g_waitHook = hook ? std::make_shared<const RemoteWaitHook>(std::move(hook)) : nullptr;
}

void CancelRemoteCommands() {
  detail::CancelAllChildren();
}

void ResumeRemoteCommands() {
  detail::ResumeChildren();
}

void CloseRemoteConnections() {
  detail::CloseSshConnections();
}

}  // namespace tzplatform

std::string CWqError::AsString() const {
  if (!IsError()) return std::to_string(code) + ": success";
  return std::to_string(code) + ": " + (text_.empty() ? std::string("error") : text_);
}

struct CTzNetwork::Impl {
  enum class State { kIdle, kRunning, kIntercepted, kDone };
  State state = State::kIdle;
  tzplatform::detail::ChildProcess child;
  tzplatform::detail::ChildProcess::Clock::time_point started;
  tzplatform::detail::ChildProcess::Clock::time_point deadline;
  int timeoutSeconds = 0;
  // Set when a recorder answers in place of a program.
  std::shared_ptr<tzplatform::detail::RecorderState> interceptor;
  tzplatform::AttachRequest request;

  CWqError Start(const tzplatform::AttachRequest& request);
  // The remote root's launch: the tool in the host's folder.
  CWqError StartUnderRoot(const tzplatform::AttachRequest& request);
  CWqError Collect(CNMessageBase** message);
  // How the program's run ended for the session: kOk when it answered
  // (its output is then to be decoded).
  struct Verdict {
    int32_t code = CWqError::kOk;
    std::string text;
  };
  Verdict Judge(const tzplatform::detail::ChildOutcome& outcome, size_t maxOutput) const;
};

CTzNetwork::CTzNetwork() : impl_(std::make_unique<Impl>()) {
  tzplatform::detail::NoteSessionCreated();
}

CTzNetwork::~CTzNetwork() {
  // The child process (if any) is killed and reaped by its own destructor.
  impl_.reset();
  tzplatform::detail::NoteSessionDestroyed();
}

CWqError CTzNetwork::Attach_RemoteCommand(const char* host, const CNMessageBase& command,
                                          const char* thirdText, const char* localClientName,
                                          int timeoutHint, bool& flag) {
  flag = false;
  tzplatform::AttachRequest request =
      DescribeAttach(host, command, thirdText, localClientName, timeoutHint);
  std::shared_ptr<tzplatform::detail::RecorderState> interceptor =
      tzplatform::detail::NoteAttach(request);

  if (impl_->state != Impl::State::kIdle) {
    return CWqError(CWqError::kBadRequest,
                    "bad request: the session is already attached to a program");
  }
  if (interceptor) {
    CWqError result = tzplatform::detail::InterceptedAttach(*interceptor, request);
    if (!result.IsError()) {
      impl_->state = Impl::State::kIntercepted;
      impl_->interceptor = std::move(interceptor);
      impl_->request = std::move(request);
    }
    return result;
  }
  if (command.getTagID() != kRequestKey) {
    return CWqError(CWqError::kBadRequest,
                    "bad request: the command is not a remote command record (tag id " +
                        std::to_string(command.getTagID()) + ")");
  }
  return impl_->Start(request);
}

CWqError CTzNetwork::Impl::Start(const tzplatform::AttachRequest& asked) {
  if (asked.executable.empty()) {
    return CWqError(CWqError::kBadRequest, "bad request: the command names no executable");
  }
  if (!IsPlainName(asked.executable)) {
    return CWqError(CWqError::kBadRequest,
                    "bad request: executable '" + asked.executable + "' is not a plain file name");
  }
  tzplatform::Transport transport;
  try {
    transport = tzplatform::RemoteTransport();
    timeoutSeconds = tzplatform::RemoteTimeout();
  } catch (const tzplatform::SettingsError& e) {
    // No tool runs without a bound on how long it may take, nor over a
    // transport nobody chose.
    return CWqError(CWqError::kBadRequest, std::string("bad request: ") + e.what());
  }
  // The remote timeout counts from here: a connection's making is part of it.
  started = tzplatform::detail::ChildProcess::Clock::now();
  deadline = started + std::chrono::seconds(timeoutSeconds);
  CWqError result = transport == tzplatform::Transport::kSsh
                        ? tzplatform::detail::StartOverSsh(asked, timeoutSeconds, deadline, child)
                        : StartUnderRoot(asked);
  if (result.IsError()) return result;
  request = asked;
  state = State::kRunning;
  return CWqError();
}

CWqError CTzNetwork::Impl::StartUnderRoot(const tzplatform::AttachRequest& asked) {
  if (!IsPlainName(asked.host)) {
    return CWqError(CWqError::kHostUnreachable,
                    "host unreachable: '" + asked.host + "' is not a host name");
  }
  const std::string folder = tzplatform::RemoteRoot() + "/" + asked.host;
  if (!IsDirectory(folder)) {
    return CWqError(CWqError::kHostUnreachable,
                    "host unreachable: " + asked.host + " (no folder " + folder + ")");
  }
  const std::string path = folder + "/" + asked.executable;
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR)) {
    return CWqError(CWqError::kToolNotInstalled,
                    "tool not installed: no " + asked.executable + " in " + folder);
  }
  const std::vector<std::string> env = tzplatform::detail::FilteredEnvironment(
      tzplatform::detail::IsToolVariable,
      {"TZ_REMOTE_HOST=" + asked.host, "TZ_LOCAL_CLIENT=" + asked.localClientName});
  std::string failedCall;
  int error =
      child.Start(path, tzplatform::detail::SplitArguments(asked.arguments), env, failedCall);
  if (error == ECANCELED && failedCall == "cancel") {
    return CWqError(CWqError::kCancelled, "cancelled: remote commands are stopped; not started");
  }
  if (error != 0) {
    std::string what = failedCall == "exec" ? path : failedCall;
    return CWqError(CWqError::kStartFailed, "start failed: " + what + ": " + SystemText(error));
  }
  return CWqError();
}

CWqError CTzNetwork::ReceiveXMLMessage(uint32_t* id, CNMessageBase** message, std::string* header,
                                       int /*flags*/, int /*timeout*/, bool& flag) {
  flag = false;
  if (id != nullptr) *id = 0;
  if (header != nullptr) header->clear();
  tzplatform::detail::NoteReceive();
  if (message == nullptr) {
    return CWqError(CWqError::kBadRequest, "bad request: no place for the received message");
  }
  *message = nullptr;

  CWqError result;
  switch (impl_->state) {
    case Impl::State::kIdle:
      return CWqError(CWqError::kNotAttached, "not attached: receive without a successful attach");
    case Impl::State::kDone:
      return CWqError(CWqError::kNotAttached, "not attached: the answer was already received");
    case Impl::State::kIntercepted: {
      impl_->state = Impl::State::kDone;
      tzplatform::SessionRecorder::ReceiveAnswer answer =
          tzplatform::detail::InterceptedReceive(*impl_->interceptor, impl_->request);
      impl_->interceptor.reset();
      result = answer.result;
      if (!result.IsError() && !answer.xml.empty()) {
        const std::string problem = DecodeProblem(std::move(answer.xml), message);
        if (!problem.empty()) result = CWqError(CWqError::kBadOutput, problem);
      }
      break;
    }
    case Impl::State::kRunning:
      impl_->state = Impl::State::kDone;
      result = impl_->Collect(message);
      break;
  }
  if (!result.IsError() && id != nullptr && *message != nullptr) *id = (*message)->getTagID();
  return result;
}

CWqError CTzNetwork::Impl::Collect(CNMessageBase** message) {
  using Kind = tzplatform::detail::ChildOutcome::Kind;
  const size_t maxOutput = g_maxOutput.load();
  std::shared_ptr<const tzplatform::RemoteWaitHook> hook = WaitHook();
  tzplatform::RemoteWait wait;
  wait.host = request.host;
  wait.executable = request.executable;
  wait.timeoutSeconds = timeoutSeconds;
  auto report = [&](bool ended) {
    wait.waitedSeconds =
        static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                             tzplatform::detail::ChildProcess::Clock::now() - started)
                             .count());
    wait.ended = ended;
    (*hook)(wait);
  };
  std::function<void()> tick;
  if (hook) {
    report(false);
    tick = [&] { report(false); };
  }
  tzplatform::detail::ChildOutcome outcome = child.Collect(deadline, maxOutput, tick);
  if (hook) report(true);
  LogErrorOutput(request, outcome);
  Verdict verdict = Judge(outcome, maxOutput);
  if (verdict.code == CWqError::kOk) {
    verdict.text = DecodeProblem(std::move(outcome.output), message);
    if (verdict.text.empty()) return CWqError();
    verdict.code = CWqError::kBadOutput;
  }
  // What the tool said on its way out, for a run that did not answer.
  const std::string said = LastErrorLine(outcome.errorOutput);
  if (!said.empty() && outcome.kind != Kind::kCancelled && outcome.kind != Kind::kErrorTooLarge) {
    verdict.text += " (standard error: " + said + ")";
  }
  return CWqError(verdict.code, verdict.text);
}

CTzNetwork::Impl::Verdict CTzNetwork::Impl::Judge(const tzplatform::detail::ChildOutcome& outcome,
                                                  size_t maxOutput) const {
  using Kind = tzplatform::detail::ChildOutcome::Kind;
  const std::string bytes = std::to_string(outcome.output.size()) + " bytes";
  switch (outcome.kind) {
    case Kind::kTimedOut:
      // Only a program that ends has answered: its exit status decides.
      if (outcome.output.empty()) {
        return {CWqError::kTimedOut,
                "no answer within " + std::to_string(timeoutSeconds) + " s; killed"};
      }
      return {CWqError::kTimedOut, "answered " + bytes + " but did not exit within " +
                                       std::to_string(timeoutSeconds) + " s; killed"};
    case Kind::kTooLarge:
      return {CWqError::kOutputTooLarge,
              "output above " + std::to_string(maxOutput) + " bytes; killed"};
    case Kind::kErrorTooLarge:
      return {CWqError::kOutputTooLarge,
              "standard error above " + std::to_string(maxOutput) + " bytes; killed"};
    case Kind::kSystemError:
      return {CWqError::kInternal, "internal error: " + outcome.failedCall + ": " +
                                       SystemText(outcome.error) + "; killed"};
    case Kind::kCancelled:
      return {CWqError::kCancelled, "cancelled after " + bytes + " of output; killed"};
    case Kind::kSignalled: {
      // A program that did not finish has no complete answer, whatever it wrote.
      std::string what = "killed by signal " + std::to_string(outcome.signal) + " (" +
                         strsignal(outcome.signal) + ")";
      if (outcome.output.empty()) return {CWqError::kExitedWithoutOutput, what + " without output"};
      return {CWqError::kBadOutput, what + " after " + bytes + " of output"};
    }
    case Kind::kExited:
      break;
  }
  // A program that reports a failure through its exit status has failed,
  // whatever it printed: its answer is not used.
  if (outcome.exitCode != 0) {
    const std::string what = "exited with status " + std::to_string(outcome.exitCode);
    if (outcome.output.empty()) return {CWqError::kExitedWithoutOutput, what + " without output"};
    return {CWqError::kBadOutput, what + " after " + bytes + " of output"};
  }
  if (outcome.output.empty()) {
    return {CWqError::kBadOutput, "output does not decode: no output (exit status 0)"};
  }
  return {};
}
