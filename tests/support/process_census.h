// Counting what a test leaves behind: open descriptors and child processes.
#ifndef TZ_TESTS_SUPPORT_PROCESS_CENSUS_H_
#define TZ_TESTS_SUPPORT_PROCESS_CENSUS_H_

#include <sys/types.h>

#include <string>

namespace tztest {

// Descriptors open in this process, but for the platform's keeper program,
// which stays open once a remote program ran.
int OpenDescriptorCount();
// Whether this process has a child, running or not yet reaped (none is reaped
// by asking).
bool HasChildProcess();
// Waits up to five seconds for `pid` to be gone (or dead and waiting for its
// parent); false when it still runs then.
bool ProcessEnds(pid_t pid);
// The pid written in `path` by a test program, or -1.
pid_t ReadPid(const std::string& path);
// The same, waiting up to ten seconds for the program to write it.
pid_t WaitForPid(const std::string& path);
// Live processes of process group `group` (zombies left out).
int ProcessesInGroup(pid_t group);
// Waits up to five seconds for group `group` to have no live process; false
// when one still runs then.
bool GroupEnds(pid_t group);

// Kills `root` and every process below it (however deep, in whatever
// session), and reaps `root`, which must be a child of this process.
void KillProcessTree(pid_t root);
// Makes this process a child subreaper: whatever its descendants leave
// behind becomes its child, so that LeftBehind can find it.
void AdoptOrphans();
// Kills and reaps every child this process has now (each process any of its
// children left behind, once AdoptOrphans was called); how many there were.
int KillLeftBehind();

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_PROCESS_CENSUS_H_
