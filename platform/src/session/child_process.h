// A program run as a local child process whose standard output is collected.
//
// The child gets its own process group, so that killing it also kills
// whatever it started. Its standard input is /dev/null, its standard error is
// the parent's (it is never read, so it cannot fill up and block the child),
// and its standard output is a pipe that only this object holds (O_CLOEXEC:
// no other child of the process inherits it).
#ifndef TZPLATFORM_SRC_SESSION_CHILD_PROCESS_H_
#define TZPLATFORM_SRC_SESSION_CHILD_PROCESS_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tzplatform {
namespace detail {

// Owns one file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.Release();
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset();

 private:
  int fd_ = -1;
};

// How a collected child ended.
struct ChildOutcome {
  enum class Kind {
    kExited,       // exitCode holds its exit status
    kSignalled,    // signal holds the signal that ended it
    kTimedOut,     // the deadline passed; the child was killed
    kTooLarge,     // the output exceeded the bound; the child was killed
    kSystemError,  // a system call failed (error); the child was killed
    kCancelled     // CancelAllChildren killed it
  };
  Kind kind = Kind::kSystemError;
  int exitCode = 0;
  int signal = 0;
  int error = 0;           // errno of a kSystemError
  std::string failedCall;  // the call that failed, for a kSystemError
  std::string output;      // everything read from standard output
};

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  ChildProcess() = default;
  // Kills and reaps a child that still runs; closes every descriptor.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with argv[0] = path, then `args`, and the environment of
  // this process with `extraEnv` ("NAME=value") added or replacing. Returns
  // 0 on success or the errno that explains the failure; `failedCall` names
  // the call that failed ("posix_spawn" when the program itself could not be
  // executed; ECANCELED after CancelAllChildren, with nothing started). Must
  // be called at most once.
  int Start(const std::string& path, const std::vector<std::string>& args,
            const std::vector<std::string>& extraEnv, std::string& failedCall);

  // Reads standard output until the child has exited and the pipe is drained,
  // or until `deadline`, or until more than `maxOutput` bytes arrived. On a
  // timeout, an oversized output or a system error the child (and its process
  // group) is killed. The child is always reaped before this returns, and no
  // member of its process group is left running. Call at most once, after a
  // successful Start. `tick`, when given, is called each time another whole
  // `tickEvery` has passed while the child runs.
  ChildOutcome Collect(Clock::time_point deadline, size_t maxOutput,
                       const std::function<void()>& tick = {},
                       Clock::duration tickEvery = std::chrono::seconds(1));

  bool running() const { return pid_ > 0; }

 private:
  friend void CancelAllChildren();

  // Kills the process group and the child, then reaps the child.
  void KillAndReap();
  // The child has ended (it is a zombie): kills what is left of its process
  // group while its pid still reserves the group id, then reaps it. Returns
  // the wait status.
  int ReapEnded();
  // Kills the child's process group and the child. Only while the child is
  // not reaped, so that its pid (and group id) cannot name another process.
  void Kill();

  // Written by the owning thread only while the registry's lock is held, so
  // that CancelAllChildren never signals a pid that was reaped meanwhile.
  pid_t pid_ = -1;
  std::atomic<bool> cancelled_{false};
  UniqueFd output_;  // read end of the child's standard output
  UniqueFd pidfd_;   // readable when the child ends; invalid where unsupported
};

// For a process that is stopping: kills every child that runs now (its
// process group included), so that each Collect returns kCancelled, and makes
// every later Start fail with ECANCELED. Thread-safe; not for a signal
// handler.
void CancelAllChildren();
// Lets Start run programs again.
void ResumeChildren();

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_SESSION_CHILD_PROCESS_H_
