// `tzdag discover-dbs` on the demo store, answers checked by hand against
// demo/fixture.json.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "temp_dir.h"
#include "test_env.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
};

ToolRun RunCommand(const std::string& command) {
  ToolRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) run.out.append(buffer, n);
  int raw = pclose(pipe);
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return run;
}

class DiscoverDbsToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tztest::TzdagPath().empty());
    ToolRun init = RunCommand(tztest::TzdagPath() + " --log " + dir_.File("init.log") + " init " +
                              dir_.File("demo") + " >/dev/null");
    ASSERT_EQ(init.status, 0);
  }

  // Runs tzdag on the demo store; standard error goes to err.txt.
  ToolRun Tzdag(const std::string& arguments) {
    std::string demo = dir_.File("demo");
    return RunCommand(tztest::TzdagPath() + " --store " + demo + "/store.db --remote-root " + demo +
                      "/remote --log " + dir_.File("log.txt") + " " + arguments + " 2>" +
                      dir_.File("err.txt"));
  }
  std::string Err() const { return tztest::ReadFile(dir_.File("err.txt")); }

  tztest::TempDir dir_;
};

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
    ToolRun run = Tzdag(std::string("--json discover-dbs ") + c.arguments);
    ASSERT_EQ(run.status, 0) << c.arguments << "\n" << run.out << Err();
    nlohmann::json answer = nlohmann::json::parse(run.out);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["server"], "MBX02");
    EXPECT_EQ(answer["databases"], c.databases) << c.arguments << "\n" << answer.dump(2);
  }
}

TEST_F(DiscoverDbsToolTest, TableNamesTheServerUsed) {
  ToolRun run = Tzdag("discover-dbs --orbal 1 --client 2 --app 11");
  ASSERT_EQ(run.status, 0) << Err();
  EXPECT_EQ(run.out.rfind("Discovered on member server MBX02\n", 0), 0u) << run.out;
  EXPECT_NE(run.out.find("DATABASE"), std::string::npos) << run.out;
  // One row per database: name, backup server, copy servers, circular logging.
  size_t row = run.out.find("Second\\DB03 ");
  ASSERT_NE(row, std::string::npos) << run.out;
  std::string line = run.out.substr(row, run.out.find('\n', row) - row);
  EXPECT_NE(line.find(" MBX03 "), std::string::npos) << line;
  EXPECT_NE(line.find(" MBX03, MBX02 "), std::string::npos) << line;
  EXPECT_EQ(line.substr(line.size() - 4), " yes") << line;
}

TEST_F(DiscoverDbsToolTest, FailureExitsOneAndShowsTheLogLines) {
  ToolRun json = Tzdag("--json discover-dbs --orbal 1 --client 3");
  EXPECT_EQ(json.status, 1);
  nlohmann::json answer = nlohmann::json::parse(json.out);
  EXPECT_EQ(answer["ok"], false);
  EXPECT_EQ(answer["server"], "");
  EXPECT_FALSE(answer.contains("databases"));
  EXPECT_EQ(answer["log"],
            nlohmann::json({"[DiscoverDag]: Discover exchange database with orbalId: 1; "
                            "clientId: 3, appId: 0",
                            "[DiscoverDag]: Did not find an exchange server with UVO installed"}));
  EXPECT_EQ(answer["events"],
            nlohmann::json({"critical event 0x48000097: \" Did not find an exchange server with "
                            "UVO installed, No Exchange Server available \""}));

  ToolRun table = Tzdag("discover-dbs --orbal 1 --client 3");
  EXPECT_EQ(table.status, 1);
  EXPECT_EQ(table.out, "");
  EXPECT_NE(Err().find("  [DiscoverDag]: Did not find an exchange server with UVO installed\n"),
            std::string::npos)
      << Err();
}

TEST_F(DiscoverDbsToolTest, MissingOrBadIdsAreUsageErrors) {
  for (const char* arguments :
       {"discover-dbs --client 2", "discover-dbs --orbal 1", "discover-dbs --orbal 1 --client -2",
        "discover-dbs --orbal 1 --client 2 --job x"}) {
    EXPECT_EQ(Tzdag(arguments).status, 2) << arguments;
  }
}

}  // namespace
