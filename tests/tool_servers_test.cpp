// The tzdag tool end to end: init from a fixture, servers.
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "store_support.h"
#include "temp_dir.h"
#include "tzdag_runner.h"
#include "tzplatform/store.h"

namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using tztest::RunTzdag;

constexpr char kFixture[] = R"({
  "store": {
    "clients": [
      {"id": 2, "name": "DAG01", "host": "dag01.corp.example",
       "memberServers": [
         {"name": "MBX01", "selected": true, "agentInstalled": true},
         {"name": "MBX02", "selected": true, "agentInstalled": false},
         {"name": "MBX03", "selected": true, "agentInstalled": true},
         {"name": "MBX04", "selected": false, "agentInstalled": true}]},
      {"id": 3, "name": "LONELY", "memberServers": [{"name": "MBX09", "agentInstalled": true}]}
    ]
  }
})";

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tztest::WriteFile(dir_.File("fixture.json"), kFixture);
    tztest::ToolRun init =
        RunTzdag({"--json", "init", dir_.File("setup"), "--fixture", dir_.File("fixture.json")});
    ASSERT_EQ(init.exitCode, 0) << init.err;
    json answer = json::parse(init.out);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["store"], store_);
    EXPECT_TRUE(answer["remote"].is_null());
    EXPECT_EQ(answer["environment"]["TZ_CONFIG_STORE"], store_);
  }

  tztest::ToolRun Servers(std::vector<std::string> args) {
    std::vector<std::string> all = {"--store", store_, "--log", dir_.File("log.txt")};
    all.insert(all.end(), args.begin(), args.end());
    return RunTzdag(all);
  }

  tztest::TempDir dir_;
  std::string store_ = dir_.File("setup/store.db");
};

TEST_F(ToolTest, ServersAsJsonAndAsATable) {
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    const char* json;
  };
  const Case cases[] = {
      {{"--json", "servers", "--client", "2"}, 0, R"({"ok": true, "servers": ["MBX01", "MBX03"]})"},
      {{"--json", "servers", "--client", "2", "--selected"},
       0,
       R"({"ok": true, "servers": ["MBX01", "MBX02", "MBX03"]})"},
      {{"--json", "servers", "--client", "3"},
       1,
       R"({"ok": false, "servers": [], "error": "No member server of client 3 is selected and has the database agent installed."})"},
      {{"--json", "servers", "--client", "3", "--selected"},
       1,
       R"({"ok": false, "servers": [], "error": "No member server of client 3 is selected."})"},
      {{"--json", "servers", "--client", "77"},
       1,
       R"({"ok": false, "servers": [], "error": "No member server of client 77 is selected and has the database agent installed."})"},
      // Global options may also follow the command.
      {{"servers", "--client", "2", "--json"}, 0, R"({"ok": true, "servers": ["MBX01", "MBX03"]})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    tztest::ToolRun run = Servers(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_EQ(json::parse(run.out), json::parse(c.json));
    EXPECT_EQ(run.err, "");
  }

  tztest::ToolRun table = Servers({"servers", "--client", "2"});
  EXPECT_EQ(table.exitCode, 0);
  EXPECT_EQ(table.out, "SERVER\n------\nMBX01\nMBX03\n");
  // The library's log went to the log file.
  EXPECT_NE(tztest::ReadFile(dir_.File("log.txt"))
                .find("[GetRemoteServer]: Found exchange server: MBX03 with Uvo installed."),
            std::string::npos);

  // The store may also come from the environment.
  tztest::ToolRun fromEnvironment =
      RunTzdag({"--json", "--log", dir_.File("log.txt"), "servers", "--client", "2"}, "",
               {{"TZ_CONFIG_STORE", store_}});
  EXPECT_EQ(fromEnvironment.exitCode, 0);
  EXPECT_EQ(json::parse(fromEnvironment.out)["servers"], json({"MBX01", "MBX03"}));
}

TEST_F(ToolTest, SetUpProblemsAreOneLineAndExitTwo) {
  const std::string before = tzplatform::DumpStore(store_);
  tztest::WriteFile(dir_.File("bad.json"),
                    R"({"store": {"clients": [{"id": 2, "name": "A"}, {"id": 2, "name": "B"}]}})");
  tztest::WriteFile(dir_.File("broken.json"), "{\"store\": {\n\"clients\": [}\n");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"init", dir_.File("fresh"), "--fixture", dir_.File("bad.json")},
       "tzdag: " + dir_.File("bad.json") + ": store.clients[1].id: duplicate id 2\n"},
      {{"init", dir_.File("fresh"), "--fixture", dir_.File("missing.json")},
       "tzdag: cannot read fixture " + dir_.File("missing.json") + ": No such file or directory\n"},
      {{"init", dir_.File("setup"), "--fixture", dir_.File("fixture.json")},
       "tzdag: " + store_ + " already exists\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    tztest::ToolRun run = RunTzdag(c.args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
  }
  // Broken JSON is named by line and column.
  tztest::ToolRun broken =
      RunTzdag({"init", dir_.File("fresh"), "--fixture", dir_.File("broken.json")});
  EXPECT_EQ(broken.exitCode, 2);
  EXPECT_EQ(
      broken.err.rfind(
          "tzdag: " + dir_.File("broken.json") + ": not valid JSON at line 2, column 13: ", 0),
      0u)
      << broken.err;
  // No half-made store anywhere; the existing one is as it was.
  EXPECT_FALSE(std::filesystem::exists(dir_.File("fresh")));
  EXPECT_THAT(tztest::FilesIn(dir_.File("setup"), false), ElementsAre("store.db"));
  EXPECT_EQ(tzplatform::DumpStore(store_), before);

  tztest::ToolRun usage = RunTzdag({"servers"});
  EXPECT_EQ(usage.exitCode, 2);
}

TEST(Tool, InitWithARemoteSection) {
  tztest::TempDir dir;
  tztest::WriteFile(dir.File("sim"), "#!/bin/sh\nexit 0\n", 0755);
  tztest::WriteFile(dir.File("fixture.json"), R"({
    "store": {"clients": [{"id": 2, "name": "DAG01"}]},
    "remote": {"hosts": ["mbx01.corp.example"], "dags": []}})");
  tztest::ToolRun run = RunTzdag({"init", dir.File("setup"), "--fixture", dir.File("fixture.json")},
                                 "", {{"TZ_PSHIM_SIM", dir.File("sim")}});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(tztest::ReadFile(dir.File("setup/remote/mbx01.corp.example/PshimProxy.exe")),
            "#!/bin/sh\nexit 0\n");
  EXPECT_NE(run.out.find("export TZ_CONFIG_STORE=" + dir.File("setup/store.db") + "\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("export TZ_REMOTE_ROOT=" + dir.File("setup/remote") + "\n"),
            std::string::npos)
      << run.out;
}

}  // namespace
