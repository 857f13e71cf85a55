// DiagnoseDagClient's probes: the command line they start the tool with, how
// many run at once, and a platform exception thrown on one of their threads.
// What the checks find is tested through the tool, in tool_doctor_test.
#include <gmock/gmock.h>

#include "process_census.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/faults.h"
#include "tzplatform/session.h"

namespace {

// A tool (tests/data/counting_tool.sh) that counts in the remote root how many of its kind have
// started and how many run at once at most, waits (up to ten seconds) for `wanted` to have started,
// so that all that may run at once do, and then answers as the simulator.
std::string CountingTool(unsigned wanted) {
  std::string script = tztest::ReadFile(std::string(TZ_TEST_DATA_DIR) + "/counting_tool.sh");
  script.replace(script.find("@WANTED@"), 8, std::to_string(wanted));
  return script.replace(script.find("@SIMULATOR@"), 11, tztest::SimulatorPath());
}

TEST(Doctor, RunsAtMostTheGivenNumberOfProbesAtOnce) {
  for (unsigned atOnce : {1u, 3u, 6u}) {
    SCOPED_TRACE(atOnce);
    tztest::TestEnv env(tztest::TestData("doctor.json", "fixture"));  // six member servers
    for (int i = 1; i <= 6; ++i)
      env.InstallTool("mbx0" + std::to_string(i) + ".test", CountingTool(atOnce));
    _tagDoctorReport report;
    EXPECT_TRUE(DiagnoseDagClient(1, 2, report, atOnce));
    ASSERT_EQ(report.probes.size(), 6u);
    for (const _tagDoctorProbe& probe : report.probes) {
      EXPECT_TRUE(probe.reachable) << probe.server << ": " << probe.error;
      EXPECT_GE(probe.milliseconds, 100) << probe.server;  // the tool sleeps 0.1 s at least
    }
    EXPECT_EQ(report.answerServer, "MBX01");
    EXPECT_EQ(tztest::ReadFile(env.remoteRoot() + "/most"), std::to_string(atOnce) + "\n");
    EXPECT_FALSE(tztest::HasChildProcess());
  }
}

// Each probe starts the tool exactly as database discovery for the client
// starts it there; then the answering server again with the preferences of
// each automatic subclient.
TEST(Doctor, ProbesWithDiscoverysCommandLine) {
  tztest::TestEnv env(tztest::DemoFixture());
  std::vector<std::string> discovery, probes;
  {
    tzplatform::SessionRecorder recorder;
    Uvo::DAGDBResp resp;
    ASSERT_TRUE(DiscoverExDatabase(1, 2, 0, resp, 0));
    for (const auto& a : recorder.Attaches())
      discovery.push_back(a.executable + "@" + a.host + " " + a.arguments);
  }
  tzplatform::SessionRecorder recorder;
  _tagDoctorReport report;
  EXPECT_TRUE(DiagnoseDagClient(1, 2, report));
  for (const auto& a : recorder.Attaches())
    probes.push_back(a.executable + "@" + a.host + " " + a.arguments);
  // MBX01 (no host folder) and MBX02 alike, `default` and `sales` on MBX02.
  ASSERT_EQ(discovery.size(), 2u);
  discovery.push_back("PshimProxy.exe@mbx02.corp.example -dag 0 -ua -cid 2 -hn MBX02");
  discovery.push_back("PshimProxy.exe@mbx02.corp.example -dag 0 -ua -la -cid 2 -hn MBX02");
  EXPECT_THAT(probes, ::testing::UnorderedElementsAreArray(discovery));
}

// A platform exception on a probe's thread reaches the caller once every
// probe has ended, with no tool left running.
TEST(Doctor, PassesOnAPlatformExceptionFromAProbeThread) {
  tztest::TestEnv env(tztest::TestData("doctor.json", "fixture"));  // six member servers
  tzplatform::FaultInjector faults;
  // The store check looks MBX04 up twice (as a client, and for its
  // packages); the third look-up is its probe's.
  faults.Throw("TZClient::getClientId", "MBX04", -1, 2);
  _tagDoctorReport report;
  EXPECT_THROW(DiagnoseDagClient(1, 2, report, 3), tzplatform::InjectedFault);
  EXPECT_EQ(faults.Fired("TZClient::getClientId", "MBX04"), 1);
  EXPECT_FALSE(tztest::HasChildProcess());
}

}  // namespace
