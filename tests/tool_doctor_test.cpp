// `tzdag doctor` end to end, against a real store and the simulator: one
// fixture per kind of finding with the exact findings and exit status, the
// store byte for byte as it was afterwards, and the demo store's faults.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "pty_process.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag_runner.h"
#include "tzplatform/store.h"

namespace {

using nlohmann::json;

// DAG01 (client 2) with two selected member servers that carry the agent.
// First\DB01 is active on MBX01, Second\DB02 on MBX02, each with a healthy
// passive copy on the other. The default subclient (10) and `sales` (11,
// First\DB01) both prefer passive copies: every check passes.
json HealthyFixture() {
  return json::parse(R"({
    "store": {
      "clients": [
        {"id": 2, "name": "DAG01", "memberServers": [
           {"name": "MBX01", "selected": true, "agentInstalled": true},
           {"name": "MBX02", "selected": true, "agentInstalled": true}]},
        {"id": 3, "name": "MBX01", "host": "mbx01.test", "packages": [151]},
        {"id": 4, "name": "MBX02", "host": "mbx02.test", "packages": [151]},
        {"id": 5, "name": "MBX03", "host": "mbx03.test", "packages": [151]}],
      "subclients": [
        {"orbalId": 1, "appId": 10, "clientId": 2, "appType": 53, "backupSet": 7,
         "name": "default", "default": true, "automatic": true, "backupFromPassive": true},
        {"orbalId": 1, "appId": 11, "clientId": 2, "appType": 53, "backupSet": 7,
         "name": "sales", "automatic": true, "backupFromPassive": true,
         "content": [{"description": "First", "storeName": "DB01"}]}]},
    "remote": {
      "hosts": ["mbx01.test", "mbx02.test", "mbx03.test"],
      "dags": [{"name": "DAG01",
        "members": [{"name": "MBX01"}, {"name": "MBX02"}, {"name": "MBX03"}],
        "databases": [
          {"name": "First\\DB01", "copies": [{"server": "MBX01", "active": true}, {"server": "MBX02"}]},
          {"name": "Second\\DB02", "copies": [{"server": "MBX02", "active": true}, {"server": "MBX01"}]}]}]}
  })");
}

json& Entry(json& list, const char* key, const json& value) {
  for (json& entry : list) {
    if (entry[key] == value) return entry;
  }
  throw std::runtime_error("no entry " + value.dump());
}
json& MemberEntry(json& f, const char* name) {
  return Entry(f["store"]["clients"][0]["memberServers"], "name", name);
}
json& StoreClient(json& f, const char* name) {
  return Entry(f["store"]["clients"], "name", name);
}
json& Subclient(json& f, int appId) {
  return Entry(f["store"]["subclients"], "appId", appId);
}
json& Database(json& f, const char* name) {
  return Entry(f["remote"]["dags"][0]["databases"], "name", name);
}
// A third member server, MBX03, not selected.
void AddUnselectedMbx03(json& f) {
  f["store"]["clients"][0]["memberServers"].push_back(
      {{"name", "MBX03"}, {"selected", false}, {"agentInstalled", true}});
}

// Each non-ok finding as "<severity> <check> <object>: <text>", the remote
// root written as ROOT.
std::vector<std::string> Problems(const json& report, const std::string& root) {
  std::vector<std::string> problems;
  for (const json& f : report["findings"]) {
    if (f["severity"] == "ok") continue;
    std::string text = f["text"];
    for (size_t at = text.find(root); at != std::string::npos; at = text.find(root, at)) {
      text.replace(at, root.size(), "ROOT");
    }
    problems.push_back(f["severity"].get<std::string>() + " " + f["check"].get<std::string>() +
                       " " + f["object"].get<std::string>() + ": " + text);
  }
  return problems;
}

TEST(DoctorTool, FindsEachKindOfFaultAndLeavesTheStoreAsItWas) {
  struct Case {
    const char* name;
    std::function<void(json&)> change;
    int exitCode;
    std::vector<std::string> problems;
    const char* client = "2";
    // When not empty: the tool on every host, in place of the simulator.
    std::string tool = "";
  };
  // Fails when asked for passive copies; answers as the simulator otherwise.
  const std::string failsForPassiveCopies =
      "#!/bin/bash\n[ \"$1 $2\" = \"-dag 0\" ] && exit 3\n"
      "exec -a \"$0\" \"" +
      tztest::SimulatorPath() + "\" \"$@\"\n";
  const Case cases[] = {
      {"healthy", [](json&) {}, 0, {}},
      {"agent: backups are to run on a server without it",
       [](json& f) {
         MemberEntry(f, "MBX02")["agentInstalled"] = false;
         StoreClient(f, "MBX02")["packages"] = json::array();
       },
       1,
       {"fail agent MBX02: selected, but the database agent (package 151) is not installed "
        "there: 1 backup is to run there (First\\DB01 of subclient 11 (sales))"}},
      {"agent: selected without it, nothing backed up there",
       [](json& f) {
         f["store"]["clients"][0]["memberServers"].push_back(
             {{"name", "MBX09"}, {"selected", true}, {"agentInstalled", false}});
       },
       3,
       {"warn agent MBX09: selected, but the store knows no client MBX09, so no database "
        "agent is installed there"}},
      {"agent-entry",
       [](json& f) { MemberEntry(f, "MBX02")["agentInstalled"] = false; },
       3,
       {"warn agent-entry MBX02: package 151 is installed there, but the DAG client's entry "
        "says it has no database agent: discovery never runs there"}},
      {"reachability: a server discovery passes over",
       [](json& f) {
         f["remote"]["hosts"] = {"mbx01.test", "mbx03.test"};
       },
       3,
       {"warn reachability MBX02: the tool cannot be started there: -1: host unreachable: "
        "mbx02.test (no folder ROOT/mbx02.test)"}},
      {"discovery: the first server starts the tool and fails",
       [](json& f) {
         f["remote"]["failures"] = {{"mbx01.test", "exit"}};
       },
       1,
       {"warn reachability MBX01: the tool started but gave no answer: -4: exited with "
        "status 3 without output",
        "fail discovery MBX01: database discovery stops here: the tool starts but gives no "
        "answer, and no other member server is tried"}},
      {"discovery: no server qualifies",
       [](json& f) {
         for (json& m : f["store"]["clients"][0]["memberServers"]) m["agentInstalled"] = false;
         for (const char* c : {"MBX01", "MBX02"}) StoreClient(f, c)["packages"] = json::array();
       },
       1,
       {"warn agent MBX01: selected, but the database agent (package 151) is not installed "
        "there",
        "warn agent MBX02: selected, but the database agent (package 151) is not installed "
        "there",
        "fail discovery client 2: no selected member server carries the database agent: "
        "database discovery fails and raises critical event 0x48000097"}},
      {"dropped",
       [](json& f) {
         AddUnselectedMbx03(f);
         f["remote"]["dags"][0]["databases"].push_back(
             {{"name", "Public\\DB06"}, {"copies", {{{"server", "MBX03"}, {"active", true}}}}});
       },
       1,
       {"fail dropped Public\\DB06: no selected member server holds a copy (copies on MBX03): "
        "it is never backed up"}},
      {"copy-holders",
       [](json& f) {
         Database(f, "Second\\DB02")["copies"].push_back({{"server", "MBX03"}});
       },
       3,
       {"warn copy-holders MBX03: holds copies of 1 database (Second\\DB02) but is not a member "
        "server of client 2 in the store"}},
      {"circular-logging",
       [](json& f) { Database(f, "First\\DB01")["circularLogging"] = true; },
       3,
       {"warn circular-logging First\\DB01: circular logging is on: its logs are not kept, so "
        "every backup of it is a full one"}},
      {"unprotected: the default subclient is deleted",
       [](json& f) { Subclient(f, 10)["deleted"] = true; },
       1,
       {"fail unprotected Second\\DB02: no live subclient backs it up"}},
      {"stale-content",
       [](json& f) {
         Subclient(f, 11)["content"].push_back({{"description", "Old"}, {"storeName", "DB09"}});
       },
       3,
       {"warn stale-content Old\\DB09: named in the content of subclient 11 (sales), but the "
        "DAG has no such database"}},
      {"association of a manual subclient",
       [](json& f) {
         json& sales = Subclient(f, 11);
         sales["automatic"] = false;
         sales["associations"] = {{{"database", "First\\DB01"}, {"server", "MBX03"}}};
       },
       1,
       {"fail association First\\DB01: subclient 11 (sales) backs it up from MBX03, which holds "
        "no copy of it"}},
      {"backup-copy: no healthy passive copy, the active one is used",
       [](json& f) { Database(f, "First\\DB01")["copies"][1]["healthy"] = false; },
       3,
       {"warn backup-copy First\\DB01: subclient 11 (sales) prefers a passive copy, but no passive "
        "copy is healthy: backed up from the active copy on MBX01"}},
      {"backup-copy: the tool's passive pick is on an unselected server",
       [](json& f) {
         AddUnselectedMbx03(f);
         Database(f, "First\\DB01")["copies"] = {
             {{"server", "MBX01"}, {"active", true}}, {{"server", "MBX03"}}, {{"server", "MBX02"}}};
       },
       3,
       {"warn backup-copy First\\DB01: subclient 11 (sales) prefers a passive copy, but the one "
        "the tool picks is on MBX03 (not selected): backed up from the active copy on MBX01"}},
      {"backup-copy: no healthy passive copy and no fall-back",
       [](json& f) {
         Database(f, "First\\DB01")["copies"][1]["healthy"] = false;
         Subclient(f, 11)["useActiveIfNoPassive"] = false;
       },
       1,
       {"fail backup-copy First\\DB01: subclient 11 (sales) finds no healthy passive copy and "
        "does not fall back to the active copy: it is not backed up"}},
      {"backup-copy: the active copy is on an unselected server",
       [](json& f) {
         AddUnselectedMbx03(f);
         Database(f, "Second\\DB02")["copies"] = {{{"server", "MBX03"}, {"active", true}},
                                                  {{"server", "MBX02"}}};
         Subclient(f, 10)["backupFromPassive"] = false;
       },
       3,
       {"warn backup-copy Second\\DB02: subclient 10 (default) prefers the active copy, which is "
        "on MBX03 (not selected): backed up from MBX02"}},
      {"subclients: no default subclient, so discovery for sales fails",
       [](json& f) { f["store"]["subclients"].erase(0); },
       1,
       {"fail subclients subclient 11 (sales): database discovery for it fails: its databases "
        "cannot be told from its backup set's others (see the lines of "
        "FilterResponceForSubClient in the log)"}},
      {"backup-copy: the answering server fails with the subclients' preferences",
       [](json&) {},
       1,
       {"fail backup-copy subclient 10 (default): the tool on MBX01 gave no answer with its copy "
        "preferences: -4: exited with status 3 without output",
        "fail backup-copy subclient 11 (sales): the tool on MBX01 gave no answer with its copy "
        "preferences: -4: exited with status 3 without output"},
       "2",
       failsForPassiveCopies},
      {"client: not a DAG client",
       [](json&) {},
       1,
       {"fail client client 3: the configuration store holds no member server entry for it: it "
        "is not a DAG client, or its member servers were never added"},
       "3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json fixture = HealthyFixture();
    c.change(fixture);
    tztest::TestEnv env(fixture);
    if (!c.tool.empty()) {
      for (const json& host : fixture["remote"]["hosts"]) env.InstallTool(host, c.tool);
    }
    const std::string dumpBefore = tzplatform::DumpStore(env.storePath());
    const std::string bytesBefore = tztest::ReadFile(env.storePath());

    tztest::ToolRun run =
        tztest::RunTzdagIn(env, {"--json", "doctor", "--orbal", "1", "--client", c.client});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
    json answer = json::parse(run.out);
    ASSERT_EQ(answer["clients"].size(), 1u);
    EXPECT_EQ(Problems(answer["clients"][0], env.remoteRoot()), c.problems) << answer.dump(2);
    EXPECT_EQ(answer["ok"], c.exitCode != 1);
    EXPECT_EQ(answer.contains("error"), c.exitCode == 1);
    if (c.problems.empty()) {  // every check ran and says so
      std::vector<std::string> checks;
      for (const json& f : answer["clients"][0]["findings"]) checks.push_back(f["check"]);
      EXPECT_EQ(checks, std::vector<std::string>(
                            {"client", "agent", "agent-entry", "reachability", "discovery",
                             "dropped", "copy-holders", "circular-logging", "unprotected",
                             "stale-content", "association", "backup-copy", "subclients"}));
    }

    // Nothing written, no event raised (events go to the store).
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), dumpBefore);
    EXPECT_EQ(tztest::ReadFile(env.storePath()), bytesBefore);
  }
}

// The demo store shows every fault it was made with; the table for people.
TEST(DoctorTool, ShowsTheDemoStoresFaults) {
  tztest::TestEnv env(tztest::DemoFixture());
  tztest::ToolRun run = tztest::RunTzdagIn(env, {"doctor", "--orbal", "1", "--all"});
  EXPECT_EQ(run.exitCode, 1) << run.err;
  for (const char* line : {
           "DAG client 2 (DAG01), installation 1: 2 failures, 4 warnings\n",
           "Databases checked on the answer of MBX02 (5 databases)\n",
           "MBX03          yes       no             no           mbx03.corp.example\n",
           "MBX02  mbx02.corp.example  yes       ",
           "FAIL  agent: MBX03\n",
           "FAIL  dropped: Public\\DB06\n",
           "      hint: select a member server with a copy of it for client 2, or add a copy on a "
           "selected member server\n",
           "WARN  reachability: MBX01\n",
           "WARN  circular-logging: Second\\DB03\n",
           "WARN  stale-content: Old\\DB09\n",
           "      named in the content of subclient 11 (sales), but the DAG has no such database\n",
           "WARN  backup-copy: Second\\DB03\n",
           "OK    discovery: database discovery runs on MBX02\n",
       }) {
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  }
  // Failures come before warnings.
  EXPECT_LT(run.out.find("FAIL  dropped"), run.out.find("WARN  reachability"));
}

// One client or --all, never both; a bound of at least one probe. A store
// without a DAG client has nothing for --all to check: a failure.
TEST(DoctorTool, RefusesWhatNamesNoClientToCheck) {
  tztest::TestEnv env(HealthyFixture());
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"doctor", "--orbal", "1"},
           {"doctor", "--client", "2"},
           {"doctor", "--orbal", "1", "--client", "2", "--all"},
           {"doctor", "--orbal", "1", "--all", "--probes", "0"}}) {
    tztest::ToolRun usage = tztest::RunTzdagIn(env, args);
    EXPECT_EQ(usage.exitCode, 2) << args.back() << "\n" << usage.err;
    EXPECT_EQ(usage.out, "");
  }

  json noDagClient = HealthyFixture();
  noDagClient["store"]["clients"][0].erase("memberServers");
  tztest::TestEnv bare(noDagClient);
  tztest::ToolRun run = tztest::RunTzdagIn(bare, {"--json", "doctor", "--orbal", "1", "--all"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(json::parse(run.out),
            json({{"ok", false},
                  {"error",
                   "the configuration store holds no DAG client (no client has member server "
                   "entries)"}}));
}

// At a terminal, probes that wait side by side share one line: the longest
// wait and how many more; it is cleared before the report.
TEST(DoctorTool, ShowsParallelWaitsOnOneTerminalLine) {
  json fixture = HealthyFixture();
  fixture["remote"]["failures"] = {{"mbx01.test", "hang"}, {"mbx02.test", "hang"}};
  tztest::TestEnv env(fixture);
  std::vector<std::string> args = tztest::OptionsFor(env);
  for (const char* arg : {"doctor", "--orbal", "1", "--client", "2", "--timeout", "2"}) {
    args.push_back(arg);
  }
  tztest::PtyProcess doctor(tztest::TzdagPath(), args);
  EXPECT_TRUE(doctor.ReadUntil(": 1 s of 2 s (and 1 more)"));
  EXPECT_EQ(doctor.Wait(), 1);
  EXPECT_NE(doctor.transcript().find("\r\x1b[KDAG client 2 (DAG01), installation 1: "),
            std::string::npos)
      << doctor.transcript();
}

}  // namespace
