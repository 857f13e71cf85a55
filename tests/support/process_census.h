// Counting what a test leaves behind: open descriptors and child processes.
#ifndef TZ_TESTS_SUPPORT_PROCESS_CENSUS_H_
#define TZ_TESTS_SUPPORT_PROCESS_CENSUS_H_

#include <sys/types.h>

#include <string>

namespace tztest {

// Descriptors open in this process.
int OpenDescriptorCount();
// Whether this process has a child, running or not yet reaped (none is reaped
// by asking).
bool HasChildProcess();
// Waits up to five seconds for `pid` to be gone (or dead and waiting for its
// parent); false when it still runs then.
bool ProcessEnds(pid_t pid);
// The pid written in `path` by a test program, or -1.
pid_t ReadPid(const std::string& path);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_PROCESS_CENSUS_H_
