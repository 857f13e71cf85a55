// The update-subclient and unprotected commands of the tzdag tool, run as a
// user would run them against the demo store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "store_support.h"
#include "test_env.h"
#include "tzdag_runner.h"
#include "tzplatform/store.h"

namespace {

using nlohmann::json;
using tztest::DemoFixture;
using tztest::RunTzdagIn;

// What updating "sales" (11) from the demo DAG changes: Old\DB09 is gone,
// Second\DB02 and Archive\DB05 are new, First\DB01 moves to the active copy's
// server, and Second\DB03 has circular logging.
json SalesChanges(bool marked) {
  return {{"removed", {"Old\\DB09"}},
          {"added", {"Second\\DB02", "Archive\\DB05"}},
          {"reassociated",
           {{{"database", "First\\DB01"}, {"from", "MBX03"}, {"to", "MBX01"}},
            {{"database", "Second\\DB02"}, {"from", nullptr}, {"to", "MBX02"}},
            {{"database", "Second\\DB03"}, {"from", nullptr}, {"to", "MBX03"}},
            {{"database", "Archive\\DB05"}, {"from", nullptr}, {"to", "MBX01"}}}},
          {"marked", marked ? json{"Second\\DB03"} : json::array()}};
}

TEST(ToolSubclientTest, DryRunShowsTheChangesAndLeavesTheStoreAsItWas) {
  tztest::TestEnv env(DemoFixture());
  const std::string scratch = env.dir() + "/tmp";
  std::filesystem::create_directories(scratch);
  setenv("TMPDIR", scratch.c_str(), 1);
  const std::string before = tzplatform::DumpStore(env.storePath());

  for (bool forceFull : {false, true}) {
    SCOPED_TRACE(forceFull ? "--force-full" : "no --force-full");
    std::vector<std::string> args = {
        "--json", "update-subclient", "--orbal", "1", "--client", "2", "--app", "11", "--dry-run"};
    if (forceFull) args.push_back("--force-full");
    tztest::ToolRun run = RunTzdagIn(env, args);

    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(json::parse(run.out),
              (json{{"ok", true}, {"result", -3}, {"changes", SalesChanges(forceFull)}}));
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
    // The copy the dry run worked on is gone.
    EXPECT_TRUE(std::filesystem::is_empty(scratch));
  }
  unsetenv("TMPDIR");
}

TEST(ToolSubclientTest, UpdateStoresTheChangesAndASecondRunFindsNone) {
  tztest::TestEnv env(DemoFixture());

  tztest::ToolRun first = RunTzdagIn(env, {"--json", "update-subclient", "--orbal", "1", "--client",
                                           "2", "--app", "11", "--force-full"});
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(json::parse(first.out),
            (json{{"ok", true}, {"result", -3}, {"changes", SalesChanges(true)}}));
  const std::vector<std::string> stored = {"content First|DB01",
                                           "content Second|DB03 full",
                                           "content Second|DB02",
                                           "content Archive|DB05",
                                           "association First\\DB010x12 MBX01",
                                           "association Second\\DB020x12 MBX02",
                                           "association Second\\DB030x12 MBX03",
                                           "association Archive\\DB050x12 MBX01"};
  EXPECT_EQ(tztest::SubclientContent(11), stored);

  // Second\DB03 is already marked: nothing changes and circular logging no
  // longer makes the result -3.
  tztest::ToolRun second = RunTzdagIn(env, {"--json", "update-subclient", "--orbal", "1",
                                            "--client", "2", "--app", "11", "--force-full"});
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(json::parse(second.out), (json{{"ok", true},
                                           {"result", 0},
                                           {"changes",
                                            {{"removed", json::array()},
                                             {"added", json::array()},
                                             {"reassociated", json::array()},
                                             {"marked", json::array()}}}}));
  EXPECT_EQ(tztest::SubclientContent(11), stored);
}

TEST(ToolSubclientTest, UpdatePrintsATableOfChanges) {
  tztest::TestEnv env(DemoFixture());
  tztest::ToolRun run =
      RunTzdagIn(env, {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "Subclient 11, databases discovered on MBX02\n"
            "CHANGE        DATABASE      FROM    TO\n"
            "------------  ------------  ------  -----\n"
            "removed       Old\\DB09\n"
            "added         Second\\DB02\n"
            "added         Archive\\DB05\n"
            "reassociated  First\\DB01    MBX03   MBX01\n"
            "reassociated  Second\\DB02   (none)  MBX02\n"
            "reassociated  Second\\DB03   (none)  MBX03\n"
            "reassociated  Archive\\DB05  (none)  MBX01\n"
            "Result: -3 (updated, circular logging found)\n");
}

TEST(ToolSubclientTest, UpdateFailuresExitWithTheLibrarysLines) {
  tztest::TestEnv env(DemoFixture());
  struct Case {
    const char* client;
    const char* app;
    int exitCode;
    std::string err;  // a line standard error must hold
    bool storeUnchanged;
  };
  // clang-format off
  const Case cases[] = {
      {"2", "99", 1, "  [UpdateSubclient]: getApplicationId() failed with error 'application 99 of "
                     "installation 1 is not in the configuration store'.\n", true},
      // The failed discovery raises its critical event, which the store records.
      {"7", "99", 1, "  [DiscoverDag]: Did not find an exchange server with UVO installed\n",
       false},
      {"7", "12", 2, "tzdag: application 12 is not a subclient of client 7\n", true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.client) + " " + c.app);
    const std::string before = tzplatform::DumpStore(env.storePath());
    tztest::ToolRun run =
        RunTzdagIn(env, {"update-subclient", "--orbal", "1", "--client", c.client, "--app", c.app});
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    if (c.storeUnchanged) {
      EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
    }
  }
}

TEST(ToolSubclientTest, UnprotectedListsTheDatabasesNoSubclientNames) {
  // In the demo every discovered database is content of some subclient
  // (Second\DB02 of the retired one); without the retired subclient it is
  // unprotected.
  json withoutRetired = DemoFixture();
  json& subclients = withoutRetired["store"]["subclients"];
  subclients.erase(subclients.size() - 1);
  struct Case {
    const char* what;
    json fixture;
    json databases;
    std::string table;
  };
  const Case cases[] = {
      {"demo", DemoFixture(), json::array(),
       "Every database of client 2 is protected by a subclient.\n"},
      {"demo without the retired subclient",
       withoutRetired,
       {{{"dbName", "Second\\DB02"},
         {"backupServer", "MBX02"},
         {"copyServers", {"MBX02", "MBX01"}},
         {"circularLogging", 0}}},
       "DATABASE     BACKUP SERVER  COPY SERVERS  CIRCULAR LOGGING\n"
       "-----------  -------------  ------------  ----------------\n"
       "Second\\DB02  MBX02          MBX02, MBX01  no\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tztest::TestEnv env(c.fixture);
    tztest::ToolRun json_run =
        RunTzdagIn(env, {"--json", "unprotected", "--orbal", "1", "--client", "2"});
    EXPECT_EQ(json_run.exitCode, 0) << json_run.err;
    EXPECT_EQ(json::parse(json_run.out), (json{{"ok", true}, {"databases", c.databases}}));
    tztest::ToolRun table = RunTzdagIn(env, {"unprotected", "--orbal", "1", "--client", "2"});
    EXPECT_EQ(table.exitCode, 0) << table.err;
    EXPECT_EQ(table.out, c.table);
  }
}

TEST(ToolSubclientTest, UnprotectedFailureExitsWithTheLibrarysLines) {
  tztest::TestEnv env(DemoFixture());
  // PROXY01 is no DAG client: no member server to run discovery on.
  tztest::ToolRun run = RunTzdagIn(env, {"--json", "unprotected", "--orbal", "1", "--client", "7"});
  EXPECT_EQ(run.exitCode, 1);
  json answer = json::parse(run.out);
  EXPECT_EQ(answer["ok"], false);
  const std::string line =
      "DiscoverUnassociatedExDatabase: Failed to discover unassociated DBs (filtered by client)";
  const std::string event =
      "critical event 0x48000097: \" Did not find an exchange server with UVO installed, No "
      "Exchange Server available \"";
  EXPECT_EQ(answer["log"].back(), line);
  EXPECT_EQ(answer["events"], json::array({event}));
  EXPECT_NE(run.err.find("tzdag: the unprotected databases of client 7 could not be found\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("  " + line + "\n  " + event + "\n"), std::string::npos) << run.err;
}

}  // namespace
