// A program run as a local child process whose standard output and error are
// collected.
//
// The program runs below a keeper of its own (session/keeper.h), in a process
// group of its own: when it ends, or is killed, the keeper kills whatever it
// started, in any group or session, before the end is reported; should this
// process die, the keeper kills it all as well. Its standard input is
// /dev/null, or a pipe this object holds open until the program ends; its
// standard output and error are pipes that only this object reads (O_CLOEXEC:
// no other child of the process inherits them), unless the caller sends
// them elsewhere. It gets no descriptor of this process besides those.
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

struct KeeperPlan;

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

// Bytes of a program's standard error that are kept: the end of it, where a
// failing program says why.
constexpr size_t kKeptErrorOutput = 4096;

// How a collected child ended.
struct ChildOutcome {
  enum class Kind {
    kExited,         // exitCode holds its exit status
    kSignalled,      // signal holds the signal that ended it
    kTimedOut,       // the deadline passed; the child was killed
    kTooLarge,       // the output exceeded the bound; the child was killed
    kErrorTooLarge,  // its standard error exceeded the bound; the child was killed
    kSystemError,    // a system call failed (error); the child was killed
    kCancelled       // CancelAllChildren killed it
  };
  Kind kind = Kind::kSystemError;
  int exitCode = 0;
  int signal = 0;
  int error = 0;            // errno of a kSystemError
  std::string failedCall;   // the call that failed, for a kSystemError
  std::string output;       // everything read from standard output
  std::string errorOutput;  // the last kKeptErrorOutput bytes or fewer of standard error,
                            // from the start of a line where one starts within them
  size_t errorBytes = 0;    // how many bytes it wrote to standard error
};

// Where a child's standard streams go, beyond the defaults (input
// /dev/null, output and error collected).
struct ChildStreams {
  // Standard input is a pipe held open (and never written) until the child
  // ends, so that a program that watches its input sees this side go.
  bool holdInput = false;
  // Standard output goes to /dev/null instead of being collected.
  bool discardOutput = false;
  // Standard error is appended to this descriptor instead of being collected
  // (not owned; -1: collected).
  int errorTo = -1;
  // Removed by the keeper once the child and everything it started are gone:
  // files, then empty folders.
  std::vector<std::string> removeWhenDone;
  // When the child ends by itself, what it started is left running (a
  // daemon it was asked to start). A kill still reaches all of it.
  bool leaveRunning = false;
};

class ChildProcess {
 public:
  using Clock = std::chrono::steady_clock;

  ChildProcess() = default;
  // Kills and reaps a child that still runs, with everything it started;
  // closes every descriptor.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` (no PATH search) with argv[0] = path, then `args`, and
  // exactly the environment `env` ("NAME=value"). Returns 0 on success or
  // the errno that explains the failure; `failedCall` names the call that
  // failed ("exec" when the program itself could not be executed; "cancel",
  // with ECANCELED, after CancelAllChildren, with nothing started). Must be
  // called at most once.
  int Start(const std::string& path, const std::vector<std::string>& args,
            const std::vector<std::string>& env, std::string& failedCall,
            const ChildStreams& streams = {});

  // Reads standard output and error until the child has exited and the
  // pipes are drained, or until `deadline`, or until either stream brought
  // more than `maxOutput` bytes. On a timeout, an oversized stream or a
  // system error the child is killed. The child and everything it started
  // are gone before this returns. Call at most once, after a successful
  // Start. `tick`, when given, is called each time another whole `tickEvery`
  // has passed while the child runs.
  ChildOutcome Collect(Clock::time_point deadline, size_t maxOutput,
                       const std::function<void()>& tick = {},
                       Clock::duration tickEvery = std::chrono::seconds(1));

  // Whether the child has ended (its keeper is gone), without waiting.
  bool Ended();
  // Kills the child with everything it started and reaps it.
  void Stop() { KillAndReap(); }

  bool running() const { return keeper_ > 0; }

 private:
  friend void CancelAllChildren();

  // Asks the keeper to kill everything, waits for it (a keeper that does not
  // answer is killed with the program's group) and reaps it.
  void KillAndReap();
  // Reaps the keeper, which has ended or is about to.
  void ReapKeeper();
  // Waits until the keeper has ended (or `until`: false).
  bool AwaitKeeper(Clock::time_point until);
  // Asks the keeper to kill everything. Only while the keeper is not
  // reaped, so that its pid cannot name another process.
  void Kill();
  // Starts the keeper program (or a fork of this process where that cannot
  // be executed) for `plan`; 0 or the errno, `failedCall` naming the call.
  int StartKeeper(const KeeperPlan& plan, std::string& failedCall);

  // Written by the owning thread only while the registry's lock is held, so
  // that CancelAllChildren never signals a pid that was reaped meanwhile.
  pid_t keeper_ = -1;
  pid_t program_ = -1;  // the program, below the keeper
  std::atomic<bool> cancelled_{false};
  UniqueFd output_;  // read end of the child's standard output
  UniqueFd error_;   // read end of the child's standard error
  UniqueFd input_;   // write end of the child's standard input, when held
  UniqueFd report_;  // read end of the keeper's reports
};

// For a process that is stopping: kills every child that runs now (with
// everything it started), so that each Collect returns kCancelled, and makes
// every later Start fail with ECANCELED. Thread-safe; not for a signal
// handler.
void CancelAllChildren();
// Lets Start run programs again.
void ResumeChildren();
// Whether keepers are forks of this process, as where the keeper program
// cannot be executed (for tests: false lets the program be tried again).
void UseForkedKeepers(bool use);
// Builds the registry of running children now, so that it outlives a
// process-wide object built after the call that stops children as it goes.
void InitChildRegistry();
// Whether CancelAllChildren stopped the process's programs (and no
// ResumeChildren followed).
bool ChildrenCancelled();

// Joins the environment variables of this process whose names `keep`
// accepts, then `extra` ("NAME=value"), which replace those of the same name.
std::vector<std::string> FilteredEnvironment(const std::function<bool(const std::string&)>& keep,
                                             const std::vector<std::string>& extra);

// The program `name` as found on `searchPath` (a PATH value; a name with a
// slash is a path): an executable file, or empty.
std::string FindProgram(const std::string& name, const std::string& searchPath);

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_SESSION_CHILD_PROCESS_H_
