#include "session/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "session/keeper.h"

extern char** environ;

namespace tzplatform {
namespace detail {
namespace {

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

// How long a keeper asked to kill everything may take before it is killed
// itself, with the program's group.
constexpr auto kKeeperGrace = std::chrono::seconds(2);

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

// The keeper program in a memory file of this process's, or -1 when it
// cannot be made or executed here (then keepers are forks of this process).
struct KeeperFile {
  std::mutex mu;
  bool tried = false;
  bool forked = false;  // set by a test, or once the file could not be executed
  UniqueFd fd;

  // The path that executes the program, or empty.
  std::string Path() {
    std::lock_guard<std::mutex> lock(mu);
    if (forked) return std::string();
    if (!tried) {
      tried = true;
      UniqueFd file(memfd_create("tzdag-keeper", MFD_CLOEXEC | MFD_ALLOW_SEALING));
      size_t written = 0;
      while (file.valid() && written < kKeeperProgramSize) {
        const ssize_t n = write(file.get(), kKeeperProgram + written, kKeeperProgramSize - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
      }
      // Sealed, so that nothing can change the program once it runs.
      if (written == kKeeperProgramSize &&
          fcntl(file.get(), F_ADD_SEALS,
                F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) == 0) {
        fd = std::move(file);
      }
    }
    // A child started with this path opens the file through its own copy of
    // the descriptor, still there when it executes.
    return fd.valid() ? "/proc/self/fd/" + std::to_string(fd.get()) : std::string();
  }

  void UseForks(bool use) {
    std::lock_guard<std::mutex> lock(mu);
    forked = use;
  }
};

KeeperFile& Keepers() {
  static KeeperFile file;
  return file;
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

bool HasEnded(pid_t pid) {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Waits until `pid` has ended, leaving it unreaped; false when it still runs
// at `until`.
bool WaitForEnd(pid_t pid, ChildProcess::Clock::time_point until) {
  while (!HasEnded(pid)) {
    if (ChildProcess::Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

ChildOutcome Failure(ChildOutcome::Kind kind) {
  ChildOutcome outcome;
  outcome.kind = kind;
  return outcome;
}

ChildOutcome SystemFailure(const char* call, int error) {
  ChildOutcome outcome = Failure(ChildOutcome::Kind::kSystemError);
  outcome.error = error;
  outcome.failedCall = call;
  return outcome;
}

bool MakePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  readEnd = UniqueFd(fds[0]);
  writeEnd = UniqueFd(fds[1]);
  return true;
}

// One whole record of the keeper; false at the end of its reports.
bool ReadReport(int fd, KeeperReport& record) {
  size_t got = 0;
  auto* bytes = reinterpret_cast<char*>(&record);
  while (got < sizeof record) {
    const ssize_t n = read(fd, bytes + got, sizeof record - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Collects one of the child's streams: everything, or only its end.
struct Stream {
  static constexpr size_t kFirstRoom = 1 << 20;
  static constexpr size_t kFirstWindow = 4096;

  UniqueFd* fd;
  bool done;
  size_t keep;  // 0: everything
  std::string text;
  size_t bytes = 0;
  bool cut = false;  // text lost its start
  // When everything is kept, what was read is the start of `text` and the
  // rest of it is room for the next reads.
  size_t length = 0;

  // Reads what is there, up to `size` bytes through `buffer` when only the
  // end is kept; false when a read failed (errno set).
  bool ReadSome(char* buffer, size_t size) {
    ssize_t n;
    if (keep == 0) {
      // Straight into the text. Its room is reserved well ahead, which costs
      // address space only until a read fills it, and made readable a read
      // at a time, the first reads small (most answers are short): a long
      // answer is neither copied in at each read nor moved as it grows,
      // unless it outgrows the room (which then doubles).
      const size_t window = std::min(size, std::max(kFirstWindow, length));
      if (text.size() - length < window / 4) {
        if (text.capacity() < length + window) {
          text.reserve(std::max(2 * text.capacity(), std::max(kFirstRoom, length + window)));
        }
        text.resize(length + window);
      }
      n = read(fd->get(), &text[length], text.size() - length);
      if (n > 0) length += static_cast<size_t>(n);
    } else {
      n = read(fd->get(), buffer, size);
      if (n > 0) {
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > 2 * keep) {
          text.erase(0, text.size() - keep);
          cut = true;
        }
      }
    }
    if (n > 0) {
      bytes += static_cast<size_t>(n);
      return true;
    }
    if (n == 0) {
      done = true;
      return true;
    }
    if (errno == EINTR) return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Only once the child ended: what it wrote has been read.
      done = true;
      return true;
    }
    return false;
  }

  // The end that is kept, from the start of a line when it was cut.
  std::string Kept() {
    if (keep == 0) {
      text.resize(length);
      // A short answer does not hold on to the room reserved for a long one.
      if (text.capacity() > 8 * std::max<size_t>(length, 4096)) text.shrink_to_fit();
    }
    if (keep == 0 || (!cut && text.size() <= keep)) return std::move(text);
    std::string tail = text.substr(text.size() > keep ? text.size() - keep : 0);
    const size_t line = tail.find('\n');
    if (line != std::string::npos && line + 1 < tail.size()) tail.erase(0, line + 1);
    return tail;
  }
};

}  // namespace

void UniqueFd::Reset() {
  if (fd_ >= 0) {
    // A close interrupted by a signal has still released the descriptor on
    // Linux; retrying could close a descriptor another thread just opened.
    close(fd_);
    fd_ = -1;
  }
}

std::vector<std::string> FilteredEnvironment(const std::function<bool(const std::string&)>& keep,
                                             const std::vector<std::string>& extra) {
  auto name = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    std::string text(*entry);
    const std::string own = name(text);
    bool replaced = std::any_of(extra.begin(), extra.end(),
                                [&](const std::string& e) { return name(e) == own; });
    if (!replaced && keep(own)) env.push_back(std::move(text));
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::string FindProgram(const std::string& name, const std::string& searchPath) {
  auto runnable = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string::npos) return runnable(name) ? name : std::string();
  size_t at = 0;
  for (;;) {
    const size_t end = std::min(searchPath.find(':', at), searchPath.size());
    const std::string folder = end == at ? "." : searchPath.substr(at, end - at);
    if (runnable(folder + "/" + name)) return folder + "/" + name;
    if (end >= searchPath.size()) return std::string();
    at = end + 1;
  }
}

ChildProcess::~ChildProcess() {
  output_.Reset();
  error_.Reset();
  if (keeper_ > 0) KillAndReap();
  std::lock_guard<std::mutex> lock(Children().mu);
  Children().live.erase(this);
}

void CancelAllChildren() {
  Registry& registry = Children();
  std::lock_guard<std::mutex> lock(registry.mu);
  registry.cancelled = true;
  for (ChildProcess* child : registry.live) {
    if (child->keeper_ <= 0) continue;
    child->cancelled_ = true;
    child->Kill();
  }
}

void ResumeChildren() {
  std::lock_guard<std::mutex> lock(Children().mu);
  Children().cancelled = false;
}

void InitChildRegistry() {
  Children();
}

bool ChildrenCancelled() {
  std::lock_guard<std::mutex> lock(Children().mu);
  return Children().cancelled;
}

int ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                        const std::vector<std::string>& env, std::string& failedCall,
                        const ChildStreams& streams) {
  UniqueFd outputRead, outputWrite, errorRead, errorWrite, inputRead, inputWrite, reportRead,
      reportWrite;
  if (!MakePipe(reportRead, reportWrite) ||
      (!streams.discardOutput && !MakePipe(outputRead, outputWrite)) ||
      (streams.errorTo < 0 && !MakePipe(errorRead, errorWrite)) ||
      (streams.holdInput && !MakePipe(inputRead, inputWrite))) {
    failedCall = "pipe2";
    return errno;
  }

  std::vector<std::string> argvStrings;
  argvStrings.reserve(args.size() + 1);
  argvStrings.push_back(path);
  argvStrings.insert(argvStrings.end(), args.begin(), args.end());
  std::vector<std::string> envStrings = env;
  std::vector<std::string> removeStrings = streams.removeWhenDone;
  std::vector<char*> argv = PointerArray(argvStrings);
  std::vector<char*> envp = PointerArray(envStrings);
  std::vector<char*> remove = PointerArray(removeStrings);

  KeeperPlan plan;
  plan.path = path.c_str();
  plan.argv = argv.data();
  plan.envp = envp.data();
  plan.input = inputRead.valid() ? inputRead.get() : -1;
  plan.output = outputWrite.valid() ? outputWrite.get() : -1;
  plan.error = streams.errorTo >= 0 ? streams.errorTo : errorWrite.get();
  plan.report = reportWrite.get();
  plan.removeWhenDone = remove.data();
  plan.leaveRunning = streams.leaveRunning;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    plan.maxDescriptor = static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
  }

  const int error = StartKeeper(plan, failedCall);
  if (error != 0) return error;

  // Only the program may hold the other ends, so that the end of its output
  // is seen when it (and whatever inherited its output) is done.
  outputWrite.Reset();
  errorWrite.Reset();
  inputRead.Reset();
  reportWrite.Reset();
  output_ = std::move(outputRead);
  error_ = std::move(errorRead);
  input_ = std::move(inputWrite);
  report_ = std::move(reportRead);

  KeeperReport first;
  if (ReadReport(report_.get(), first) && first.kind == KeeperReport::kStarted) {
    program_ = first.value;
    return 0;
  }
  ReapKeeper();
  output_.Reset();
  error_.Reset();
  input_.Reset();
  report_.Reset();
  if (first.kind == KeeperReport::kExecFailed) {
    failedCall = "exec";
    return first.value;
  }
  failedCall = "keeper";
  return EPIPE;
}

int ChildProcess::StartKeeper(const KeeperPlan& plan, std::string& failedCall) {
  // The keeper program's command line: keeper_main.cpp.
  std::vector<std::string> words = {"tzdag-keeper",
                                    std::to_string(plan.input),
                                    std::to_string(plan.output),
                                    std::to_string(plan.error),
                                    std::to_string(plan.report),
                                    plan.leaveRunning ? "1" : "0"};
  size_t paths = 0;
  for (const char* const* path = plan.removeWhenDone; path != nullptr && *path != nullptr; ++path) {
    ++paths;
  }
  words.push_back(std::to_string(paths));
  for (size_t i = 0; i < paths; ++i) words.push_back(plan.removeWhenDone[i]);
  for (char* const* arg = plan.argv; *arg != nullptr; ++arg) words.push_back(*arg);
  std::vector<char*> argv = PointerArray(words);

  SpawnSetup setup;
  int rc = setup.ok() ? 0 : ENOMEM;
  // The same descriptor again: kept open across the start, which the
  // process's own (close-on-exec) are not.
  for (int fd : {plan.input, plan.output, plan.error, plan.report}) {
    if (rc == 0 && fd >= 0) rc = posix_spawn_file_actions_adddup2(setup.actions(), fd, fd);
  }
  // Every signal blocked, as RunKeeper wants them.
  sigset_t all;
  sigfillset(&all);
  if (rc == 0) rc = posix_spawnattr_setsigmask(setup.attr(), &all);
  if (rc == 0) rc = posix_spawnattr_setflags(setup.attr(), POSIX_SPAWN_SETSIGMASK);
  if (rc != 0) {
    failedCall = "posix_spawn_file_actions";
    return rc;
  }

  // Started under the registry's lock, so that a cancel either comes first
  // and nothing starts, or comes after and finds the keeper to signal.
  Registry& registry = Children();
  std::lock_guard<std::mutex> lock(registry.mu);
  if (registry.cancelled) {
    failedCall = "cancel";
    return ECANCELED;
  }
  const std::string program = Keepers().Path();
  if (!program.empty()) {
    pid_t pid = -1;
    rc = posix_spawn(&pid, program.c_str(), setup.actions(), setup.attr(), argv.data(), plan.envp);
    if (rc == 0) {
      keeper_ = pid;
      registry.live.insert(this);
      return 0;
    }
    // A system that does not execute files from memory: forks from now on.
    Keepers().UseForks(true);
  }

  // Every signal blocked across the fork, so that no handler of this process
  // ever runs in the keeper; the keeper reads the ones it needs itself.
  sigset_t saved;
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = fork();
  if (pid == 0) RunKeeper(plan);
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  if (pid < 0) {
    failedCall = "fork";
    return forkError;
  }
  keeper_ = pid;
  registry.live.insert(this);
  return 0;
}

void UseForkedKeepers(bool use) {
  Keepers().UseForks(use);
}

bool ChildProcess::Ended() {
  return keeper_ <= 0 || HasEnded(keeper_);
}

ChildOutcome ChildProcess::Collect(Clock::time_point deadline, size_t maxOutput,
                                   const std::function<void()>& tick, Clock::duration tickEvery) {
  Clock::time_point nextTick = Clock::now() + tickEvery;
  Stream out{&output_, !output_.valid(), 0, {}};
  Stream err{&error_, !error_.valid(), kKeptErrorOutput, {}};
  bool ended = false;
  int status = 0;
  char buffer[64 * 1024];
  const char* errorCall = nullptr;
  int error = 0;

  auto giveUp = [&](ChildOutcome outcome) {
    output_.Reset();
    error_.Reset();
    KillAndReap();
    outcome.output = out.Kept();
    outcome.errorOutput = err.Kept();
    outcome.errorBytes = err.bytes;
    return outcome;
  };

  for (;;) {
    if (out.bytes > maxOutput) return giveUp(Failure(ChildOutcome::Kind::kTooLarge));
    if (err.bytes > maxOutput) return giveUp(Failure(ChildOutcome::Kind::kErrorTooLarge));
    if (errorCall != nullptr) return giveUp(SystemFailure(errorCall, error));
    if (ended && out.done && err.done) break;

    pollfd fds[3];
    nfds_t count = 0;
    int outIndex = -1, errIndex = -1, reportIndex = -1;
    if (!out.done) {
      outIndex = static_cast<int>(count);
      fds[count++] = pollfd{output_.get(), POLLIN, 0};
    }
    if (!err.done) {
      errIndex = static_cast<int>(count);
      fds[count++] = pollfd{error_.get(), POLLIN, 0};
    }
    if (!ended) {
      reportIndex = static_cast<int>(count);
      fds[count++] = pollfd{report_.get(), POLLIN, 0};
    }
    int wait = MillisUntil(deadline);
    if (tick) wait = std::min(wait, MillisUntil(nextTick));
    int ready = poll(fds, count, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      errorCall = "poll";
      error = errno;
      continue;
    }
    if (outIndex >= 0 && fds[outIndex].revents != 0 && !out.ReadSome(buffer, sizeof buffer)) {
      errorCall = "read";
      error = errno;
      continue;
    }
    if (errIndex >= 0 && fds[errIndex].revents != 0 && !err.ReadSome(buffer, sizeof buffer)) {
      errorCall = "read";
      error = errno;
      continue;
    }
    if (reportIndex >= 0 && fds[reportIndex].revents != 0) {
      KeeperReport record;
      const bool got = ReadReport(report_.get(), record);
      if (got && record.kind != KeeperReport::kEnded) continue;
      ended = true;
      // A keeper that went without a word was killed, and its program with it.
      status = got ? record.value : SIGKILL;
      input_.Reset();
      // Everything the program wrote is in the pipes now, and nothing it
      // started is left: read what is there without waiting for an end of
      // file that a holder outside (a connection's master) may delay.
      for (Stream* stream : {&out, &err}) {
        if (stream->done) continue;
        int flags = fcntl(stream->fd->get(), F_GETFL);
        if (flags < 0 || fcntl(stream->fd->get(), F_SETFL, flags | O_NONBLOCK) < 0) {
          errorCall = "fcntl";
          error = errno;
          break;
        }
        while (!stream->done && stream->bytes <= maxOutput) {
          if (!stream->ReadSome(buffer, sizeof buffer)) {
            errorCall = "read";
            error = errno;
            break;
          }
        }
      }
    }
    if (tick && !(ended && out.done && err.done) && Clock::now() >= nextTick) {
      tick();
      while (nextTick <= Clock::now()) nextTick += tickEvery;
    }
    // Checked after looking at what was ready, so that an answer complete at
    // the deadline still counts.
    if (!ended && errorCall == nullptr && MillisUntil(deadline) == 0) {
      return giveUp(Failure(ChildOutcome::Kind::kTimedOut));
    }
  }

  output_.Reset();
  error_.Reset();
  ReapKeeper();
  ChildOutcome outcome;
  outcome.output = out.Kept();
  outcome.errorOutput = err.Kept();
  outcome.errorBytes = err.bytes;
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
  kill(keeper_, SIGTERM);
}

bool ChildProcess::AwaitKeeper(Clock::time_point until) {
  // The keeper alone holds the write end of its reports: their end is its.
  char discard[64];
  while (report_.valid()) {
    pollfd fd{report_.get(), POLLIN, 0};
    const int ready = poll(&fd, 1, MillisUntil(until));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return false;
    if (ready < 0) break;
    const ssize_t n = read(report_.get(), discard, sizeof discard);
    if (n == 0) return true;
    if (n < 0 && errno != EINTR) break;
  }
  return WaitForEnd(keeper_, until);
}

void ChildProcess::KillAndReap() {
  if (keeper_ <= 0) return;
  {
    std::lock_guard<std::mutex> lock(Children().mu);
    Kill();
  }
  if (!AwaitKeeper(Clock::now() + kKeeperGrace)) {
    std::lock_guard<std::mutex> lock(Children().mu);
    kill(keeper_, SIGKILL);
    // The program dies with its keeper; what runs in its group goes now.
    if (program_ > 0) kill(-program_, SIGKILL);
  }
  ReapKeeper();
}

void ChildProcess::ReapKeeper() {
  AwaitKeeper(Clock::time_point::max());
  std::lock_guard<std::mutex> lock(Children().mu);
  int status = 0;
  while (waitpid(keeper_, &status, 0) < 0 && errno == EINTR) {
  }
  keeper_ = -1;
  program_ = -1;
  input_.Reset();
  report_.Reset();
}

}  // namespace detail
}  // namespace tzplatform
