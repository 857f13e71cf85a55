// DiagnoseDagClient's probes: the command line they start the tool with, how
// many run at once, and a platform exception thrown on one of their threads.
// What the checks find is tested through the tool, in tool_doctor_test.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "process_census.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/faults.h"
#include "tzplatform/session.h"

namespace {

using nlohmann::json;

// A tool that records how many of its kind run at once (in the host folders'
// parent), then answers as the simulator. Every run waits, up to ten seconds,
// for `wanted` runs to have started, so that all that may run at once do.
std::string CountingTool(int wanted) {
  return "#!/bin/bash\n"
         "root=$(dirname \"$(dirname \"$0\")\")\n"
         "lock() { until mkdir \"$root/lock\" 2>/dev/null; do sleep 0.01; done; }\n"
         "unlock() { rmdir \"$root/lock\"; }\n"
         "lock\n"
         "running=$(( $(cat \"$root/running\" 2>/dev/null || echo 0) + 1 ))\n"
         "started=$(( $(cat \"$root/started\" 2>/dev/null || echo 0) + 1 ))\n"
         "echo $running >\"$root/running\"; echo $started >\"$root/started\"\n"
         "if [ $running -gt $(cat \"$root/most\" 2>/dev/null || echo 0) ]; then\n"
         "  echo $running >\"$root/most\"; fi\n"
         "unlock\n"
         "for i in $(seq 1000); do\n"
         "  [ $(cat \"$root/started\") -ge " +
         std::to_string(wanted) +
         " ] && break; sleep 0.01; done\n"
         "sleep 0.1\n"
         "lock; echo $(( $(cat \"$root/running\") - 1 )) >\"$root/running\"; unlock\n"
         "exec -a \"$0\" \"" +
         tztest::SimulatorPath() + "\" \"$@\"\n";
}

// DAG01 (client 2) with six selected member servers that carry the agent,
// each on a host of its own, and one database; a default subclient.
json SixServerFixture() {
  json f = json::parse(R"({
    "store": {
      "clients": [{"id": 2, "name": "DAG01", "memberServers": []}],
      "subclients": [{"orbalId": 1, "appId": 10, "clientId": 2, "appType": 53, "backupSet": 7,
                      "name": "default", "default": true, "automatic": true}]},
    "remote": {
      "hosts": [],
      "dags": [{"name": "DAG01", "members": [], "databases": [
        {"name": "First\\DB01", "copies": [{"server": "MBX01", "active": true}]}]}]}
  })");
  for (int i = 1; i <= 6; ++i) {
    const std::string name = "MBX0" + std::to_string(i);
    const std::string host = "mbx0" + std::to_string(i) + ".test";
    f["store"]["clients"][0]["memberServers"].push_back(
        {{"name", name}, {"selected", true}, {"agentInstalled", true}});
    f["store"]["clients"].push_back(
        {{"id", 10 + i}, {"name", name}, {"host", host}, {"packages", {151}}});
    f["remote"]["dags"][0]["members"].push_back({{"name", name}});
    f["remote"]["hosts"].push_back(host);
  }
  return f;
}

TEST(Doctor, RunsAtMostTheGivenNumberOfProbesAtOnce) {
  for (unsigned atOnce : {1u, 3u, 6u}) {
    SCOPED_TRACE(atOnce);
    tztest::TestEnv env(SixServerFixture());
    for (int i = 1; i <= 6; ++i) {
      env.InstallTool("mbx0" + std::to_string(i) + ".test", CountingTool(static_cast<int>(atOnce)));
    }
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
// starts it there.
TEST(Doctor, ProbesWithDiscoverysCommandLine) {
  tztest::TestEnv env(tztest::DemoFixture());
  std::vector<tzplatform::AttachRequest> discovery;
  {
    tzplatform::SessionRecorder recorder;
    Uvo::DAGDBResp resp;
    ASSERT_TRUE(DiscoverExDatabase(1, 2, 0, resp, 0));
    discovery = recorder.Attaches();
  }
  tzplatform::SessionRecorder recorder;
  _tagDoctorReport report;
  EXPECT_TRUE(DiagnoseDagClient(1, 2, report));
  // MBX01 (no host folder) and MBX02 alike; then MBX02 again with the
  // preferences of `default` and `sales`.
  std::vector<tzplatform::AttachRequest> probes = recorder.Attaches();
  ASSERT_GE(probes.size(), discovery.size());
  ASSERT_EQ(discovery.size(), 2u);
  for (const tzplatform::AttachRequest& want : discovery) {
    bool seen = false;
    for (const tzplatform::AttachRequest& got : probes) {
      seen = seen || (got.host == want.host && got.arguments == want.arguments &&
                      got.executable == want.executable);
    }
    EXPECT_TRUE(seen) << want.host << " " << want.arguments;
  }
  std::vector<std::string> extra;
  for (size_t i = discovery.size(); i < probes.size(); ++i) extra.push_back(probes[i].arguments);
  EXPECT_THAT(extra, ::testing::UnorderedElementsAre("-dag 0 -ua -cid 2 -hn MBX02",
                                                     "-dag 0 -ua -la -cid 2 -hn MBX02"));
}

// A platform exception on a probe's thread reaches the caller once every
// probe has ended, with no tool left running.
TEST(Doctor, PassesOnAPlatformExceptionFromAProbeThread) {
  tztest::TestEnv env(SixServerFixture());
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
