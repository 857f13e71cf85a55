// `tzdag discover-dags` on the demo store. The agent flags were checked by hand
// against demo/fixture.json: the tool on proxy01 says every member carries the
// agent; the store knows MBX03 without package 151 and MBX11 as no client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_env.h"
#include "tzdag_runner.h"

namespace {

using nlohmann::json;

class DiscoverDagsToolTest : public ::testing::Test {
 protected:
  tztest::ToolRun Tzdag(std::vector<std::string> arguments) {
    return tztest::RunTzdagIn(env_, arguments);
  }
  tztest::TestEnv env_{tztest::DemoFixture()};
};

json Member(const char* name, int installed) {
  return {{"serverName", name}, {"uvoInstalled", installed}};
}

TEST_F(DiscoverDagsToolTest, ProxyListsEveryDagWithAgentFlagsFromTheStore) {
  tztest::ToolRun run = Tzdag({"--json", "discover-dags", "--proxy", "PROXY01"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  json expected = {
      {"ok", true},
      {"dags",
       {{{"dagName", "DAG01"},
         {"memberServers",
          {Member("MBX01", 1), Member("MBX02", 1), Member("MBX03", 0), Member("MBX04", 1)}}},
        {{"dagName", "DAG02"}, {"memberServers", {Member("MBX11", 0), Member("MBX12", 1)}}}}}};
  EXPECT_EQ(json::parse(run.out), expected);

  run = Tzdag({"discover-dags", "--proxy", "PROXY01"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "DAG    MEMBER SERVER  AGENT INSTALLED\n"
            "-----  -------------  ---------------\n"
            "DAG01  MBX01          yes\n"
            "DAG01  MBX02          yes\n"
            "DAG01  MBX03          no\n"
            "DAG01  MBX04          yes\n"
            "DAG02  MBX11          no\n"
            "DAG02  MBX12          yes\n");
}

TEST_F(DiscoverDagsToolTest, DagOptionListsTheMemberServersOfThatDag) {
  tztest::ToolRun run = Tzdag({"--json", "discover-dags", "--ad", "dc01", "--user", "backupadmin",
                               "--password", "ENC", "--dag", "DAG02", "--proxy", "PROXY01"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(json::parse(run.out),
            json({{"ok", true}, {"memberServers", {Member("MBX11", 0), Member("MBX12", 1)}}}));
}

TEST_F(DiscoverDagsToolTest, FailureExitsOneWithTheLinesThatExplainIt) {
  // MBX01 is a client, but its host is not reachable in the demo.
  tztest::ToolRun run = Tzdag({"--json", "discover-dags", "--proxy", "MBX01"});
  EXPECT_EQ(run.exitCode, 1);
  json answer = json::parse(run.out);
  EXPECT_EQ(answer["ok"], false);
  ASSERT_EQ(answer["log"].size(), 2u);
  EXPECT_EQ(answer["log"][0].get<std::string>().rfind(
                "[LaunchPshimForDagNodeDiscover]: Launch PshimProxy [From mbx01.corp.example "
                "failed. Error:[-1: ",
                0),
            0u);
  EXPECT_EQ(answer["log"][1],
            "[DiscoverDagWithProxy]: Failed to launch PshimProxy on server MBX01, trying another "
            "one.");

  run = Tzdag({"discover-dags", "--dag", "NODAG", "--proxy", "PROXY01"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("[ReceiveNodeDiscoverRespsonse]: PshimProxy returned error: "),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("[DiscoverDagWithProxy]: Failed to receive response"), std::string::npos)
      << run.err;
}

TEST_F(DiscoverDagsToolTest, WithoutAProxyTheDirectoryFindsNothing) {
  tztest::ToolRun run = Tzdag({"--json", "discover-dags", "--ad", "dc01"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(json::parse(run.out), json({{"ok", true}, {"dags", json::array()}}));

  run = Tzdag({"discover-dags", "--dag", "DAG01"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "MEMBER SERVER  AGENT INSTALLED\n"
            "-------------  ---------------\n"
            "No member server found.\n");
  // Direct discovery ran, with the options not given as empty text.
  EXPECT_NE(tztest::ReadFile(env_.dir() + "/tool-log.txt")
                .find("[DiscoverDagWithNewMembers]: Discover Dag. adServerName=; userName=; "
                      "encryptedPassword=; dagName=DAG01"),
            std::string::npos);
}

}  // namespace
