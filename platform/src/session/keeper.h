// The keeper: a process of the platform's own that runs one remote program
// and makes sure nothing it started outlives it.
//
// A program can leave processes behind that a kill of its process group does
// not reach (a child in a session of its own, a daemon that forked twice).
// Making the caller's process a child subreaper would make every orphan of
// every program the host process ever starts its own; so each run gets a
// keeper instead: a process that becomes a subreaper, starts the program as
// its only child, and when the program ends (or the caller asks, or the
// caller dies) kills and reaps every process below it before it exits. So no
// survivor holds the program's output pipes, and the caller's descendants
// stay its own business.
//
// The keeper is a program built into the library (kKeeperProgram), started
// from memory like any program, which costs the caller nothing however large
// it is. Where that cannot be executed, it is a fork of the caller instead,
// which may run other threads: so everything RunKeeper does is a plain
// system call (no allocation, no lock, no standard I/O), and what it needs
// is prepared before the fork.
#ifndef TZPLATFORM_SRC_SESSION_KEEPER_H_
#define TZPLATFORM_SRC_SESSION_KEEPER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace tzplatform {
namespace detail {

// What the keeper tells its caller through the report pipe, one record per
// write (well below PIPE_BUF, so each arrives whole).
struct KeeperReport {
  enum Kind : int32_t {
    kStarted = 1,     // value: the program's pid
    kExecFailed = 2,  // value: the errno of the failed exec
    kEnded = 3,       // value: the program's wait status; nothing below the keeper is left
  };
  int32_t kind = 0;
  int32_t value = 0;
};

// Everything the keeper needs, prepared before it starts.
struct KeeperPlan {
  const char* path = nullptr;  // the program, an absolute or relative path (no PATH search)
  char* const* argv = nullptr;
  char* const* envp = nullptr;  // the program's whole environment
  // Descriptors that become the program's standard input, output and error;
  // -1 gives it /dev/null there.
  int input = -1;
  int output = -1;
  int error = -1;
  int report = -1;  // write end of the report pipe
  // Files removed, then folders, once nothing below the keeper is left (a
  // null-terminated list; may be null).
  const char* const* removeWhenDone = nullptr;
  // Highest descriptor to close where the kernel cannot close a range.
  int maxDescriptor = 1024;
  // When the program ends by itself, what it left running is left alone (a
  // daemon it was asked to start); a kill still reaches everything.
  bool leaveRunning = false;
};

// The keeper program, whose main (platform/keeper/keeper_main.cpp) runs
// RunKeeper with the plan its command line gives, as bytes.
extern const unsigned char kKeeperProgram[];
extern const size_t kKeeperProgramSize;

// The keeper's whole life, run in the keeper program or, where that cannot
// be executed, in the child of fork(). Never returns.
//
// Every signal must be blocked when the keeper starts; the keeper
// keeps them blocked and reads SIGCHLD and SIGTERM from a signalfd. SIGTERM
// asks it to kill the program and everything below it; the program gets
// SIGKILL should the keeper die. When the read end of the report pipe is
// closed (the caller ended), the keeper kills everything and leaves.
[[noreturn]] void RunKeeper(const KeeperPlan& plan);

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_SESSION_KEEPER_H_
