// tzdag against what comes from outside, on the demo store: discovery tools
// that answer badly or never end, signals, values that would change the
// tool's command line, ids, environment variables and options.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "process_census.h"
#include "test_env.h"
#include "tool_cases.h"
#include "tzdag_runner.h"
#include "tzplatform/fixture.h"
#include "tzplatform/store.h"

namespace {

using nlohmann::json;

const std::string kBad = "\xFF\xFE";                    // not UTF-8
const std::string kShown = "\xEF\xBF\xBD\xEF\xBF\xBD";  // as U+FFFD twice
const std::string kAll = "discover-dbs unprotected update-subclient discover-dags";

// Discovery runs on MBX02 (MBX01's host is unreachable), DAG discovery on
// PROXY01; one tool stands in for both, answering by its first argument.
void InstallEverywhere(const tztest::TestEnv& env, const std::string& script) {
  for (const char* host : {"mbx02.corp.example", "proxy01.corp.example"}) {
    env.InstallTool(host, script);
  }
}

// Answers one database, or one DAG of one member server (-dagNode), then runs
// `after`; a non-empty `error` is answered to both instead.
std::string HostileTool(const std::string& db, const std::string& dag, const std::string& server,
                        const std::string& error = "", const std::string& after = "") {
  const std::string dbs = "<DAGDBResp><databases dbName=\"" + db +
                          "\" backupServer=\"MBX01\" circularLogging=\"0\"><copyServers>MBX01"
                          "</copyServers></databases></DAGDBResp>";
  const std::string dags = "<DAGDiscoverResp><dags dagName=\"" + dag +
                           "\"><memberServers serverName=\"" + server +
                           "\" uvoInstalled=\"1\"/></dags></DAGDiscoverResp>";
  const std::string failed = "<ProxyErrorMessage errorText=\"" + error + "\"/>";
  return "#!/bin/sh\nif [ \"$1\" = -dagNode ]; then\ncat <<'END'\n" +
         (error.empty() ? dags : failed) + "\nEND\nelse\ncat <<'END'\n" +
         (error.empty() ? dbs : failed) + "\nEND\nfi\n" + after + "\n";
}

// Each discovery command named in `names`, with and without --json, on a demo
// store whose tools run `script`: it exits `exitCode` showing `shown` and
// never the bytes of kBad; its JSON answer is whole, "ok" only on success; a
// failure leaves the store as it was.
void OnEachCommand(const std::string& script, const std::string& names,
                   const tztest::Environment& environment, int exitCode, const std::string& shown) {
  const std::vector<std::string> commands[] = {
      {"discover-dbs", "--orbal", "1", "--client", "2"},
      {"unprotected", "--orbal", "1", "--client", "2"},
      // The hostile answer drops the subclient's whole content.
      {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11", "--allow-removal"},
      {"discover-dags", "--proxy", "PROXY01"}};
  for (std::vector<std::string> args : commands) {
    if (names.find(args[0]) == std::string::npos) continue;
    for (bool asJson : {false, true}) {
      if (asJson) args.insert(args.begin(), "--json");
      SCOPED_TRACE(::testing::PrintToString(args));
      tztest::TestEnv env(tztest::DemoFixture());
      InstallEverywhere(env, script);
      const std::string before = tzplatform::DumpStore(env.storePath());
      const tztest::ToolRun run = tztest::RunTzdagIn(env, args, environment);
      EXPECT_EQ(run.exitCode, exitCode) << run.err;
      EXPECT_NE((run.out + run.err).find(shown), std::string::npos) << run.out << run.err;
      EXPECT_EQ((run.out + run.err).find(kBad), std::string::npos);
      if (asJson) {
        EXPECT_EQ(json::parse(run.out)["ok"], exitCode == 0) << run.out;
      }
      if (exitCode != 0) {
        EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
      }
    }
  }
}

// Bytes that are not UTF-8, in each text field a tool answers with, reach
// the tables and the JSON answers as U+FFFD; nothing fails because of them.
TEST(HostileToolTest, TextThatIsNotUtf8IsShownReplacedInEveryField) {
  OnEachCommand(HostileTool("Bad\\DB07" + kBad, "DAG01", "MBX01"),
                "discover-dbs unprotected update-subclient", {}, 0, "DB07" + kShown);
  OnEachCommand(HostileTool("Bad\\DB07", "DAG01" + kBad, "MBX01"), "discover-dags", {}, 0,
                "DAG01" + kShown);
  OnEachCommand(HostileTool("Bad\\DB07", "DAG01", "MBX01" + kBad), "discover-dags", {}, 0,
                "MBX01" + kShown);
  OnEachCommand(HostileTool("", "", "", "no" + kBad), kAll, {}, 1, "no" + kShown);

  // What the update stored comes back from the store as bytes too.
  tztest::TestEnv env(tztest::DemoFixture());
  InstallEverywhere(env, HostileTool("Bad\\DB07" + kBad, "DAG01", "MBX01"));
  const std::vector<std::string> update = {
      "--json", "update-subclient", "--orbal", "1", "--client", "2", "--app",
      "11",     "--allow-removal"};
  ASSERT_EQ(tztest::RunTzdagIn(env, update).exitCode, 0);
  InstallEverywhere(env, tztest::ReadFile(tztest::SimulatorPath()));
  const tztest::ToolRun again = tztest::RunTzdagIn(env, update);
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(json::parse(again.out)["changes"]["removed"], json::array({"Bad\\DB07" + kShown}));
}

// A tool that gave a whole answer and then failed, or never ended, has not
// answered: every command fails with the session's reason, and the store is
// as it was.
TEST(HostileToolTest, AToolThatAnswersAndThenFailsOrHangsHasNotAnswered) {
  for (const auto& [after, reason] : std::vector<std::pair<std::string, std::string>>{
           {"exit 5", "exited with status 5 after "},
           {"exec sleep 60", " bytes but did not exit within 1 s; killed"},
           {"exec >&-\nexec sleep 60", " bytes but did not exit within 1 s; killed"},
           {"kill -9 $$", "killed by signal 9 (Killed) after "}}) {
    OnEachCommand(HostileTool("Bad\\DB07", "DAG01", "MBX01", "", after), kAll,
                  {{"TZ_REMOTE_TIMEOUT", "1"}}, 1, reason);
  }
}

// SIGINT, SIGTERM and SIGHUP while the tool runs: tzdag ends the tool's
// whole process group, removes what it made, and reports the signal. SIGINT
// goes to tzdag's process group, as a terminal's Ctrl-C does, which the
// tool (in a group of its own) would never see.
TEST(HostileToolTest, SignalsEndTheToolAndLeaveNothingBehind) {
  const std::vector<std::vector<std::string>> commands = {
      {"discover-dbs", "--orbal", "1", "--client", "2"},
      {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11", "--dry-run"},
      {"doctor", "--orbal", "1", "--client", "2"},  // probes side by side, on threads
      {"sync", "--orbal", "1", "--all"}};           // clients side by side, on threads
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (const std::vector<std::string>& command : commands) {
      SCOPED_TRACE(std::to_string(signal) + " " + command[0]);
      tztest::TestEnv env(tztest::DemoFixture());
      const std::string scratch = env.dir() + "/tmp";
      std::filesystem::create_directories(scratch);
      const std::string pidFile = env.dir() + "/tool.pid";
      // Deaf to the three signals and never ending: only a kill of its group
      // stops it before the remote timeout.
      InstallEverywhere(env, "#!/bin/sh\ntrap '' INT TERM HUP\necho $$ > " + pidFile +
                                 "\nwhile :; do sleep 1; done\n");
      const std::string before = tzplatform::DumpStore(env.storePath());

      std::vector<std::string> args = tztest::OptionsFor(env);
      args.insert(args.end(), command.begin(), command.end());
      tztest::TzdagProcess tzdag(args, "", {{"TMPDIR", scratch}, {"TZ_REMOTE_TIMEOUT", "60"}});
      const pid_t tool = tztest::WaitForPid(pidFile);
      ASSERT_GT(tool, 0);
      kill(signal == SIGINT ? -tzdag.pid() : tzdag.pid(), signal);
      tztest::ToolRun run = tzdag.Wait();

      EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
      EXPECT_NE(run.err.find("tzdag: stopped by signal " + std::to_string(signal) + " ("),
                std::string::npos)
          << run.err;
      if (command[0] == "discover-dbs") {
        EXPECT_NE(run.err.find("Error:[-11: cancelled after 0 bytes of output; killed]"),
                  std::string::npos)
            << run.err;
      }
      EXPECT_TRUE(tztest::GroupEnds(tool));  // the tool leads its group
      EXPECT_TRUE(std::filesystem::is_empty(scratch));
      EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
    }
  }
}

// What a tool leaves running goes with it, whatever way tzdag ends: output
// taken by a shell's $(...) is complete as soon as tzdag is done (no survivor
// holds the pipe), and tzdag killed with SIGKILL takes the tool and its
// daemon along.
TEST(HostileToolTest, NothingAToolStartedOutlivesTzdag) {
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string daemon = env.dir() + "/daemon.pid", tool = env.dir() + "/tool.pid";
  InstallEverywhere(env, "#!/bin/bash\necho $$ > " + tool + "\nsetsid sleep 60 &\necho $! > " +
                             daemon + "\n[ -e " + env.dir() +
                             "/hang ] && exec sleep 60\nexec -a \"$0\" " + tztest::SimulatorPath() +
                             " \"$@\"\n");
  const std::string command =
      "timeout 30 sh -c 'out=$(\"$0\" \"$@\"); echo \"$out\" | head -1' \"$0\" \"$@\"";
  std::vector<std::string> args = {"-c", command, tztest::TzdagPath()};
  for (const std::string& option : tztest::OptionsFor(env)) args.push_back(option);
  for (const char* word : {"discover-dbs", "--orbal", "1", "--client", "2"}) args.push_back(word);
  const tztest::ToolRun shell = tztest::RunProgram("/bin/sh", args);
  EXPECT_EQ(shell.exitCode, 0) << shell.err;  // 124: the shell waited for the daemon
  EXPECT_EQ(shell.out, "Discovered on member server MBX02\n");
  EXPECT_EQ(kill(tztest::ReadPid(daemon), 0), -1);

  tztest::WriteFile(env.dir() + "/hang", "");
  std::filesystem::remove(tool);
  std::filesystem::remove(daemon);
  std::vector<std::string> discover = tztest::OptionsFor(env);
  for (const char* word : {"discover-dbs", "--orbal", "1", "--client", "2"}) {
    discover.push_back(word);
  }
  tztest::TzdagProcess tzdag(discover, "", {{"TZ_REMOTE_TIMEOUT", "60"}});
  const pid_t hung = tztest::WaitForPid(tool);
  ASSERT_GT(hung, 0);
  const pid_t left = tztest::WaitForPid(daemon);
  kill(tzdag.pid(), SIGKILL);
  tzdag.Wait();
  EXPECT_TRUE(tztest::ProcessEnds(hung));
  EXPECT_TRUE(tztest::ProcessEnds(left));
}

// Every command reads its ids, options and environment the same way, and
// refuses what is not valid before any work, ids the store does not know
// included: exit 2, one line naming the option or variable, no tool run, the
// store as it was (so no event stored either).
TEST(ToolOptionsTest, IdsOptionsAndEnvironmentAreCheckedAlikeBeforeAnyWork) {
  const json table = tztest::ToolData("options.json");
  json runs = json::array();
  auto refused = [&](const json& args, const json& environment, const json& err) {
    runs.push_back({{"args", args},
                    {"env", environment},
                    {"in", "secret\n"},
                    {"exit", 2},
                    {"err", err},
                    {"absent", {"{dir}/tool-ran", "{dir}/fresh"}}});
  };
  for (const json& command : table["commands"]) {
    for (const std::string option : command["ids"]) {
      for (const std::string value : table["badIds"]) {
        // Only the job id goes beyond 32 bits.
        if (option == "--job" && value == "4294967296") continue;
        json args = command["args"];
        *(std::find(args.begin(), args.end(), option) + 1) = value;
        refused(
            args, json::object(),
            {option + ": '" + value + "' is not " +
                 (option == "--job" ? "a job id (a decimal number from 0 to 9223372036854775807)"
                                    : "an id (a decimal number from 0 to 4294967295)"),
             "Run with --help for more information."});
      }
    }
    for (const json& setUp : table["setUps"]) {
      if (setUp.value("storeOnly", false) && command.value("noStore", false)) continue;
      json args = setUp.value("options", json::array());
      args.insert(args.end(), command["args"].begin(), command["args"].end());
      refused(args, setUp.value("env", json::object()), setUp["err"]);
    }
  }
  for (const json& run : table["unknown"]) {
    refused(run["args"], json::object(), {"tzdag: " + run["err"].get<std::string>()});
  }
  for (const json& run : table["refused"]) refused(run["args"], json::object(), run["err"]);
  tztest::RunToolCase({{"tools", {{"*", "#!/bin/sh\ntouch {dir}/tool-ran\nexit 3\n"}}},
                       {"files", {{"{dir}/not-a-store.db", "plain text"}}},
                       {"runs", runs}});
}

}  // namespace
