// Database discovery: the member servers the tool may run on, its start (the
// command line, the request, the copy preferences behind the flags), and the
// driver from end to end (the simulator, or a script as the tool) with what
// each way out leaves behind.

#include <thread>

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

using nlohmann::json;
using tzplatform::SessionRecorder;
using tztest::LinesEndWith;
using Texts = std::vector<std::string>;

// Client 23 holds entries of other kinds among its member servers, MBX03
// twice and once as mbx03; 22 selects nothing, 3 has no member servers.
TEST(MemberServersTest, SelectionAgentOrderAndOtherKinds) {
  tztest::TestEnv env(tztest::DbDiscoveryFixture());
  for (const json& c : tztest::TestData("dbdiscovery.json", "memberServers")) {
    const Texts remote = c[1];
    tzplatform::LogCapture log;
    EXPECT_EQ(GetRemoteServer(c[0]), remote) << c;
    Texts lines;
    for (const std::string& server : remote) {
      lines.push_back("[GetRemoteServer]: Found exchange server: " + server +
                      " with Uvo installed.");
    }
    EXPECT_EQ(log.Texts(), lines);
    log.Clear();
    EXPECT_EQ(GetSelectedServers(c[0]), c[2].get<Texts>()) << c;
    EXPECT_EQ(log.Texts(), Texts());
  }
}

class LaunchTest : public ::testing::Test {
 protected:
  LaunchTest() : env_(tztest::DbDiscoveryFixture()) {}

  // The one request of a launch that succeeds.
  static tzplatform::AttachRequest Launch(const std::string& server, uint32_t clientId,
                                          bool preferActive, bool useActive, bool useLast,
                                          int64_t jobId) {
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    CTzNetwork session;
    EXPECT_TRUE(
        LaunchPshimFrom(session, server, clientId, preferActive, useActive, useLast, jobId));
    const std::vector<tzplatform::AttachRequest> attaches = recorder.Attaches();
    return attaches.size() == 1 ? attaches[0] : tzplatform::AttachRequest();
  }

  tztest::TestEnv env_;
};

// tests/data/dbdiscovery.json holds the cases of the launch tests.
TEST_F(LaunchTest, CommandLineFollowsFlagsJobAndServer) {
  for (const json& c : tztest::TestData("dbdiscovery.json", "commandLines")) {
    const tzplatform::AttachRequest request = Launch(c[0], c[1], c[2], c[3], c[4], c[5]);
    EXPECT_EQ(request.host + ": " + request.arguments, c[6]);
  }
  tzplatform::LogCapture capture;
  const tzplatform::AttachRequest request = Launch("mbx02", 2, true, true, false, 0);
  EXPECT_EQ(request.executable, "PshimProxy.exe");
  EXPECT_EQ(std::vector<int64_t>({request.field1, request.field4, request.field5}),
            std::vector<int64_t>({0, 1, 0}));
  EXPECT_TRUE(request.thirdTextNull);
  EXPECT_EQ(request.timeoutHint, 120);
  EXPECT_EQ(capture.Texts(),
            Texts{"[LaunchPshimFrom]: Launch PshimProxy From 'mbx02.test' succeed."});
}

TEST_F(LaunchTest, LocalClientNameFollowsPlatformType) {
  auto text = [](const json& t) {
    return t.is_number() ? std::string(t, 'p') : t.get<std::string>();
  };
  for (const json& c : tztest::TestData("dbdiscovery.json", "localClientNames")) {
    tzplatform::SetPlatformIdentity({c[0].get<uint32_t>(), text(c[1]), text(c[2])});
    EXPECT_EQ(Launch("MBX01", 2, true, false, false, 0).localClientName, text(c[3])) << c;
  }
}

TEST_F(LaunchTest, FailuresBeforeTheSessionMakeNoCallOnIt) {
  for (const json& c : tztest::TestData("dbdiscovery.json", "refusedLaunches")) {
    const std::string server = c[0], line = c[1];
    const bool fault = server.rfind("TZClient::", 0) == 0;  // a failing query for MBX01
    tzplatform::FaultInjector faults;
    if (fault) faults.Fail(server, "MBX01", 5);
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    tzplatform::LogCapture capture;
    {
      CTzNetwork session;
      EXPECT_FALSE(LaunchPshimFrom(session, fault ? "MBX01" : server, 2, true, true, false, 0));
    }
    EXPECT_TRUE(recorder.Attaches().empty()) << line;
    EXPECT_EQ(capture.Texts(), Texts{line});
  }
}

TEST_F(LaunchTest, PreferencesComeFromTheSubclientWithDefaults) {
  for (const json& c : tztest::TestData("dbdiscovery.json", "preferences")) {
    const uint32_t app = c["app"];
    SCOPED_TRACE(app);
    tzplatform::FaultInjector faults;
    for (const std::string& call : c.value("fail", Texts())) faults.Fail(call, "11", 3);
    tzplatform::LogCapture capture;
    EXPECT_EQ(IsPreferActive(1, app), c["prefs"][0]);
    EXPECT_EQ(UseActiveIfNoPassive(1, app), c["prefs"][1]);
    EXPECT_EQ(UseLastActivationPref(1, app), c["prefs"][2]);
    EXPECT_TRUE(tztest::LinesAre(capture.Texts(), c["lines"]));
  }
}

// The driver, on an answer that holds a stale database beforehand.
const char kStaleAnswer[] =
    "<DAGDBResp><databases dbName=\"Stale\\DB99\" backupServer=\"OLD01\" circularLogging=\"0\">"
    "<copyServers>OLD01</copyServers></databases></DAGDBResp>";

struct Outcome {
  bool ok = false;
  std::string remoteServer = "stale";
  Uvo::DAGDBResp resp = tztest::DbRespFromXml(kStaleAnswer);
  Texts lines;
  std::vector<tzplatform::RaisedEvent> events;
};

Outcome Discover(uint32_t clientId, uint32_t appId, int64_t jobId = 0) {
  Outcome outcome;
  tzplatform::LogCapture capture;
  outcome.ok = DiscoverExDatabase(1, clientId, appId, outcome.remoteServer, outcome.resp, jobId);
  outcome.lines = capture.Texts();
  outcome.events = capture.Events();
  return outcome;
}

// tests/data/dbdiscovery.json says what each scenario sets up and expects.
TEST(DiscoverExDatabaseTest, Scenarios) {
  for (const json& s : tztest::TestData("dbdiscovery.json", "scenarios")) {
    SCOPED_TRACE(s["what"].get<std::string>());
    json fixture = tztest::DbDiscoveryFixture();
    for (const char* key : {"hosts", "failures"})
      if (s.contains(key)) fixture["remote"][key] = s[key];
    tztest::TestEnv env(fixture);
    const json tools = s.value("tools", json::object());
    for (const auto& [host, text] : tools.items())
      env.InstallTool(host, tztest::PrintingTool(text));
    tzplatform::FaultInjector faults;
    auto arm = [&faults](const json& f) { faults.Fail(f[0], f[1], f[2]); };
    if (s.contains("fault")) arm(s["fault"]);
    SessionRecorder recorder(s.contains("receive") ? SessionRecorder::Mode::kIntercept
                                                   : SessionRecorder::Mode::kObserve);
    recorder.OnReceive([&](const tzplatform::AttachRequest&) {
      if (s.contains("faultAtReceive")) arm(s["faultAtReceive"]);
      return SessionRecorder::ReceiveAnswer{CWqError(), s["receive"]};
    });
    tzplatform::SetDebugLevel(s.value("debug", 0));
    const uint32_t client = s.value("client", 2), app = s.value("app", 0);
    const int64_t job = s.value("job", 0);

    Outcome outcome = Discover(client, app, job);

    EXPECT_EQ(outcome.ok, s["ok"]);
    EXPECT_EQ(outcome.remoteServer, s["server"]);
    EXPECT_EQ(tztest::DbRows(outcome.resp), s["databases"].get<Texts>());
    Texts attaches;
    for (const auto& a : recorder.Attaches()) attaches.push_back(a.host + ": " + a.arguments);
    EXPECT_EQ(attaches, s["attaches"].get<Texts>());
    EXPECT_EQ(recorder.Receives(), s["receives"]);
    EXPECT_EQ(recorder.SessionsCreated(), static_cast<int>(attaches.size()));
    EXPECT_EQ(recorder.SessionsDestroyed(), static_cast<int>(attaches.size()));
    EXPECT_TRUE(s.contains("lines") ? tztest::LinesAre(outcome.lines, s["lines"])
                                    : LinesEndWith(outcome.lines, s["linesEnd"]));
    EXPECT_EQ(tztest::EventLines(outcome.events), s.value("events", Texts()));
    if (outcome.ok) {  // the form without the server's name answers the same
      Uvo::DAGDBResp resp;
      EXPECT_TRUE(DiscoverExDatabase(1, client, app, resp, job));
      EXPECT_EQ(tztest::DbRows(resp), tztest::DbRows(outcome.resp));
    }
  }
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
  EXPECT_EQ(tztest::DbRows(outcome.resp), tztest::DbRows(tztest::DbRespFromXml(kStaleAnswer)));
  EXPECT_TRUE(LinesEndWith(outcome.lines, {"[ReceiveRespsonse]: Received failed from PshimProxy. "
                                           "Error:[-11: cancelled after 0 bytes of output; killed]",
                                           "[DiscoverDag]: Failed to receive response"}));
  ASSERT_GT(tool, 0);
  EXPECT_TRUE(tztest::GroupEnds(tool));
  EXPECT_FALSE(tztest::HasChildProcess());
}

}  // namespace
