// The database discovery driver from end to end: member servers from the
// store, the tool run by the session (the simulator, or a script as the
// tool), receipt, both filters, and what each way out leaves behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "db_answers.h"
#include "log_lines.h"
#include "process_census.h"
#include "records_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

using tzplatform::LogCapture;
using tzplatform::SessionRecorder;
using tztest::DbRow;
using tztest::DbRows;

const char kStaleAnswer[] =
    "<DAGDBResp><databases dbName=\"Stale\\DB99\" backupServer=\"OLD01\" circularLogging=\"0\">"
    "<copyServers>OLD01</copyServers></databases></DAGDBResp>";
const std::vector<DbRow> kStaleRows = {{"Stale\\DB99", "OLD01", {"OLD01"}, 0}};

// What the simulator answers for DAG01 with -dag 1 -ua, narrowed to the
// selected servers MBX01, MBX02, MBX03 (First\DB03 lives on MBX04 only).
const std::vector<DbRow> kClientRowsActive = {
    {"First\\DB01", "MBX01", {"MBX01", "MBX02", "MBX03"}, 0},
    {"First\\DB02", "MBX02", {"MBX02"}, 0},
    {"First\\DB04", "MBX02", {"MBX02", "MBX01"}, 0},
    {"Archive\\DB05", "MBX01", {"MBX01", "MBX03"}, 1},
};
// The same with -dag 0 -ua: first healthy passive copy; MBX04 is not
// selected, so First\DB02 falls back to its first kept copy server.
const std::vector<DbRow> kClientRowsPassive = {
    {"First\\DB01", "MBX02", {"MBX01", "MBX02", "MBX03"}, 0},
    {"First\\DB02", "MBX02", {"MBX02"}, 0},
    {"First\\DB04", "MBX01", {"MBX02", "MBX01"}, 0},
    {"Archive\\DB05", "MBX03", {"MBX01", "MBX03"}, 1},
};

// The store's words for an unknown application are its own; the rest of
// the line is the library's.
std::vector<std::string> Normalized(const std::vector<std::string>& lines) {
  const std::string marker = "getApplicationId() failed with error '";
  std::vector<std::string> out;
  for (const std::string& line : lines) {
    size_t at = line.find(marker);
    out.push_back(at == std::string::npos ? line : line.substr(0, at + marker.size()) + "*'.");
  }
  return out;
}

int Count(const std::vector<std::string>& lines, const std::string& line) {
  int n = 0;
  for (const std::string& l : lines) n += (l == line);
  return n;
}

struct Outcome {
  bool ok = false;
  std::string remoteServer = "stale";
  Uvo::DAGDBResp resp = tztest::DbRespFromXml(kStaleAnswer);
  std::vector<std::string> lines;
  std::vector<tzplatform::RaisedEvent> events;
};

Outcome Discover(uint32_t clientId, uint32_t appId, int64_t jobId = 0) {
  Outcome outcome;
  LogCapture capture;
  outcome.ok = DiscoverExDatabase(1, clientId, appId, outcome.remoteServer, outcome.resp, jobId);
  outcome.lines = Normalized(capture.Texts());
  outcome.events = capture.Events();
  return outcome;
}

nlohmann::json FixtureWith(const std::function<void(nlohmann::json&)>& change) {
  nlohmann::json fixture = tztest::DbDiscoveryFixture();
  change(fixture);
  return fixture;
}

TEST(DiscoverExDatabaseTest, NoQualifyingServerRaisesOneCriticalEventAndLaunchesNothing) {
  struct Case {
    const char* what;
    uint32_t clientId;
    const char* faultCall;  // or null
  };
  const Case cases[] = {
      {"no selected server with the agent", 20, nullptr},
      {"a client without member servers", 3, nullptr},
      {"client properties unreadable", 2, "ApplProperties::getProperties"},
  };
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  for (const Case& c : cases) {
    tzplatform::FaultInjector faults;
    if (c.faultCall != nullptr) faults.Fail(c.faultCall, std::to_string(c.clientId), 5);
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    Outcome outcome = Discover(c.clientId, 0);

    EXPECT_FALSE(outcome.ok) << c.what;
    std::vector<std::string> lines = {
        "[DiscoverDag]: Discover exchange database with orbalId: 1; clientId: " +
        std::to_string(c.clientId) + ", appId: 0"};
    if (c.faultCall != nullptr) {
      lines.push_back("[GetRemoteServer]: Failed to get client property. ErrCode = 5.");
    }
    lines.push_back("[DiscoverDag]: Did not find an exchange server with UVO installed");
    EXPECT_EQ(outcome.lines, lines) << c.what;
    ASSERT_EQ(outcome.events.size(), 1u) << c.what;
    const tzplatform::RaisedEvent& raised = outcome.events[0];
    EXPECT_EQ(raised.severity, tzplatform::EventSeverity::kCritical);
    EXPECT_EQ(raised.id, 0x48000097u);
    EXPECT_EQ(raised.param1, 0);
    EXPECT_EQ(raised.param2, 0);
    ASSERT_EQ(raised.arguments.size(), 1u);
    EXPECT_EQ(raised.arguments[0].kind, 11);
    EXPECT_EQ(raised.arguments[0].value,
              " Did not find an exchange server with UVO installed, No Exchange Server available ");
    EXPECT_EQ(recorder.SessionsCreated(), 0) << c.what;
    EXPECT_TRUE(recorder.Attaches().empty()) << c.what;
    EXPECT_EQ(outcome.remoteServer, "") << c.what;
    EXPECT_EQ(DbRows(outcome.resp), kStaleRows) << c.what;
  }
}

TEST(DiscoverExDatabaseTest, FailedLaunchFallsThroughToTheNextServerOnItsOwnSession) {
  // MBX01's host has no folder: unreachable.
  tztest::TestEnv env(FixtureWith([](nlohmann::json& f) {
    f["remote"]["hosts"] = {"mbx02.test", "mbx03.test", "mbx04.test"};
  }));
  SessionRecorder recorder(SessionRecorder::Mode::kObserve);
  Outcome outcome = Discover(2, 0);

  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.remoteServer, "MBX02");
  EXPECT_EQ(DbRows(outcome.resp), kClientRowsActive);
  EXPECT_EQ(
      Count(outcome.lines,
            "[DiscoverDag]: Failed to launch PshimProxy on server MBX01, trying another one."),
      1);
  EXPECT_EQ(Count(outcome.lines,
                  "[DiscoverDag]: Failed to launch PshimProxy on server MBX02, "
                  "trying another one."),
            0);
  std::vector<tzplatform::AttachRequest> attaches = recorder.Attaches();
  ASSERT_EQ(attaches.size(), 2u);
  EXPECT_EQ(attaches[0].host, "mbx01.test");
  EXPECT_EQ(attaches[0].arguments, "-dag 1 -ua -cid 2 -hn MBX01");
  EXPECT_EQ(attaches[1].host, "mbx02.test");
  EXPECT_EQ(attaches[1].arguments, "-dag 1 -ua -cid 2 -hn MBX02");
  EXPECT_EQ(recorder.SessionsCreated(), 2);
  EXPECT_EQ(recorder.SessionsDestroyed(), 2);
  EXPECT_EQ(recorder.Receives(), 1);
  EXPECT_TRUE(outcome.events.empty());
}

// A caller that is stopping cancels through the platform: the call returns
// at once, the tool and what it started are gone, and the answer is as it was.
TEST(DiscoverExDatabaseTest, ACancelledCallLeavesNoToolBehind) {
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  const std::string pidFile = env.dir() + "/tool.pid";
  env.InstallTool("mbx01.test", "#!/bin/sh\necho $$ > " + pidFile + "\nsleep 60 &\nwait\n");
  Outcome outcome;
  std::thread caller([&outcome] { outcome = Discover(2, 0); });
  const pid_t tool = tztest::WaitForPid(pidFile);
  tzplatform::CancelRemoteCommands();
  caller.join();
  tzplatform::ResumeRemoteCommands();

  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(DbRows(outcome.resp), kStaleRows);
  EXPECT_TRUE(
      tztest::LinesEndWith(outcome.lines, {"[ReceiveRespsonse]: Received failed from PshimProxy. "
                                           "Error:[-11: cancelled after 0 bytes of output; killed]",
                                           "[DiscoverDag]: Failed to receive response"}));
  ASSERT_GT(tool, 0);
  EXPECT_TRUE(tztest::GroupEnds(tool));
  EXPECT_FALSE(tztest::HasChildProcess());
}

TEST(DiscoverExDatabaseTest, LaunchFailingEverywhereLeavesEverythingAsItWas) {
  tztest::TestEnv env(
      FixtureWith([](nlohmann::json& f) { f["remote"]["hosts"] = {"mbx03.test"}; }));
  SessionRecorder recorder(SessionRecorder::Mode::kObserve);
  Outcome outcome = Discover(2, 11);

  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.remoteServer, "");
  EXPECT_EQ(DbRows(outcome.resp), kStaleRows);
  EXPECT_EQ(recorder.SessionsCreated(), 2);
  EXPECT_EQ(recorder.Receives(), 0);
  ASSERT_GE(outcome.lines.size(), 3u);
  EXPECT_EQ(
      Count(outcome.lines,
            "[DiscoverDag]: Failed to launch PshimProxy on server MBX01, trying another one."),
      1);
  EXPECT_EQ(outcome.lines[outcome.lines.size() - 2],
            "[DiscoverDag]: Failed to launch PshimProxy on server MBX02, trying another one.");
  EXPECT_EQ(outcome.lines.back(), "[DiscoverDag]: Failed to launch PshimProxy all servers.");
}

TEST(DiscoverExDatabaseTest, FailedReceiptEndsTheRequestWithoutTryingAnotherServer) {
  struct Case {
    const char* what;
    std::function<void(nlohmann::json&)> fixture;
    std::string script;       // installed as MBX01's tool when not empty
    bool intercept;           // the session hands back success without a record
    std::string receiptLine;  // the line before the driver's; "*" stands for any text
  };
  auto failure = [](const char* kind) {
    return [kind](nlohmann::json& f) { f["remote"]["failures"]["mbx01.test"] = kind; };
  };
  auto none = [](nlohmann::json&) {};
  const Case cases[] = {
      {"tool error record", failure("toolError"), "", false,
       "[ReceiveRespsonse]: PshimProxy returned error: *"},
      {"simulator's wrong record", failure("wrongMessage"), "", false,
       "[ReceiveRespsonse]: Received a wrong message. TagID: *"},
      {"member server answer instead", none, tztest::PrintingTool("<DAGMemberServersResp/>"), false,
       "[ReceiveRespsonse]: Received a wrong message. TagID: 381113404"},
      {"tool exits without output", failure("exit"), "", false,
       "[ReceiveRespsonse]: Received failed from PshimProxy. Error:[*"},
      {"output is not a record", failure("garbage"), "", false,
       "[ReceiveRespsonse]: Received failed from PshimProxy. Error:[*"},
      {"success without a record", none, "", true,
       "[ReceiveRespsonse]: Received no message from PshimProxy."},
  };
  for (const Case& c : cases) {
    tztest::TestEnv env(FixtureWith(c.fixture));
    if (!c.script.empty()) env.InstallTool("mbx01.test", c.script);
    SessionRecorder recorder(c.intercept ? SessionRecorder::Mode::kIntercept
                                         : SessionRecorder::Mode::kObserve);
    if (c.intercept) {
      recorder.OnReceive([](const tzplatform::AttachRequest&) {
        return SessionRecorder::ReceiveAnswer{CWqError(), ""};
      });
    }
    Outcome outcome = Discover(2, 0);

    EXPECT_FALSE(outcome.ok) << c.what;
    EXPECT_EQ(outcome.remoteServer, "") << c.what;
    EXPECT_EQ(DbRows(outcome.resp), kStaleRows) << c.what;
    ASSERT_EQ(recorder.Attaches().size(), 1u) << c.what;
    EXPECT_EQ(recorder.SessionsCreated(), 1) << c.what;
    EXPECT_TRUE(tztest::LinesEndWith(outcome.lines,
                                     {c.receiptLine, "[DiscoverDag]: Failed to receive response"}))
        << c.what;
    EXPECT_EQ(
        Count(outcome.lines, "[LaunchPshimFrom]: Launch PshimProxy From 'mbx01.test' succeed."), 1)
        << c.what;
  }
}

TEST(DiscoverExDatabaseTest, FailedClientFilterKeepsTheAnswerAsReceived) {
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  tzplatform::FaultInjector faults;
  SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
  // The selection vanishes between choosing the server and filtering.
  recorder.OnReceive([&faults](const tzplatform::AttachRequest&) {
    faults.Fail("ApplProperties::getProperties", "2", 5);
    return SessionRecorder::ReceiveAnswer{
        CWqError(),
        "<DAGDBResp><databases dbName=\"First\\DB01\" backupServer=\"MBX04\" "
        "circularLogging=\"0\"><copyServers>MBX04</copyServers></databases></DAGDBResp>"};
  });
  Outcome outcome = Discover(2, 0);

  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.remoteServer, "MBX01");
  EXPECT_EQ(DbRows(outcome.resp), (std::vector<DbRow>{{"First\\DB01", "MBX04", {"MBX04"}, 0}}));
  ASSERT_GE(outcome.lines.size(), 2u);
  EXPECT_EQ(outcome.lines[outcome.lines.size() - 2],
            "[FilterResponceForClient]: No member servers found for this DAG client");
  EXPECT_EQ(outcome.lines.back(), "[DiscoverDag]: Filter response for client falied");
}

TEST(DiscoverExDatabaseTest, FailedSubclientFilterKeepsTheClientFilteredAnswer) {
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  // Subclient 30's backup set has no default subclient.
  Outcome outcome = Discover(2, 30);

  EXPECT_FALSE(outcome.ok);
  EXPECT_EQ(outcome.remoteServer, "MBX01");
  EXPECT_EQ(DbRows(outcome.resp), kClientRowsPassive);
  ASSERT_GE(outcome.lines.size(), 3u);
  std::vector<std::string> last(outcome.lines.end() - 3, outcome.lines.end());
  EXPECT_EQ(last, (std::vector<std::string>{
                      "[GetSubclientsDbList]: Could not find the default subclient.",
                      "[FilterResponceForSubClient]: GetSubclientsDbList failed",
                      "[DiscoverDag]: Filter response for subclient falied"}));
}

TEST(DiscoverExDatabaseTest, AnswersAreFilteredByClientAndSubclient) {
  struct Case {
    uint32_t appId;
    int64_t jobId;
    std::string arguments;
    std::vector<DbRow> rows;
  };
  const Case cases[] = {
      // No subclient: preferences unreadable, so -dag 1 -ua; client filter only.
      {0, 0, "-dag 1 -ua -cid 2 -hn MBX01", kClientRowsActive},
      // Custom subclient naming First\DB01.
      {11, 0, "-dag 1 -la -cid 2 -hn MBX01", {kClientRowsActive[0]}},
      // Default: what no live custom subclient names (13 is deleted; its
      // First\DB03 is gone already with the client filter).
      {10, 0, "-dag 0 -ua -cid 2 -hn MBX01", {kClientRowsPassive[2]}},
      // Custom subclient naming first\db02 and Archive\DB05, with a job id.
      {12,
       4711,
       "-dag 0 -j 4711 -cid 2 -hn MBX01",
       {{"First\\DB02", "MBX02", {"MBX02"}, 0}, kClientRowsPassive[3]}},
      // Custom subclient with no database in its content.
      {14, -5, "-dag 0 -ua -j -5 -cid 2 -hn MBX01", {}},
  };
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  for (const Case& c : cases) {
    SessionRecorder recorder(SessionRecorder::Mode::kObserve);
    Outcome outcome = Discover(2, c.appId, c.jobId);

    EXPECT_TRUE(outcome.ok) << c.appId;
    EXPECT_EQ(outcome.remoteServer, "MBX01") << c.appId;
    EXPECT_EQ(DbRows(outcome.resp), c.rows) << c.appId;
    EXPECT_TRUE(tzdag::IsSet(outcome.resp, Uvo::DAGDBResp::kDatabases)) << c.appId;
    ASSERT_EQ(recorder.Attaches().size(), 1u);
    EXPECT_EQ(recorder.Attaches()[0].arguments, c.arguments);
    EXPECT_EQ(outcome.lines.back(), "[DiscoverDag]: Discover exchange database successfully");
    EXPECT_EQ(Count(outcome.lines, "[FilterResponceForSubClient]: GetSubclientsDbList failed"), 0);
  }
}

TEST(DiscoverExDatabaseTest, LinesOfASuccessfulRequestWithoutSubclient) {
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  tzplatform::SetDebugLevel(1);
  Outcome outcome = Discover(2, 0);
  ASSERT_TRUE(outcome.ok);

  // The two record dumps are checked apart from the other lines.
  std::vector<std::string> plain;
  std::vector<std::string> dumps;
  for (const std::string& line : outcome.lines) {
    (line.find(" xml") != std::string::npos ? dumps : plain).push_back(line);
  }
  EXPECT_EQ(plain,
            (std::vector<std::string>{
                "[DiscoverDag]: Discover exchange database with orbalId: 1; clientId: 2, appId: 0",
                "[GetRemoteServer]: Found exchange server: MBX01 with Uvo installed.",
                "[GetRemoteServer]: Found exchange server: MBX02 with Uvo installed.",
                "[IsPreferActive]: getApplicationId() failed with error '*'.",
                "[UseActiveIfNoPassive]: getApplicationId() failed with error '*'.",
                "[UseLastActivationPref]: getApplicationId() failed with error '*'.",
                "[LaunchPshimFrom]: Launch PshimProxy From 'mbx01.test' succeed.",
                "[ReceiveRespsonse]: Received response from PshimProxy.",
                "[DiscoverDag]: Discover exchange database successfully",
            }));
  ASSERT_EQ(dumps.size(), 2u);
  const std::string received = "[ReceiveRespsonse]: Response xml: ";
  const std::string filtered =
      "[DiscoverDag]: Response xml after filtering by client and subclient: ";
  ASSERT_EQ(dumps[0].rfind(received, 0), 0u) << dumps[0];
  ASSERT_EQ(dumps[1].rfind(filtered, 0), 0u) << dumps[1];
  // The first dump is the tool's answer, the second the filtered one.
  EXPECT_NE(dumps[0].find("First\\DB03"), std::string::npos);
  EXPECT_EQ(dumps[1].find("First\\DB03"), std::string::npos);
  std::string xml;
  outcome.resp.serialize(xml, false);
  EXPECT_EQ(dumps[1].substr(filtered.size()), xml);
}

TEST(DiscoverExDatabaseTest, EmptyAnswerIsAReceiptAndFiltersToEmpty) {
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  env.InstallTool("mbx01.test", tztest::PrintingTool("<DAGDBResp/>"));
  Outcome outcome = Discover(2, 0);
  EXPECT_TRUE(outcome.ok);
  EXPECT_EQ(outcome.remoteServer, "MBX01");
  EXPECT_TRUE(DbRows(outcome.resp).empty());
  EXPECT_TRUE(tzdag::IsSet(outcome.resp, Uvo::DAGDBResp::kDatabases));
}

TEST(DiscoverExDatabaseTest, FiveArgumentFormGivesTheSixArgumentResult) {
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  struct Case {
    uint32_t clientId, appId;
  };
  for (const Case& c : {Case{2, 0}, Case{2, 11}, Case{2, 10}, Case{2, 30}, Case{20, 0}}) {
    Outcome six = Discover(c.clientId, c.appId, 9);

    Uvo::DAGDBResp resp = tztest::DbRespFromXml(kStaleAnswer);
    LogCapture capture;
    bool ok = DiscoverExDatabase(1, c.clientId, c.appId, resp, 9);
    EXPECT_EQ(ok, six.ok) << c.clientId << "/" << c.appId;
    EXPECT_EQ(DbRows(resp), DbRows(six.resp)) << c.clientId << "/" << c.appId;
    EXPECT_EQ(Normalized(capture.Texts()), six.lines) << c.clientId << "/" << c.appId;
  }
}

}  // namespace
