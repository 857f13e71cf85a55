#include "journal_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "log_lines.h"
#include "tzplatform/Journal.h"
#include "tzplatform/faults.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace tztest {

std::vector<std::string> JournalLines(const std::string& path) {
  std::vector<std::string> lines;
  for (const tzplatform::JournalEntry& e : tzplatform::ReadJournal(path, {})) {
    std::string line = std::to_string(e.orbalId) + " " + std::to_string(e.clientId) + " " +
                       std::to_string(e.subclientId) + " " + e.server + " " +
                       std::to_string(e.result) + " " + e.user + "@" + e.host + ":";
    for (const tzplatform::JournalChange& change : e.changes) {
      static const char* const kKinds[] = {"removed", "added", "reassociated", "marked"};
      line += std::string(" ") + kKinds[static_cast<int>(change.kind)] + " " + change.database;
      if (change.kind == tzplatform::JournalChangeKind::kReassociated) {
        line += " " + (change.hadServer ? change.from : "(none)") + ">" + change.to;
      }
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

std::string ConfigurationRows(const std::string& path, bool events) {
  static const std::regex kContentName("'exdb-[0-9]+'");
  std::string dump = tzplatform::DumpStore(path);
  // The tables of events and of the journal are compared apart.
  std::string kept;
  bool keep = true;
  for (size_t at = 0; at < dump.size();) {
    const size_t end = dump.find('\n', at);
    const std::string line = dump.substr(at, end - at);
    if (line.rfind("table ", 0) == 0) {
      keep = line.rfind("table events", 0) != 0 && line.rfind("table event_arguments", 0) != 0 &&
             line.rfind("table journal", 0) != 0;
    }
    if (keep) kept += line + "\n";
    at = end + 1;
  }
  kept = std::regex_replace(kept, kContentName, "'exdb-*'");
  if (events) {
    std::vector<std::string> lines = EventLines(tzplatform::StoredEvents(path));
    std::sort(lines.begin(), lines.end());
    for (const std::string& line : lines) kept += "event " + line + "\n";
  }
  return kept;
}

std::string StableDump(const std::string& path) {
  static const std::regex kRaised("'[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z'\\|[0-9]+\\|");
  return std::regex_replace(tzplatform::DumpStore(path), kRaised, "'when'|pid|");
}

int RunCrashingChild(const std::string& path, const char* crashAt, int skip,
                     const std::function<int()>& body) {
  const pid_t pid = fork();
  if (pid == 0) {
    tzplatform::SetStorePath(path);
    tzplatform::FaultInjector faults;
    faults.Crash(crashAt, "*", skip);
    _exit(body() & 0xff);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1000;
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return 1000;
  return WIFEXITED(status) ? static_cast<int8_t>(WEXITSTATUS(status)) : -1000;
}

int CrashAtEachWrite(const std::string& base, const std::string& whole, const std::string& dir,
                     int done, const std::function<int()>& body) {
  const std::string oldState = StableDump(base), newState = StableDump(whole);
  EXPECT_NE(oldState, newState);
  int olds = 0;
  for (int point = 0; point < 100; ++point) {
    SCOPED_TRACE("crash point " + std::to_string(point));
    const std::string work = dir + "/work" + std::to_string(point) + ".db";
    tzplatform::CopyStore(base, work);
    const int result = RunCrashingChild(work, "Store::write", point, body);
    if (result == done) {
      EXPECT_EQ(StableDump(work), newState);
      break;
    }
    EXPECT_EQ(result, 1000);
    EXPECT_EQ(StableDump(work), oldState) << "a partial update";
    if (result != 1000) break;
    ++olds;
  }
  const std::string work = dir + "/commit.db";
  tzplatform::CopyStore(base, work);
  EXPECT_EQ(RunCrashingChild(work, "StoreTransaction::Commit", 0, body), 1000);
  EXPECT_EQ(StableDump(work), oldState);
  return olds;
}

}  // namespace tztest
