#include "session/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>

extern char** environ;

namespace tzplatform {
namespace detail {
namespace {

// While the child runs without a process descriptor to wait on, its end is
// noticed by looking this often.
constexpr int kExitCheckMillis = 20;

// Spawn attributes and file actions, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    attrOk_ = posix_spawnattr_init(&attr_) == 0;
    actionsOk_ = posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (actionsOk_) posix_spawn_file_actions_destroy(&actions_);
    if (attrOk_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool ok() const { return attrOk_ && actionsOk_; }
  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attrOk_ = false;
  bool actionsOk_ = false;
};

std::string EnvName(const std::string& entry) {
  return entry.substr(0, entry.find('='));
}

// This process's environment with `extra` added, an entry of `extra`
// replacing one of the same name.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text(*entry);
    bool replaced = std::any_of(extra.begin(), extra.end(),
                                [&](const std::string& e) { return EnvName(e) == EnvName(text); });
    if (!replaced) env.push_back(std::move(text));
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> PointerArray(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  pointers.reserve(strings.size() + 1);
  for (std::string& s : strings) pointers.push_back(&s[0]);
  pointers.push_back(nullptr);
  return pointers;
}

int MillisUntil(ChildProcess::Clock::time_point deadline) {
  auto left = deadline - ChildProcess::Clock::now();
  if (left <= ChildProcess::Clock::duration::zero()) return 0;
  auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
  return static_cast<int>(std::min<long long>(millis, INT_MAX));
}

// Every child that has been started and not yet reaped, and whether the
// process is stopping. The lock also covers each reap, so that a pid is
// never signalled after it was freed.
struct Registry {
  std::mutex mu;
  std::set<ChildProcess*> live;
  bool cancelled = false;
};

Registry& Children() {
  static Registry registry;
  return registry;
}

// Waits until `pid` has ended, leaving it unreaped.
void WaitForEnd(pid_t pid) {
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
}

int WaitForChild(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

ChildOutcome Failure(ChildOutcome::Kind kind, std::string output) {
  ChildOutcome outcome;
  outcome.kind = kind;
  outcome.output = std::move(output);
  return outcome;
}

ChildOutcome SystemFailure(const char* call, int error, std::string output) {
  ChildOutcome outcome = Failure(ChildOutcome::Kind::kSystemError, std::move(output));
  outcome.error = error;
  outcome.failedCall = call;
  return outcome;
}

}  // namespace

void UniqueFd::Reset() {
  if (fd_ >= 0) {
    // A close interrupted by a signal has still released the descriptor on
    // Linux; retrying could close a descriptor another thread just opened.
    close(fd_);
    fd_ = -1;
  }
}

ChildProcess::~ChildProcess() {
  output_.Reset();
  if (pid_ > 0) KillAndReap();
  std::lock_guard<std::mutex> lock(Children().mu);
  Children().live.erase(this);
}

void CancelAllChildren() {
  Registry& registry = Children();
  std::lock_guard<std::mutex> lock(registry.mu);
  registry.cancelled = true;
  for (ChildProcess* child : registry.live) {
    if (child->pid_ <= 0) continue;
    child->cancelled_ = true;
    child->Kill();
  }
}

void ResumeChildren() {
  std::lock_guard<std::mutex> lock(Children().mu);
  Children().cancelled = false;
}

int ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                        const std::vector<std::string>& extraEnv, std::string& failedCall) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    failedCall = "pipe2";
    return errno;
  }
  UniqueFd readEnd(fds[0]);
  UniqueFd writeEnd(fds[1]);

  SpawnSetup setup;
  if (!setup.ok()) {
    failedCall = "posix_spawnattr_init";
    return ENOMEM;
  }
  // Standard output first: should the pipe have landed on descriptor 0, the
  // /dev/null opened next must not replace it before it is copied.
  int rc = posix_spawn_file_actions_adddup2(setup.actions(), writeEnd.get(), STDOUT_FILENO);
  if (rc == 0) {
    rc = posix_spawn_file_actions_addopen(setup.actions(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  // A group of its own, so that a kill reaches what the program started too;
  // signals as a freshly started program expects them, whatever this process
  // blocks or ignores.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2}) {
    sigaddset(&defaults, sig);
  }
  if (rc == 0) rc = posix_spawnattr_setpgroup(setup.attr(), 0);
  if (rc == 0) rc = posix_spawnattr_setsigmask(setup.attr(), &none);
  if (rc == 0) rc = posix_spawnattr_setsigdefault(setup.attr(), &defaults);
  if (rc == 0) {
    rc = posix_spawnattr_setflags(
        setup.attr(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  if (rc != 0) {
    failedCall = "posix_spawn_file_actions";
    return rc;
  }

  std::vector<std::string> argvStrings;
  argvStrings.reserve(args.size() + 1);
  argvStrings.push_back(path);
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = ChildEnvironment(extraEnv);
  std::vector<char*> argv = PointerArray(argvStrings);
  std::vector<char*> envp = PointerArray(envStrings);

  // Spawned under the registry's lock, so that a cancel either comes first
  // and nothing starts, or comes after and finds the child to kill.
  Registry& registry = Children();
  std::lock_guard<std::mutex> lock(registry.mu);
  if (registry.cancelled) {
    failedCall = "cancel";
    return ECANCELED;
  }
  pid_t pid = -1;
  rc = posix_spawn(&pid, path.c_str(), setup.actions(), setup.attr(), argv.data(), envp.data());
  if (rc != 0) {
    failedCall = "posix_spawn";
    return rc;
  }
  pid_ = pid;
  registry.live.insert(this);
  output_ = std::move(readEnd);
  // Only the child may hold the write end, so that end of output is seen
  // when the child (and whatever inherited its output) is done.
  writeEnd.Reset();
  // Not every kernel offers process descriptors; Collect then looks for the
  // child's end at short intervals instead.
  long pidfd = syscall(SYS_pidfd_open, pid, 0);
  if (pidfd >= 0) pidfd_ = UniqueFd(static_cast<int>(pidfd));
  return 0;
}

ChildOutcome ChildProcess::Collect(Clock::time_point deadline, size_t maxOutput,
                                   const std::function<void()>& tick, Clock::duration tickEvery) {
  Clock::time_point nextTick = Clock::now() + tickEvery;
  std::string output;
  bool outputDone = !output_.valid();
  bool ended = false;
  char buffer[64 * 1024];

  // Reads what is available; false when the bound was exceeded or a read
  // failed (errorCall set).
  const char* errorCall = nullptr;
  int error = 0;
  auto readSome = [&]() -> bool {
    ssize_t n = read(output_.get(), buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
      return true;
    }
    if (n == 0) {
      outputDone = true;
      return true;
    }
    if (errno == EINTR) return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Only after the child ended: what it wrote has been read, and what
      // is left would come from programs it started.
      outputDone = true;
      return true;
    }
    errorCall = "read";
    error = errno;
    return false;
  };

  for (;;) {
    if (output.size() > maxOutput) {
      output_.Reset();
      KillAndReap();
      return Failure(ChildOutcome::Kind::kTooLarge, std::move(output));
    }
    if (errorCall != nullptr) {
      output_.Reset();
      KillAndReap();
      return SystemFailure(errorCall, error, std::move(output));
    }
    if (ended && outputDone) break;

    pollfd fds[2];
    nfds_t count = 0;
    int outputIndex = -1;
    int pidfdIndex = -1;
    if (!outputDone) {
      outputIndex = static_cast<int>(count);
      fds[count++] = pollfd{output_.get(), POLLIN, 0};
    }
    if (!ended && pidfd_.valid()) {
      pidfdIndex = static_cast<int>(count);
      fds[count++] = pollfd{pidfd_.get(), POLLIN, 0};
    }
    int wait = MillisUntil(deadline);
    if (!ended && !pidfd_.valid()) wait = std::min(wait, kExitCheckMillis);
    if (tick) wait = std::min(wait, MillisUntil(nextTick));
    int ready = poll(fds, count, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      errorCall = "poll";
      error = errno;
      continue;
    }
    if (outputIndex >= 0 && fds[outputIndex].revents != 0) {
      if (!readSome()) continue;
    }
    bool checkEnd = !ended && (pidfdIndex < 0 || fds[pidfdIndex].revents != 0);
    if (checkEnd) {
      siginfo_t info;
      std::memset(&info, 0, sizeof info);
      if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        if (errno != EINTR) {
          errorCall = "waitid";
          error = errno;
        }
        continue;
      }
      if (info.si_pid == pid_) {
        ended = true;
        // Everything the child wrote is in the pipe now: read it without
        // waiting for programs it may have left holding the pipe.
        if (!outputDone) {
          int flags = fcntl(output_.get(), F_GETFL);
          if (flags < 0 || fcntl(output_.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
            errorCall = "fcntl";
            error = errno;
            continue;
          }
          while (!outputDone && errorCall == nullptr && output.size() <= maxOutput) {
            readSome();
          }
        }
      }
    }
    if (tick && !(ended && outputDone) && Clock::now() >= nextTick) {
      tick();
      while (nextTick <= Clock::now()) nextTick += tickEvery;
    }
    // Checked after looking at what was ready, so that an answer complete at
    // the deadline still counts.
    if (!(ended && outputDone) && errorCall == nullptr && MillisUntil(deadline) == 0) {
      output_.Reset();
      KillAndReap();
      return Failure(ChildOutcome::Kind::kTimedOut, std::move(output));
    }
  }

  output_.Reset();
  int status = ReapEnded();
  ChildOutcome outcome;
  outcome.output = std::move(output);
  if (cancelled_) {
    outcome.kind = ChildOutcome::Kind::kCancelled;
  } else if (WIFSIGNALED(status)) {
    outcome.kind = ChildOutcome::Kind::kSignalled;
    outcome.signal = WTERMSIG(status);
  } else {
    outcome.kind = ChildOutcome::Kind::kExited;
    outcome.exitCode = WEXITSTATUS(status);
  }
  return outcome;
}

void ChildProcess::Kill() {
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
}

void ChildProcess::KillAndReap() {
  if (pid_ <= 0) return;
  {
    std::lock_guard<std::mutex> lock(Children().mu);
    Kill();
  }
  WaitForEnd(pid_);
  ReapEnded();
}

int ChildProcess::ReapEnded() {
  std::lock_guard<std::mutex> lock(Children().mu);
  // The unreaped child still reserves its pid as the group id, so this can
  // reach no one but the programs it left behind.
  kill(-pid_, SIGKILL);
  int status = WaitForChild(pid_);
  pid_ = -1;
  pidfd_.Reset();
  return status;
}

}  // namespace detail
}  // namespace tzplatform
