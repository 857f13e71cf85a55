// The platform log: exact texts, level filtering, event arguments, threads.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "log_lines.h"
#include "platform_cases.h"
#include "temp_dir.h"
#include "tzplatform/EvEvent.h"
#include "tzplatform/settings.h"

namespace {

using tzplatform::LogCapture;
using Lines = std::vector<std::string>;

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tzplatform::SetLogFile(dir_.File("log.txt"));
    // No store: events cannot be stored, which the log then says.
    tzplatform::SetStorePath(dir_.File("missing.db"));
  }
  void TearDown() override { tzplatform::ResetSettings(); }
  tztest::TempDir dir_;
  EvEvent log_;
};

TEST_F(LogTest, LevelFilterKeepsPlainLinesAndLevelsUpToTheSetting) {
  for (const auto& [setting, expected] : std::vector<std::pair<int, Lines>>{
           {0, {"plain", "fn plain", "fn error"}},
           {1, {"plain", "fn plain", "level 1", "fn level 1", "fn error"}},
           {3,
            {"plain", "fn plain", "level 1", "fn level 1", "level 3", "fn level 3", "fn error"}}}) {
    tzplatform::SetDebugLevel(setting);
    LogCapture capture;
    log_.debug("plain");
    log_.Debug("F", "fn plain");
    for (int level : {1, 3, 5}) {
      log_.debugLvl(level, "level %d", level);
      log_.DebugLvl("F", level, "fn level %d", level);
      EXPECT_EQ(log_.isLevelEnabled(level), level <= setting) << level << " at " << setting;
    }
    log_.Error("F", "fn error");
    EXPECT_EQ(capture.Texts(), expected) << "debug level " << setting;
  }
}

// What a line holds and how the file writes it: control characters (C0, C1,
// the line and paragraph separators) and bytes that are not UTF-8 from
// outside escaped, other text kept, long lines whole.
TEST_F(LogTest, LinesCarryFormLevelAndFunctionAndReachTheFileWhole) {
  tzplatform::SetDebugLevel(2);
  LogCapture capture;
  const std::string big(100000, 'x');
  log_.debug("[%s]: PshimProxy returned error: %s", "R",
             "one\ntwo\r\x1b[31m\tend \xc2\x9b"
             "2J\xe2\x80\xa8\xff\xc3\xa9");
  log_.DebugLvl("Discover", 2, "Found [%lu] subclients for clientId[%u]", 3ul, 7u);
  log_.Error("GetSubclients", "Error getting subclient list for clientId[%u]", 7u);
  log_.debug("%s", big.c_str());
  const std::string file = tztest::ReadFile(dir_.File("log.txt"));
  for (const std::string& text :
       Lines{" DEBUG [R]: PshimProxy returned error: one\\x0Atwo\\x0D\\x1B[31m\tend "
             "\\u009B2J\\u2028\\xFF\xc3\xa9\n",
             " DEBUG2 Discover: Found [3] subclients for clientId[7]\n",
             " ERROR GetSubclients: Error getting subclient list for clientId[7]\n",
             " DEBUG " + big + "\n", " pid=", " tid="}) {
    EXPECT_NE(file.find(text), std::string::npos) << text.substr(0, 80);
  }
}

// Arguments go with the next event only; an event the store could not take
// is reported by a line of its own.
TEST_F(LogTest, EventCarriesItsArgumentsInOrderAndConsumesThem) {
  LogCapture capture;
  log_ << std::string("first") << "second";
  log_.addArgument("third", EvEvent::kNarrowString);
  log_.CriticalEvent(0x48000097, 0, 0);
  log_ << std::string("next");
  log_.InfoEvent(469762421, 0, 0);
  log_.InfoEvent(469762421, 0, 0);
  EXPECT_EQ(tztest::EventLines(capture.Events()),
            (Lines{"critical 0x48000097 0 0 11:first 11:second 11:third",
                   "info 0x1C000175 0 0 11:next", "info 0x1C000175 0 0"}));
  const std::string missing =
      " was not stored: configuration store " + dir_.File("missing.db") + " does not exist";
  EXPECT_EQ(capture.Texts(), (Lines{"event 0x48000097" + missing, "event 0x1C000175" + missing,
                                    "event 0x1C000175" + missing}));
  const std::string file = tztest::ReadFile(dir_.File("log.txt"));
  EXPECT_NE(file.find(" ERROR EvEvent::RecordEvent: event 0x48000097" + missing),
            std::string::npos);
  EXPECT_NE(file.find("CRITICAL event 0x48000097"), std::string::npos);
}

TEST_F(LogTest, ThreadsNeitherMixEventArgumentsNorLoseLines) {
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 200; ++i) {
        log_ << ("thread " + std::to_string(t));
        log_.debug("[%s]: line %d of %d", "T", i, t);
        log_.InfoEvent(static_cast<uint32_t>(t), 0, 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<tzplatform::RaisedEvent> events = capture.Events();
  ASSERT_EQ(events.size(), 1600u);
  for (const tzplatform::RaisedEvent& event : events) {
    ASSERT_EQ(event.arguments.size(), 1u);
    EXPECT_EQ(event.arguments[0].value, "thread " + std::to_string(event.id));
  }
  // Every line of the file is whole: one header and one text.
  const std::string file = tztest::ReadFile(dir_.File("log.txt"));
  size_t count = 0;
  for (size_t at = 0; (at = file.find(" DEBUG [T]: line ", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 1600u);
}

// The log file is the user's own and private: a symbolic link is not
// followed (a planted one would send the lines, or make a file, wherever it
// points), another user's file is not written to, and a new file is made 0600
// whatever the umask. CheckLogFile says why; lines the file is refused go to
// standard error instead.
TEST_F(LogTest, TheLogFileFollowsNoLinkTakesNoOtherUsersFileAndIsMadePrivate) {
  const std::string victim = dir_.File("victim"), made = dir_.File("made-by-link");
  const std::string foreign = dir_.File("foreign.log"), fresh = dir_.File("fresh.log");
  tztest::WriteFile(victim, "keep\n", 0600);
  tztest::WriteFile(foreign, "theirs\n", 0666);
  ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  ASSERT_EQ(symlink(victim.c_str(), dir_.File("planted.log").c_str()), 0);
  ASSERT_EQ(symlink(made.c_str(), dir_.File("dangling.log").c_str()), 0);
  const std::string link = ": it is a symbolic link, which is not followed";
  const mode_t umaskWas = umask(0);
  // Path, and why CheckLogFile refuses it (empty: it does not).
  for (const auto& [path, why] : std::vector<std::pair<std::string, std::string>>{
           {dir_.File("planted.log"), link},
           {dir_.File("dangling.log"), link},
           {foreign, ": it belongs to another user (uid 65534)"},
           {dir_.File("no/folder.log"), ": No such file or directory"},
           {"/dev/null", ""},
           {fresh, ""}}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(tztest::ErrorOf<tzplatform::SettingsError>(
                  [&file = path] { tzplatform::CheckLogFile(file); }),
              why.empty() ? "(nothing thrown)" : "cannot write the log file " + path + why);
    tzplatform::SetLogFile(path);
    testing::internal::CaptureStderr();
    log_.debug("a line for %s", path.c_str());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("a line for " + path) != std::string::npos, !why.empty()) << err;
  }
  umask(umaskWas);
  EXPECT_EQ(tztest::ReadFile(victim), "keep\n");
  EXPECT_FALSE(std::filesystem::exists(made));
  EXPECT_EQ(tztest::ReadFile(foreign), "theirs\n");
  struct stat st {};
  ASSERT_EQ(stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(tztest::ReadFile(fresh).find("a line for " + fresh), std::string::npos);
}

}  // namespace

namespace {

// The lines of the log file at `path` (without the header) that `log`
// wrote as "<tag> <n>", as "<tag> <n>" texts in file order.
std::vector<std::string> Tagged(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream text(tztest::ReadFile(path));
  for (std::string line; std::getline(text, line);) {
    const size_t at = line.find(" DEBUG ");
    if (at != std::string::npos) lines.push_back(line.substr(at + 7));
  }
  return lines;
}

}  // namespace

// Every kept file stays within the bound, exactly `keep` old files are kept
// (0: none), and what is kept is the newest lines, in order, none missing.
TEST_F(LogTest, RotationKeepsTheSetNumberOfFilesEachWithinTheBound) {
  for (int keep : {0, 1, 3}) {
    SCOPED_TRACE(keep);
    const std::string path = dir_.File("rotating-" + std::to_string(keep) + ".log");
    tzplatform::SetLogFile(path);
    tzplatform::SetLogMaxSize(300);
    tzplatform::SetLogKeep(keep);
    // Each line is 55 to 60 bytes with its header: five to a file.
    for (int n = 0; n < 40; ++n) log_.debug("line %02d", n);
    std::vector<std::string> kept;
    for (int n = keep; n >= 0; --n) {
      const std::string file = n == 0 ? path : path + "." + std::to_string(n);
      ASSERT_TRUE(std::filesystem::exists(file)) << file;
      EXPECT_LE(std::filesystem::file_size(file), 300u) << file;
      for (const std::string& line : Tagged(file)) kept.push_back(line);
    }
    EXPECT_FALSE(std::filesystem::exists(path + "." + std::to_string(keep + 1)));
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept.back(), "line 39");
    const int first = std::stoi(kept.front().substr(5));
    for (size_t i = 0; i < kept.size(); ++i) {
      char want[16];
      std::snprintf(want, sizeof(want), "line %02d", first + static_cast<int>(i));
      EXPECT_EQ(kept[i], want);
    }
  }
}

// A line longer than the bound starts a file of its own, never an empty
// one; 0 never rotates.
TEST_F(LogTest, ALineBeyondTheBoundFillsAFileOfItsOwnAndZeroNeverRotates) {
  const std::string path = dir_.File("big.log");
  tzplatform::SetLogFile(path);
  tzplatform::SetLogMaxSize(100);
  tzplatform::SetLogKeep(5);
  const std::string big(200, 'b');
  log_.debug("%s", big.c_str());
  log_.debug("%s", big.c_str());
  log_.debug("small");
  EXPECT_EQ(Tagged(path + ".2"), std::vector<std::string>{big});
  EXPECT_EQ(Tagged(path + ".1"), std::vector<std::string>{big});
  EXPECT_EQ(Tagged(path), std::vector<std::string>{"small"});
  tzplatform::SetLogMaxSize(0);
  for (int n = 0; n < 5; ++n) log_.debug("%s", big.c_str());
  EXPECT_EQ(Tagged(path).size(), 6u);
  EXPECT_FALSE(std::filesystem::exists(path + ".3"));
}

// What logrotate does (rename, no signal): the next line starts a new file
// under the name, and nothing more goes to the renamed one.
TEST_F(LogTest, ALogRenamedUnderTheWriterIsFollowedToTheNewFile) {
  const std::string path = dir_.File("renamed.log");
  tzplatform::SetLogFile(path);
  log_.debug("before");
  ASSERT_EQ(std::rename(path.c_str(), (path + "-20261208").c_str()), 0);
  log_.debug("after");
  EXPECT_EQ(Tagged(path + "-20261208"), std::vector<std::string>{"before"});
  EXPECT_EQ(Tagged(path), std::vector<std::string>{"after"});
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// A timer's run and a person's write one log at once, both rotating it:
// every line of each is in one of the files, once, in its writer's order,
// and names its writer, though the process they were forked from had
// written a line before.
TEST_F(LogTest, TwoProcessesRotatingOneLogLoseNoLine) {
  const std::string path = dir_.File("shared.log");
  constexpr int kLines = 1500;
  log_.debug("before the writers");
  std::vector<pid_t> writers;
  for (const char* tag : {"a", "b"}) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      tzplatform::SetLogFile(path);
      tzplatform::SetLogMaxSize(2048);
      tzplatform::SetLogKeep(tzplatform::kMaxLogKeep);
      EvEvent log;
      for (int n = 0; n < kLines; ++n) log.debug("%s %d", tag, n);
      _exit(0);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::map<std::string, std::vector<int>> seen;
  std::map<std::string, std::set<std::string>> ids;
  int files = 0;
  for (int n = tzplatform::kMaxLogKeep; n >= 0; --n) {
    const std::string file = n == 0 ? path : path + "." + std::to_string(n);
    if (!std::filesystem::exists(file)) continue;
    ++files;
    EXPECT_LE(std::filesystem::file_size(file), 2048u) << file;
    for (const std::string& line : Tagged(file)) {
      seen[line.substr(0, 1)].push_back(std::stoi(line.substr(2)));
    }
    std::istringstream text(tztest::ReadFile(file));
    for (std::string line; std::getline(text, line);) {
      const size_t from = line.find(" pid="), to = line.find(" DEBUG ");
      if (from != std::string::npos && to != std::string::npos && to + 7 < line.size()) {
        ids[line.substr(to + 7, 1)].insert(line.substr(from + 1, to - from - 1));
      }
    }
  }
  for (size_t i = 0; i < writers.size(); ++i) {
    const std::string self = std::to_string(writers[i]);
    EXPECT_EQ(ids[i == 0 ? "a" : "b"], std::set<std::string>{"pid=" + self + " tid=" + self});
  }
  EXPECT_GT(files, 20);
  EXPECT_LT(files, tzplatform::kMaxLogKeep) << "some rotated file may have been dropped";
  for (const char* tag : {"a", "b"}) {
    std::vector<int> want(kLines);
    for (int n = 0; n < kLines; ++n) want[n] = n;
    EXPECT_EQ(seen[tag], want) << tag;
  }
}
