// Start of the discovery tool for database discovery: the command line, the
// request, the local client name, and the copy preferences behind the flags.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "db_answers.h"
#include "log_lines.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

using tzplatform::LogCapture;
using tzplatform::SessionRecorder;

class LaunchTest : public ::testing::Test {
 protected:
  LaunchTest() : env_(tztest::DbDiscoveryFixture()) {}
  tztest::TestEnv env_;
};

TEST_F(LaunchTest, ArgumentStringFollowsFlagsJobAndServer) {
  struct Case {
    std::string server;
    uint32_t clientId;
    bool preferActive, useActiveIfNoPassive, useLastActivationPref;
    int64_t jobId;
    std::string expected;
  };
  const Case cases[] = {
      {"MBX01", 12, true, true, false, 4711, "-dag 1 -ua -j 4711 -cid 12 -hn MBX01"},
      {"MBX01", 12, false, false, false, 0, "-dag 0 -cid 12 -hn MBX01"},
      {"MBX01", 12, true, true, true, 7, "-dag 1 -ua -la -j 7 -cid 12 -hn MBX01"},
      {"MBX01", 12, false, false, true, 0, "-dag 0 -la -cid 12 -hn MBX01"},
      {"MBX01", 2, true, false, false, -5, "-dag 1 -j -5 -cid 2 -hn MBX01"},
      {"MBX01", 2, false, true, false, INT64_MIN,
       "-dag 0 -ua -j -9223372036854775808 -cid 2 -hn MBX01"},
      // The tool reads the client id as signed 32-bit.
      {"MBX01", 4294967295u, true, false, false, 0, "-dag 1 -cid -1 -hn MBX01"},
      {"MBX01", 2147483648u, true, false, false, 0, "-dag 1 -cid -2147483648 -hn MBX01"},
      // The name goes as the caller spelled it.
      {"mbx02", 2, true, false, false, 0, "-dag 1 -cid 2 -hn mbx02"},
  };
  for (const Case& c : cases) {
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    CTzNetwork session;
    EXPECT_TRUE(LaunchPshimFrom(session, c.server, c.clientId, c.preferActive,
                                c.useActiveIfNoPassive, c.useLastActivationPref, c.jobId))
        << c.expected;
    std::vector<tzplatform::AttachRequest> attaches = recorder.Attaches();
    ASSERT_EQ(attaches.size(), 1u) << c.expected;
    EXPECT_EQ(attaches[0].arguments, c.expected);
  }
}

TEST_F(LaunchTest, RequestGoesToTheNetworkHostWithFixedFields) {
  SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
  LogCapture capture;
  CTzNetwork session;
  ASSERT_TRUE(LaunchPshimFrom(session, "mbx02", 2, true, true, false, 0));

  std::vector<tzplatform::AttachRequest> attaches = recorder.Attaches();
  ASSERT_EQ(attaches.size(), 1u);
  const tzplatform::AttachRequest& request = attaches[0];
  EXPECT_EQ(request.host, "mbx02.test");  // the configuration's host, not the name
  EXPECT_EQ(request.executable, "PshimProxy.exe");
  EXPECT_EQ(request.arguments, "-dag 1 -ua -cid 2 -hn mbx02");
  EXPECT_EQ(request.field1, 0);
  EXPECT_EQ(request.field4, 1);
  EXPECT_EQ(request.field5, 0);
  EXPECT_TRUE(request.thirdTextNull);
  EXPECT_EQ(request.timeoutHint, 120);
  EXPECT_EQ(
      capture.Texts(),
      std::vector<std::string>{"[LaunchPshimFrom]: Launch PshimProxy From 'mbx02.test' succeed."});
}

TEST_F(LaunchTest, LocalClientNameFollowsPlatformType) {
  const std::string longName(300, 'p');
  struct Case {
    tzplatform::PlatformIdentity identity;
    std::string expected;
  };
  const Case cases[] = {
      {{1, "corehost-01", "physical-01"}, "corehost-01"},
      {{3, "corehost-01", "physical-01"}, "corehost-01"},
      {{0, "corehost-01", "physical-01"}, "physical-01"},
      {{2, "corehost-01", "physical-01"}, "physical-01"},
      {{0, "", longName}, longName.substr(0, 255)},
      {{1, longName, ""}, longName.substr(0, 255)},
  };
  for (const Case& c : cases) {
    tzplatform::SetPlatformIdentity(c.identity);
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    CTzNetwork session;
    ASSERT_TRUE(LaunchPshimFrom(session, "MBX01", 2, true, false, false, 0));
    std::vector<tzplatform::AttachRequest> attaches = recorder.Attaches();
    ASSERT_EQ(attaches.size(), 1u);
    EXPECT_EQ(attaches[0].localClientName, c.expected)
        << "platform type " << c.identity.platformType;
  }
}

TEST_F(LaunchTest, FailuresBeforeTheSessionMakeNoCallOnIt) {
  struct Case {
    std::string server;
    std::string faultCall;  // empty: no fault, the name itself is unknown
    std::string expectedLine;
  };
  const Case cases[] = {
      {"NOSUCH", "", "[LaunchPshimFrom]: Get client Id failed"},
      // A name that would change the tool's command line is refused before
      // it is looked up, although the store knows "MBX 05".
      {"MBX 05", "", "[LaunchPshimFrom]: The value of -hn holds a blank; PshimProxy not launched."},
      {"-MBX01", "",
       "[LaunchPshimFrom]: The value of -hn starts with '-'; PshimProxy not launched."},
      {"", "", "[LaunchPshimFrom]: The value of -hn is empty; PshimProxy not launched."},
      {"MBX01\n", "",
       "[LaunchPshimFrom]: The value of -hn holds a control character; PshimProxy not launched."},
      {"MBX\x7f"
       "01",
       "",
       "[LaunchPshimFrom]: The value of -hn holds a control character; PshimProxy not launched."},
      {"MBX01", "TZClient::getClientId", "[LaunchPshimFrom]: Get client Id failed"},
      {"MBX01", "TZClient::getNetworkHostnameMangled",
       "[LaunchPshimFrom]: Get client managed name failed"},
  };
  for (const Case& c : cases) {
    tzplatform::FaultInjector faults;
    if (!c.faultCall.empty()) faults.Fail(c.faultCall, c.server, 5);
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    LogCapture capture;
    {
      CTzNetwork session;
      EXPECT_FALSE(LaunchPshimFrom(session, c.server, 2, true, true, false, 0));
    }
    EXPECT_TRUE(recorder.Attaches().empty()) << c.expectedLine;
    EXPECT_EQ(recorder.Receives(), 0);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{c.expectedLine});
  }
}

TEST_F(LaunchTest, SessionErrorIsLoggedWithHostAndErrorText) {
  {
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    recorder.OnAttach([](const tzplatform::AttachRequest&) {
      return CWqError(CWqError::kHostUnreachable, "host unreachable");
    });
    LogCapture capture;
    CTzNetwork session;
    EXPECT_FALSE(LaunchPshimFrom(session, "MBX01", 2, true, true, false, 0));
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"[LaunchPshimFrom]: Launch PshimProxy "
                                                        "[From mbx01.test failed. Error:[-1: "
                                                        "host unreachable]]"});
  }
  // Through the real session: mbx05.test has no folder under the remote root.
  LogCapture capture;
  CTzNetwork session;
  EXPECT_FALSE(LaunchPshimFrom(session, "MBX05", 2, true, true, false, 0));
  EXPECT_TRUE(tztest::LinesAre(
      capture.Texts(),
      {"[LaunchPshimFrom]: Launch PshimProxy [From mbx05.test failed. Error:[-1: *"}));
}

// The three copy preferences of a subclient, and the presets that stand
// when the store cannot tell them.
TEST_F(LaunchTest, PreferencesComeFromTheSubclientWithDefaults) {
  const std::vector<std::string> passiveFirst = {
      "[IsPreferActive]: Prefer backup from passive node",
      "[UseActiveIfNoPassive]: Use active copy if no passive copy available.",
      "[UseLastActivationPref]: Use first activation preference for database discovery."};
  const char* names[] = {"IsPreferActive", "UseActiveIfNoPassive", "UseLastActivationPref"};
  std::vector<std::string> unknownApp, noSubclient;
  for (const char* name : names) {
    unknownApp.push_back(std::string("[") + name + "]: getApplicationId() failed with error '*'.");
    noSubclient.push_back(std::string("[") + name + "]: Failed to get subclient");
  }
  struct Case {
    uint32_t appId;
    std::vector<const char*> faults;  // fail for subclient 11
    bool preferActive, useActiveIfNoPassive, useLastActivationPref;
    std::vector<std::string> lines;  // "*" stands for any text
  };
  // clang-format off
  const Case cases[] = {
      // Passive copies preferred; active as a fallback; first preference.
      {10, {}, false, true, false, passiveFirst},
      {11, {}, true, false, true,
       {"[IsPreferActive]: Prefer backup from active node",
        "[UseActiveIfNoPassive]: Don't use active copy if no passive copy available.",
        "[UseLastActivationPref]: Use last activation preference for database discovery."}},
      // An application the store cannot read: the defaults.
      {0, {}, true, true, false, unknownApp},
      {999, {}, true, true, false, unknownApp},
      {11, {"ApplicationId::getApplicationId"}, true, true, false, unknownApp},
      {11, {"ApplicationId::getSubclient"}, true, true, false, noSubclient},
      // Queries that fail write nothing, so the presets (true, true, false)
      // stand, the first one inverted.
      {11, {"MsExchangeSubclient::isDAGBackupFromPassiveCopySet",
            "MsExchangeSubclient::isDAGBackupFromActiveCopy",
            "MsExchangeSubclient::isDAGUseLastActivationPreferenceSet"},
       false, true, false, passiveFirst},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.appId);
    tzplatform::FaultInjector faults;
    for (const char* call : c.faults) faults.Fail(call, "11", 3);
    LogCapture capture;
    EXPECT_EQ(IsPreferActive(1, c.appId), c.preferActive);
    EXPECT_EQ(UseActiveIfNoPassive(1, c.appId), c.useActiveIfNoPassive);
    EXPECT_EQ(UseLastActivationPref(1, c.appId), c.useLastActivationPref);
    EXPECT_TRUE(tztest::LinesAre(capture.Texts(), c.lines));
  }
}

}  // namespace
