// tzdag's own record of each run in the log, which an operator greps the
// morning after a night of timer runs: a line when a command starts (its
// command line, secrets masked) and one when it ends (the result, the exit
// status, how long it took); and the store lock that keeps two runs that
// change one store from overlapping.
#ifndef TZDAG_TOOL_RUN_LOG_H_
#define TZDAG_TOOL_RUN_LOG_H_

#include <memory>
#include <string>
#include <vector>

#include <tzplatform/store_lock.h>

#include "commands.h"

namespace tzdag_tool {

// `args` (the command line without the program name) as the log shows it:
// the value of an option that holds a secret (--password ENC, or
// --password=ENC) as "***", and a word that is empty or holds anything but
// letters, digits and -_./:=,@%+ in single quotes.
std::string LoggedArguments(const std::vector<std::string>& args);

// One run of tzdag: made in main() before the command line is parsed. Notes
// the start time and the command line, and reads what goes to standard error
// for the reason a run fails (its last "tzdag: " line).
class RunLog {
 public:
  explicit RunLog(const std::vector<std::string>& args);
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Once the log's destination is settled (after the set-up checks, or when
  // they failed): "tzdag: started: tzdag ARGS" at info. Once per run.
  static void Start();
  // The last line of a started run: "tzdag: finished: RESULT; exit status N;
  // S.SSS s", at info for success and warnings, at error for a failure or a
  // usage error (RESULT "failed: REASON", "usage error: REASON"). Once per
  // run; returns `status`.
  static int End(int status);
  // The same for a run stopped by `signal`: "stopped by signal N (NAME)", at
  // error. Returns 128 + `signal`.
  static int Stopped(int signal);
  // "tzdag ARGS" with the secrets masked: what the store lock says its
  // holder is doing.
  static std::string CommandLine();

 private:
  class ErrorWatch;
  std::unique_ptr<ErrorWatch> watch_;
};

// For a command that changes the store: the store lock, taken (or waited
// for, with `wait`, told on standard error and in the log), else nothing.
// Throws UsageError when the lock file cannot be used, and
// std::runtime_error when another run holds the lock (the StoreBusy text
// and "; try again later or give --wait"), also when a signal ended the wait.
std::unique_ptr<tzplatform::StoreLock> LockStoreFor(const Command& command, bool wait);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_RUN_LOG_H_
