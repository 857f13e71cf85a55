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

// What a line holds and how the file writes it: control characters from
// outside escaped, long lines whole.
TEST_F(LogTest, LinesCarryFormLevelAndFunctionAndReachTheFileWhole) {
  tzplatform::SetDebugLevel(2);
  LogCapture capture;
  const std::string big(100000, 'x');
  log_.debug("[%s]: PshimProxy returned error: %s", "R", "one\ntwo\r\x1b[31m\tend");
  log_.DebugLvl("DiscoverUnassociatedExDatabase", 2, "Found [%lu] subclients for clientId[%u]", 3ul,
                7u);
  log_.Error("GetSubclients", "Error getting subclient list for clientId[%u]", 7u);
  log_.debug("[%s]: Response xml: %s", "ReceiveRespsonse", big.c_str());

  std::vector<std::string> got;
  for (const tzplatform::LogLine& l : capture.Lines()) {
    got.push_back(std::to_string(static_cast<int>(l.form)) + " " + std::to_string(l.level) + " " +
                  l.function + "|" + l.text);
  }
  auto form = [](LogForm f, int level, const std::string& rest) {
    return std::to_string(static_cast<int>(f)) + " " + std::to_string(level) + " " + rest;
  };
  EXPECT_EQ(
      got, (std::vector<std::string>{
               form(LogForm::kDebug, 0, "|[R]: PshimProxy returned error: one\ntwo\r\x1b[31m\tend"),
               form(LogForm::kFunctionDebugLvl, 2,
                    "DiscoverUnassociatedExDatabase|Found [3] subclients for clientId[7]"),
               form(LogForm::kFunctionError, 0,
                    "GetSubclients|Error getting subclient list for clientId[7]"),
               form(LogForm::kDebug, 0, "|[ReceiveRespsonse]: Response xml: " + big)}));

  const std::string file = tztest::ReadFile(dir_.File("log.txt"));
  for (const std::string& text :
       {std::string(" DEBUG [R]: PshimProxy returned error: one\\x0Atwo\\x0D\\x1B[31m\tend\n"),
        std::string(
            " DEBUG2 DiscoverUnassociatedExDatabase: Found [3] subclients for clientId[7]\n"),
        std::string(" ERROR GetSubclients: Error getting subclient list for clientId[7]\n"),
        " DEBUG [ReceiveRespsonse]: Response xml: " + big + "\n", std::string(" pid="),
        std::string(" tid=")}) {
    EXPECT_NE(file.find(text), std::string::npos) << text.substr(0, 80);
  }
}

TEST_F(LogTest, EventCarriesItsArgumentsInOrderAndConsumesThem) {
  LogCapture capture;
  log_ << std::string("first") << "second";
  log_.addArgument("third", EvEvent::kNarrowString);
  log_.CriticalEvent(0x48000097, 0, 0);
  log_ << std::string("next");
  log_.InfoEvent(469762421, 0, 0);
  log_.InfoEvent(469762421, 0, 0);

  std::vector<std::string> got;
  for (const tzplatform::RaisedEvent& event : capture.Events()) {
    std::string text =
        std::to_string(static_cast<int>(event.severity)) + " " + std::to_string(event.id);
    for (const auto& a : event.arguments) text += " " + std::to_string(a.kind) + ":" + a.value;
    got.push_back(text);
  }
  const std::string critical =
      std::to_string(static_cast<int>(tzplatform::EventSeverity::kCritical));
  const std::string info = std::to_string(static_cast<int>(tzplatform::EventSeverity::kInfo));
  EXPECT_EQ(got, (std::vector<std::string>{critical + " 1207959703 11:first 11:second 11:third",
                                           info + " 469762421 11:next", info + " 469762421"}));
  // Events are not log lines of the capture; an event the store could not
  // take is reported by a line of its own.
  const std::string missing =
      ": configuration store " + dir_.File("missing.db") + " does not exist";
  std::vector<std::string> unstored;
  for (const tzplatform::LogLine& line : capture.Lines()) {
    EXPECT_EQ(line.form, LogForm::kFunctionError);
    unstored.push_back(line.function + ": " + line.text);
  }
  const std::string line = "EvEvent::RecordEvent: event 0x";
  EXPECT_EQ(unstored, (std::vector<std::string>{line + "48000097 was not stored" + missing,
                                                line + "1C000175 was not stored" + missing,
                                                line + "1C000175 was not stored" + missing}));
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
  const std::string file = tztest::ReadFile(dir_.File("log.txt"));
  size_t count = 0;
  for (size_t at = 0; (at = file.find(" DEBUG [T]: line ", at)) != std::string::npos; ++at) ++count;
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
