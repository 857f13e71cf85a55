// Comparing stores that the same updates reached by different roads: in
// another order, from several processes at once, or killed and run again.
#ifndef TZ_TESTS_SUPPORT_JOURNAL_SUPPORT_H_
#define TZ_TESTS_SUPPORT_JOURNAL_SUPPORT_H_

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tztest {

// The journal of the store at `path`, one line per entry with its changes,
// without what tells two runs apart (ids, times), sorted.
std::vector<std::string> JournalLines(const std::string& path);

// Every stored row of the configuration, with the names the store gives new
// content entries masked (which entry gets which name follows the order the
// updates commit in); with `events`, also the events as a multiset without
// their times and processes. The journal is left to JournalLines.
std::string ConfigurationRows(const std::string& path, bool events);

// The whole store at `path` (tzplatform::DumpStore), events differing only by
// what they say, not by when or by which process they were raised.
std::string StableDump(const std::string& path);

// Runs `body` in a child process with the platform pointed at the store at
// `path` and a crash armed at the call `crashAt` (any key) after `skip` of
// them: what `body` returned (-128..127), 1000 when the crash killed it.
int RunCrashingChild(const std::string& path, const char* crashAt, int skip,
                     const std::function<int()>& body);

// Runs `body` in crashing children (RunCrashingChild) on fresh copies (in
// `dir`) of the store at `base`: crashed at each write in turn ("Store::write")
// until a run goes through, which must return `done` and leave the store as
// it is at `whole`; every crashed run must leave it exactly as at `base`; and
// once crashed just before its commit, which must leave it as at `base` too.
// Returns how many writes came before the commit (the runs crashed).
int CrashAtEachWrite(const std::string& base, const std::string& whole, const std::string& dir,
                     int done, const std::function<int()>& body);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_JOURNAL_SUPPORT_H_
