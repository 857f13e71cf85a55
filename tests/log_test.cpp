// The platform log: exact texts, level filtering, event arguments, threads.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"
#include "tzplatform/EvEvent.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"

namespace {

using tzplatform::LogCapture;
using tzplatform::LogForm;

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
  struct Case {
    int setting;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {0, {"plain", "fn plain", "fn error"}},
      {1, {"plain", "level 1", "fn plain", "fn level 1", "fn error"}},
      {3, {"plain", "level 1", "level 3", "fn plain", "fn level 1", "fn level 3", "fn error"}},
  };
  for (const Case& c : cases) {
    tzplatform::SetDebugLevel(c.setting);
    LogCapture capture;
    log_.debug("plain");
    log_.debugLvl(1, "level %d", 1);
    log_.debugLvl(3, "level %d", 3);
    log_.debugLvl(5, "level %d", 5);
    log_.Debug("F", "fn plain");
    log_.DebugLvl("F", 1, "fn level %d", 1);
    log_.DebugLvl("F", 3, "fn level %d", 3);
    log_.DebugLvl("F", 5, "fn level %d", 5);
    log_.Error("F", "fn error");
    EXPECT_EQ(capture.Texts(), c.expected) << "debug level " << c.setting;
    for (int level : {0, 1, 3, 5}) {
      EXPECT_EQ(log_.isLevelEnabled(level), level <= c.setting)
          << "level " << level << " at debug level " << c.setting;
    }
  }
}

TEST_F(LogTest, LinesCarryFormLevelAndFunctionAndReachTheFile) {
  tzplatform::SetDebugLevel(2);
  LogCapture capture;
  log_.debug("[%s]: Found exchange server: %s with Uvo installed.", "GetRemoteServer", "MBX01");
  log_.DebugLvl("DiscoverUnassociatedExDatabase", 2, "Found [%lu] subclients for clientId[%u]", 3ul,
                7u);
  log_.Error("DiscoverUnassociatedExDatabase", "Error getting subclient list for clientId[%u]", 7u);

  std::vector<tzplatform::LogLine> lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].form, LogForm::kDebug);
  EXPECT_EQ(lines[0].text, "[GetRemoteServer]: Found exchange server: MBX01 with Uvo installed.");
  EXPECT_EQ(lines[1].form, LogForm::kFunctionDebugLvl);
  EXPECT_EQ(lines[1].level, 2);
  EXPECT_EQ(lines[1].function, "DiscoverUnassociatedExDatabase");
  EXPECT_EQ(lines[1].text, "Found [3] subclients for clientId[7]");
  EXPECT_EQ(lines[2].form, LogForm::kFunctionError);

  std::string file = tztest::ReadFile(dir_.File("log.txt"));
  EXPECT_NE(
      file.find(" DEBUG [GetRemoteServer]: Found exchange server: MBX01 with Uvo installed.\n"),
      std::string::npos)
      << file;
  EXPECT_NE(file.find(" DEBUG2 DiscoverUnassociatedExDatabase: Found [3] subclients"),
            std::string::npos);
  EXPECT_NE(file.find(" ERROR DiscoverUnassociatedExDatabase: Error getting subclient list"),
            std::string::npos);
  EXPECT_NE(file.find(" pid="), std::string::npos);
  EXPECT_NE(file.find(" tid="), std::string::npos);
}

TEST_F(LogTest, ControlCharactersFromOutsideDoNotBreakTheFilesLines) {
  LogCapture capture;
  log_.debug("[%s]: PshimProxy returned error: %s", "R", "one\ntwo\r\x1b[31m\tend");
  EXPECT_EQ(capture.Texts()[0], "[R]: PshimProxy returned error: one\ntwo\r\x1b[31m\tend");
  std::string file = tztest::ReadFile(dir_.File("log.txt"));
  EXPECT_NE(file.find(" DEBUG [R]: PshimProxy returned error: one\\x0Atwo\\x0D\\x1B[31m\tend\n"),
            std::string::npos)
      << file;
}

TEST_F(LogTest, LongLinesAreNotCut) {
  LogCapture capture;
  std::string big(100000, 'x');
  log_.debug("[%s]: Response xml: %s", "ReceiveRespsonse", big.c_str());
  ASSERT_EQ(capture.Texts().size(), 1u);
  EXPECT_EQ(capture.Texts()[0], "[ReceiveRespsonse]: Response xml: " + big);
}

TEST_F(LogTest, EventCarriesItsArgumentsInOrderAndConsumesThem) {
  LogCapture capture;
  log_ << std::string("first") << "second";
  log_.addArgument("third", EvEvent::kNarrowString);
  log_.CriticalEvent(0x48000097, 0, 0);
  log_ << std::string("next");
  log_.InfoEvent(469762421, 0, 0);
  log_.InfoEvent(469762421, 0, 0);

  std::vector<tzplatform::RaisedEvent> events = capture.Events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].severity, tzplatform::EventSeverity::kCritical);
  EXPECT_EQ(events[0].id, 1207959703u);
  ASSERT_EQ(events[0].arguments.size(), 3u);
  EXPECT_EQ(events[0].arguments[0].value, "first");
  EXPECT_EQ(events[0].arguments[1].value, "second");
  EXPECT_EQ(events[0].arguments[2].value, "third");
  EXPECT_EQ(events[0].arguments[0].kind, 11);
  EXPECT_EQ(events[1].severity, tzplatform::EventSeverity::kInfo);
  ASSERT_EQ(events[1].arguments.size(), 1u);
  EXPECT_EQ(events[1].arguments[0].value, "next");
  EXPECT_TRUE(events[2].arguments.empty());
  // Events are not log lines of the capture; an event the store could not
  // take is reported by a line of its own.
  const std::string missing =
      ": configuration store " + dir_.File("missing.db") + " does not exist";
  std::vector<std::string> unstored;
  for (const tzplatform::LogLine& line : capture.Lines()) {
    EXPECT_EQ(line.form, LogForm::kFunctionError);
    EXPECT_EQ(line.function, "EvEvent::RecordEvent");
    unstored.push_back(line.text);
  }
  EXPECT_EQ(unstored, (std::vector<std::string>{"event 0x48000097 was not stored" + missing,
                                                "event 0x1C000175 was not stored" + missing,
                                                "event 0x1C000175 was not stored" + missing}));
  EXPECT_NE(tztest::ReadFile(dir_.File("log.txt")).find("CRITICAL event 0x48000097"),
            std::string::npos);
}

TEST_F(LogTest, ThreadsNeitherMixEventArgumentsNorLoseLines) {
  LogCapture capture;
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kRounds; ++i) {
        log_ << ("thread " + std::to_string(t));
        log_.debug("[%s]: line %d of %d", "T", i, t);
        log_.InfoEvent(static_cast<uint32_t>(t), 0, 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  size_t plain = 0;
  for (const tzplatform::LogLine& line : capture.Lines()) plain += line.form == LogForm::kDebug;
  EXPECT_EQ(plain, static_cast<size_t>(kThreads * kRounds));
  std::vector<tzplatform::RaisedEvent> events = capture.Events();
  ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kRounds));
  for (const tzplatform::RaisedEvent& event : events) {
    ASSERT_EQ(event.arguments.size(), 1u);
    EXPECT_EQ(event.arguments[0].value, "thread " + std::to_string(event.id));
  }
  // Every line of the file is whole: one header and one text.
  std::string file = tztest::ReadFile(dir_.File("log.txt"));
  size_t count = 0;
  for (size_t at = file.find(" DEBUG [T]: line "); at != std::string::npos;
       at = file.find(" DEBUG [T]: line ", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kRounds));
}

// What the environment holds decides only what was not set, and a value
// that is not valid for its variable is refused, never replaced.
TEST(LogSettingsTest, EnvironmentDecidesWhatIsNotSetAndBadValuesAreRefused) {
  tzplatform::ResetSettings();
  setenv("TZ_DEBUG_LEVEL", "4", 1);
  setenv("TZ_REMOTE_TIMEOUT", "07", 1);
  EXPECT_EQ(tzplatform::DebugLevel(), 4);
  EXPECT_EQ(tzplatform::RemoteTimeout(), 7);
  EXPECT_NO_THROW(tzplatform::CheckSettings());

  setenv("TZ_DEBUG_LEVEL", "11", 1);
  setenv("TZ_REMOTE_TIMEOUT", "5s", 1);
  EXPECT_EQ(tzplatform::DebugLevel(), 0);
  EXPECT_THROW(tzplatform::RemoteTimeout(), tzplatform::SettingsError);
  // Set values stand whatever the environment says.
  tzplatform::SetDebugLevel(1);
  tzplatform::SetRemoteTimeout(3);
  EXPECT_EQ(tzplatform::DebugLevel(), 1);
  EXPECT_EQ(tzplatform::RemoteTimeout(), 3);
  EXPECT_NO_THROW(tzplatform::CheckSettings());
  unsetenv("TZ_DEBUG_LEVEL");
  unsetenv("TZ_REMOTE_TIMEOUT");
  tzplatform::ResetSettings();
  EXPECT_EQ(tzplatform::DebugLevel(), 0);
  EXPECT_EQ(tzplatform::RemoteTimeout(), 300);
}

}  // namespace
