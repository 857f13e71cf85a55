// `tzdag discover-dbs` and `tzdag discover-dags` on the demo store, answers
// checked by hand against demo/fixture.json. For DAG discovery the tool on
// proxy01 says every member carries the agent; the store knows MBX03 without
// package 151 and MBX11 as no client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_env.h"
#include "tzdag_runner.h"

namespace {

using nlohmann::json;

class DemoToolTest : public ::testing::Test {
 protected:
  tztest::ToolRun Tzdag(std::vector<std::string> arguments) {
    return tztest::RunTzdagIn(env_, arguments);
  }
  // The same with `arguments` split at blanks.
  tztest::ToolRun TzdagLine(const std::string& arguments) {
    std::vector<std::string> args;
    for (size_t at = 0; at < arguments.size();) {
      size_t end = arguments.find(' ', at);
      if (end == std::string::npos) end = arguments.size();
      args.push_back(arguments.substr(at, end - at));
      at = end + 1;
    }
    return Tzdag(args);
  }
  tztest::TestEnv env_{tztest::DemoFixture()};
};
using DiscoverDbsToolTest = DemoToolTest;
using DiscoverDagsToolTest = DemoToolTest;

nlohmann::json Db(const char* name, const char* backup, std::vector<std::string> copies,
                  int circularLogging) {
  return {{"dbName", name},
          {"backupServer", backup},
          {"copyServers", copies},
          {"circularLogging", circularLogging}};
}

// DAG01 (client 2) selects MBX01, MBX02, MBX03; MBX01 and MBX02 carry the
// agent, and MBX01 has no host folder, so every request falls through to
// MBX02. Public\DB06 lives only on the unselected MBX04 and never shows.
TEST_F(DiscoverDbsToolTest, JsonAnswersMatchTheDemoFixture) {
  struct Case {
    const char* arguments;
    nlohmann::json databases;
  };
  const Case cases[] = {
      // No subclient: -dag 1 -ua, the active copy's server backs up.
      {"--orbal 1 --client 2",
       nlohmann::json::array({Db("First\\DB01", "MBX01", {"MBX01", "MBX02", "MBX03"}, 0),
                              Db("Second\\DB02", "MBX02", {"MBX02", "MBX01"}, 0),
                              Db("Second\\DB03", "MBX03", {"MBX03", "MBX02"}, 1),
                              Db("Archive\\DB05", "MBX01", {"MBX01", "MBX03"}, 0)})},
      // sales (11): -dag 0 -ua -la: last healthy passive copy; DB03's only
      // passive copy is unhealthy, so its active MBX03.
      {"--orbal 1 --client 2 --app 11",
       nlohmann::json::array({Db("First\\DB01", "MBX03", {"MBX01", "MBX02", "MBX03"}, 0),
                              Db("Second\\DB03", "MBX03", {"MBX03", "MBX02"}, 1)})},
      // default (10): -dag 0 -ua; what neither sales nor archive names
      // (retired is deleted, so its Second\DB02 is the default's).
      {"--orbal 1 --client 2 --app 10 --job 42",
       nlohmann::json::array({Db("Second\\DB02", "MBX01", {"MBX02", "MBX01"}, 0)})},
  };
  for (const Case& c : cases) {
    tztest::ToolRun run = TzdagLine(std::string("--json discover-dbs ") + c.arguments);
    ASSERT_EQ(run.exitCode, 0) << c.arguments << "\n" << run.out << run.err;
    nlohmann::json answer = nlohmann::json::parse(run.out);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["server"], "MBX02");
    EXPECT_EQ(answer["databases"], c.databases) << c.arguments << "\n" << answer.dump(2);
  }
}

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
