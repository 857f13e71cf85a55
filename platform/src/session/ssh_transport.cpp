// The ssh transport: the system's OpenSSH client runs the tool on the host
// the store names, so that everything the operator configured for ssh (their
// ssh_config, agent, known hosts and Kerberos tickets) applies unchanged.
//
// Every launch to one host in a process goes through one connection: a
// master (ssh -M -N) started by the first launch, below a keeper of its own,
// with its control socket in a private folder that the keeper removes when
// the master goes (at the end of the process, or should the process die).
// The master's start is the launch's connection step: a master that cannot
// connect (no route, refused, authentication, host key) is a failed launch
// whose text carries ssh's own reason, so that discovery moves on to the
// next member server. With TZ_SSH_PERSIST the master is ssh's own
// ControlPersist master instead, in a folder of the user's that outlives the
// process.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "session/transports.h"
#include "tzplatform/settings.h"
#include "util/one_line.h"

namespace tzplatform {
namespace detail {
namespace {

using Clock = ChildProcess::Clock;

// How often a connection being made is looked at.
constexpr auto kLookEvery = std::chrono::milliseconds(5);
// The longest reason quoted from ssh, in bytes.
constexpr size_t kLongestReason = 500;
// What ssh says when checking for a persistent master, at most.
constexpr size_t kMaxCheckOutput = 64 * 1024;
// A control socket's path, at most: a Unix socket's name holds 107 bytes,
// and ssh first binds the socket under its path with 17 more.
constexpr size_t kLongestSocketPath = 107 - 17;
// The longest folder a persistent socket (a 40-byte hash) fits in.
constexpr size_t kLongestControlFolder = kLongestSocketPath - 41;

// A host name as ssh takes it on its command line: nothing that could be
// read as an option, a user name or a second word.
bool IsSshHostName(const std::string& host) {
  return !host.empty() && host.size() <= 255 && host[0] != '-' &&
         host.find_first_not_of(
             "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
             "0123456789.-_:") == std::string::npos;
}

CWqError Unreachable(const std::string& host, const std::string& reason) {
  return CWqError(CWqError::kHostUnreachable, "host unreachable: " + host + " (" + reason + ")");
}

CWqError Cancelled() {
  return CWqError(CWqError::kCancelled, "cancelled: remote commands are stopped; not started");
}

CWqError StartFailed(const std::string& what, const std::string& why) {
  return CWqError(CWqError::kStartFailed, "start failed: " + what + ": " + why);
}

// The result of a ChildProcess::Start that failed.
CWqError NotStarted(const std::string& path, const std::string& failedCall, int error) {
  if (error == ECANCELED && failedCall == "cancel") return Cancelled();
  return StartFailed(failedCall == "exec" ? path : failedCall, std::strerror(error));
}

std::string Seconds(int seconds) {
  return std::to_string(seconds) + " s";
}

// ssh expands %-tokens in the control path.
std::string ControlPathOption(const std::string& folder, const std::string& name) {
  std::string option = "ControlPath=";
  for (char c : folder) option += c == '%' ? std::string("%%") : std::string(1, c);
  return option + "/" + name;
}

std::vector<std::string> SshEnvironment() {
  return FilteredEnvironment(IsSshVariable, {});
}

// What ssh said on its standard error, as a reason: its last lines that
// hold text, joined, escaped, cut short.
std::string SshReason(const std::string& said) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < said.size();) {
    const size_t end = std::min(said.find('\n', at), said.size());
    std::string line = said.substr(at, end - at);
    const size_t last = line.find_last_not_of(" \t\r");
    if (last != std::string::npos) lines.push_back(line.substr(0, last + 1));
    at = end + 1;
  }
  if (lines.empty()) return "ssh ended without saying why";
  std::string reason;
  for (size_t i = lines.size() > 3 ? lines.size() - 3 : 0; i < lines.size(); ++i) {
    reason += (reason.empty() ? "" : " ") + lines[i];
  }
  return ShortLine(reason, kLongestReason);
}

// Everything in the file open at `fd`.
std::string ReadWhole(int fd) {
  std::string text;
  char buffer[4096];
  for (off_t at = 0;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
}

// Options of every ssh run, before the operator's own words so that they
// win (ssh takes the first value it reads of an option): never a prompt, a
// connection within the remote timeout, only the session asked for (no
// forwarding from a Host block), no terminal.
std::vector<std::string> SshArguments(const std::vector<std::string>& command, int timeoutSeconds,
                                      std::vector<std::string> options, const std::string& host,
                                      const std::vector<std::string>& remote) {
  std::vector<std::string> args = {
      "-o", "BatchMode=yes",           "-o", "ConnectTimeout=" + std::to_string(timeoutSeconds),
      "-o", "ClearAllForwardings=yes", "-T"};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), command.begin() + 1, command.end());
  args.push_back("--");
  args.push_back(host);
  args.insert(args.end(), remote.begin(), remote.end());
  return args;
}

// What one ssh run needs besides its own options.
struct SshRun {
  const std::vector<std::string>& command;
  std::string path;  // the client, found on PATH
  const std::string& host;
  int timeoutSeconds;
  Clock::time_point deadline;
};

// A folder of its own for one master's control socket and what it says,
// under TMPDIR (or /tmp when that is unset or too long for a socket's name).
bool MakePrivateFolder(std::string& folder, std::string& why) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp";
  if (base.size() + std::strlen("/tzdag-ssh-XXXXXX/s") > kLongestSocketPath) base = "/tmp";
  std::string pattern = base + "/tzdag-ssh-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) {
    why = base + ": " + std::strerror(errno);
    return false;
  }
  folder = pattern;
  return true;
}

// One shared connection to a host.
struct Connection {
  std::mutex mu;  // guards what follows
  std::condition_variable settled;
  bool starting = false;
  uint64_t attempts = 0;
  CWqError failure;                      // why the last attempt failed
  std::unique_ptr<ChildProcess> master;  // while one is up
  std::string controlPath;               // the option that names its socket
};

// Every connection of the process; closed with it.
class Connections {
 public:
  static Connections& Get() {
    static Connections connections;
    return connections;
  }
  ~Connections() { CloseAll(); }

  std::shared_ptr<Connection> For(const std::string& host) {
    std::lock_guard<std::mutex> lock(mu_);
    std::shared_ptr<Connection>& connection = byHost_[host];
    if (!connection) connection = std::make_shared<Connection>();
    return connection;
  }

  void CloseAll() {
    std::map<std::string, std::shared_ptr<Connection>> all;
    {
      std::lock_guard<std::mutex> lock(mu_);
      all.swap(byHost_);
    }
    // A connection being made meanwhile is closed by its maker's last
    // reference.
    for (auto& entry : all) {
      std::lock_guard<std::mutex> lock(entry.second->mu);
      entry.second->master.reset();
    }
  }

 private:
  // The masters are stopped through the registry of children, which must
  // therefore outlive this object.
  Connections() { InitChildRegistry(); }

  std::mutex mu_;
  std::map<std::string, std::shared_ptr<Connection>> byHost_;
};

// Starts a master for `run.host` and waits until it is connected (its
// control socket is there), it gave up, or the deadline passed.
CWqError StartMaster(const SshRun& run, std::unique_ptr<ChildProcess>& master,
                     std::string& controlPath) {
  std::string folder, why;
  if (!MakePrivateFolder(folder, why)) return StartFailed("a folder for the connection", why);
  const std::string socket = folder + "/s", log = folder + "/log";
  // Kept open here, so that what ssh said can be read after its keeper
  // removed the file.
  UniqueFd said(open(log.c_str(), O_RDWR | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
  if (!said.valid()) {
    why = std::strerror(errno);
    rmdir(folder.c_str());
    return StartFailed(log, why);
  }
  controlPath = ControlPathOption(folder, "s");
  ChildStreams streams;
  streams.discardOutput = true;
  streams.errorTo = said.get();
  streams.removeWhenDone = {socket, log, folder};
  master = std::make_unique<ChildProcess>();
  std::string failedCall;
  const int error = master->Start(
      run.path,
      SshArguments(run.command, run.timeoutSeconds,
                   {"-o", "ControlMaster=yes", "-o", controlPath, "-o", "ControlPersist=no", "-N"},
                   run.host, {}),
      SshEnvironment(), failedCall, streams);
  if (error != 0) {
    master.reset();
    unlink(log.c_str());
    rmdir(folder.c_str());
    return NotStarted(run.path, failedCall, error);
  }
  // ssh makes its control socket once it is connected and logged in.
  for (;;) {
    struct stat st;
    if (lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return CWqError();
    if (master->Ended()) {
      master.reset();
      if (ChildrenCancelled()) return Cancelled();
      return Unreachable(run.host, SshReason(ReadWhole(said.get())));
    }
    if (Clock::now() >= run.deadline) {
      master.reset();
      return Unreachable(run.host, "no connection within " + Seconds(run.timeoutSeconds));
    }
    std::this_thread::sleep_for(kLookEvery);
  }
}

// The process's connection to `run.host`, made when there is none (or the
// one there was has gone); `controlPath` names its socket.
CWqError OpenConnection(const SshRun& run, std::string& controlPath) {
  std::shared_ptr<Connection> connection = Connections::Get().For(run.host);
  std::unique_lock<std::mutex> lock(connection->mu);
  for (;;) {
    if (connection->master) {
      if (!connection->master->Ended()) {
        controlPath = connection->controlPath;
        return CWqError();
      }
      // The server closed it, or a cancel ended it: a new one is made.
      connection->master.reset();
    }
    if (!connection->starting) break;
    // Another session is making it; its outcome is this one's too.
    const uint64_t attempt = connection->attempts;
    if (!connection->settled.wait_until(lock, run.deadline,
                                        [&] { return !connection->starting; })) {
      return Unreachable(run.host, "no connection within " + Seconds(run.timeoutSeconds));
    }
    if (!connection->master && connection->attempts == attempt) return connection->failure;
  }
  connection->starting = true;
  ++connection->attempts;
  lock.unlock();
  std::unique_ptr<ChildProcess> master;
  std::string madePath;
  const CWqError result = StartMaster(run, master, madePath);
  lock.lock();
  connection->starting = false;
  connection->failure = result;
  if (!result.IsError()) {
    connection->master = std::move(master);
    connection->controlPath = madePath;
    controlPath = madePath;
  }
  connection->settled.notify_all();
  return result;
}

// The folder of persistent control sockets: $XDG_RUNTIME_DIR/tzdag-ssh, else
// (or when that is too long for a socket's name in it) /tmp/tzdag-ssh-<uid>;
// made when missing, refused unless it is this user's alone.
bool PersistentFolder(std::string& folder, std::string& why) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  folder = runtime != nullptr && runtime[0] == '/' ? std::string(runtime) + "/tzdag-ssh" : "";
  if (folder.empty() || folder.size() > kLongestControlFolder) {
    folder = "/tmp/tzdag-ssh-" + std::to_string(geteuid());
  }
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    why = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0) {
    why = "not a folder of this user's alone";
    return false;
  }
  return true;
}

// Runs ssh with `options` and nothing remote to its end; how it ended.
ChildOutcome RunSsh(const SshRun& run, const std::vector<std::string>& options, bool leaveRunning,
                    int& error, std::string& failedCall) {
  ChildProcess ssh;
  ChildStreams streams;
  streams.leaveRunning = leaveRunning;
  error = ssh.Start(run.path, SshArguments(run.command, run.timeoutSeconds, options, run.host, {}),
                    SshEnvironment(), failedCall, streams);
  if (error != 0) return ChildOutcome();
  return ssh.Collect(run.deadline, kMaxCheckOutput);
}

// A persistent master for `run.host`: the one running, or a new one that
// ssh leaves running for `seconds` once unused. Processes and threads that
// open one at once take turns through a lock file.
CWqError OpenPersistentConnection(const SshRun& run, int seconds, std::string& controlPath) {
  std::string folder, why;
  if (!PersistentFolder(folder, why)) return StartFailed(folder, why);
  controlPath = ControlPathOption(folder, "%C");
  const std::string lockPath = folder + "/" + run.host + ".lock";
  UniqueFd lock(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!lock.valid()) return StartFailed(lockPath, std::strerror(errno));
  while (flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return StartFailed(lockPath, std::strerror(errno));
    if (Clock::now() >= run.deadline) {
      return Unreachable(run.host, "no connection within " + Seconds(run.timeoutSeconds));
    }
    std::this_thread::sleep_for(kLookEvery);
  }
  int error = 0;
  std::string failedCall;
  ChildOutcome check = RunSsh(run, {"-o", controlPath, "-O", "check"}, false, error, failedCall);
  if (error != 0) return NotStarted(run.path, failedCall, error);
  if (check.kind == ChildOutcome::Kind::kExited && check.exitCode == 0) return CWqError();
  // -f: ssh goes to the background once connected and logged in.
  ChildOutcome start = RunSsh(run,
                              {"-o", "ControlMaster=yes", "-o", controlPath, "-o",
                               "ControlPersist=" + std::to_string(seconds) + "s", "-N", "-f"},
                              true, error, failedCall);
  if (error != 0) return NotStarted(run.path, failedCall, error);
  switch (start.kind) {
    case ChildOutcome::Kind::kExited:
      if (start.exitCode == 0) return CWqError();
      break;
    case ChildOutcome::Kind::kTimedOut:
      return Unreachable(run.host, "no connection within " + Seconds(run.timeoutSeconds));
    case ChildOutcome::Kind::kCancelled:
      return Cancelled();
    default:
      break;
  }
  return Unreachable(run.host, SshReason(start.errorOutput));
}

}  // namespace

bool IsToolVariable(const std::string& name) {
  return name == "PATH" || name == "LANG" || name == "TZ" || name.rfind("LC_", 0) == 0;
}

bool IsSshVariable(const std::string& name) {
  for (const char* needed :
       {"HOME", "USER", "LOGNAME", "SSH_AUTH_SOCK", "KRB5CCNAME", "KRB5_CONFIG"}) {
    if (name == needed) return true;
  }
  return IsToolVariable(name);
}

std::vector<std::string> SplitArguments(const std::string& arguments) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : arguments) {
    if (c == ' ' || c == '\t') {
      if (!piece.empty()) pieces.push_back(std::move(piece));
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) pieces.push_back(std::move(piece));
  return pieces;
}

CWqError StartOverSsh(const AttachRequest& request, int timeoutSeconds, Clock::time_point deadline,
                      ChildProcess& child) {
  std::vector<std::string> command;
  ShellKind shell;
  std::string tool;
  int persist = 0;
  try {
    command = SshCommand();
    shell = RemoteShell();
    tool = RemoteTool();
    persist = SshPersist();
  } catch (const SettingsError& e) {
    return CWqError(CWqError::kBadRequest, std::string("bad request: ") + e.what());
  }
  if (!IsSshHostName(request.host)) {
    return CWqError(CWqError::kHostUnreachable,
                    "host unreachable: '" + request.host + "' is not a host name");
  }
  std::string line, why;
  if (!RemoteCommandLine(shell, tool.empty() ? request.executable : tool,
                         SplitArguments(request.arguments), line, why)) {
    return CWqError(CWqError::kBadRequest, "bad request: " + why);
  }
  const char* searchPath = std::getenv("PATH");
  SshRun run{command, FindProgram(command[0], searchPath != nullptr ? searchPath : ""),
             request.host, timeoutSeconds, deadline};
  if (run.path.empty()) return StartFailed(command[0], "not found, or not an executable file");

  std::string controlPath;
  const CWqError opened = persist > 0 ? OpenPersistentConnection(run, persist, controlPath)
                                      : OpenConnection(run, controlPath);
  if (opened.IsError()) return opened;
  // Its input stays open while the tool runs, so that the server can tell
  // when the session is given up.
  ChildStreams streams;
  streams.holdInput = true;
  std::string failedCall;
  const int error =
      child.Start(run.path,
                  SshArguments(command, timeoutSeconds,
                               {"-o", "ControlMaster=no", "-o", controlPath}, request.host, {line}),
                  SshEnvironment(), failedCall, streams);
  if (error != 0) return NotStarted(run.path, failedCall, error);
  return CWqError();
}

void CloseSshConnections() {
  Connections::Get().CloseAll();
}

}  // namespace detail
}  // namespace tzplatform
