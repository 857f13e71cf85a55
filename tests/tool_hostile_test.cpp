// tzdag against what comes from outside, on the demo store: discovery tools
// that answer badly or never end, signals, values that would change the
// tool's command line, ids, environment variables and options.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
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
using Environment = std::map<std::string, std::string>;

const std::string kBad = "\xFF\xFE";                    // not UTF-8
const std::string kShown = "\xEF\xBF\xBD\xEF\xBF\xBD";  // as U+FFFD twice
const Environment kShortTimeout = {{"TZ_REMOTE_TIMEOUT", "1"}};

// Discovery runs on MBX02 (MBX01's host is unreachable), DAG discovery on
// PROXY01; one tool stands in for both, answering by its first argument.
const char* const kToolHosts[] = {"mbx02.corp.example", "proxy01.corp.example"};

struct Answers {
  std::string dbName = "Bad\\DB07";
  std::string dagName = "DAG01";
  std::string serverName = "MBX01";
  std::string errorText;  // not empty: the tool answers this error record instead
};

std::string HostileTool(const Answers& a, const std::string& after) {
  const std::string db = "<DAGDBResp><databases dbName=\"" + a.dbName +
                         "\" backupServer=\"MBX01\" circularLogging=\"0\"><copyServers>MBX01"
                         "</copyServers></databases></DAGDBResp>";
  const std::string dag = "<DAGDiscoverResp><dags dagName=\"" + a.dagName +
                          "\"><memberServers serverName=\"" + a.serverName +
                          "\" uvoInstalled=\"1\"/></dags></DAGDiscoverResp>";
  const std::string error = "<ProxyErrorMessage errorText=\"" + a.errorText + "\"/>";
  return "#!/bin/sh\n"
         "if [ \"$1\" = -dagNode ]; then\ncat <<'END'\n" +
         (a.errorText.empty() ? dag : error) + "\nEND\nelse\ncat <<'END'\n" +
         (a.errorText.empty() ? db : error) + "\nEND\nfi\n" + after + "\n";
}

void InstallEverywhere(const tztest::TestEnv& env, const std::string& script) {
  for (const char* host : kToolHosts) env.InstallTool(host, script);
}

struct CommandLine {
  const char* name;
  std::vector<std::string> args;
};
const CommandLine kDiscoveryCommands[] = {
    {"discover-dbs", {"discover-dbs", "--orbal", "1", "--client", "2"}},
    {"unprotected", {"unprotected", "--orbal", "1", "--client", "2"}},
    {"update-subclient", {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11"}},
    {"discover-dags", {"discover-dags", "--proxy", "PROXY01"}},
};

tztest::ToolRun RunCommand(const tztest::TestEnv& env, const CommandLine& command, bool asJson,
                           const Environment& environment = {}) {
  std::vector<std::string> args = command.args;
  if (asJson) args.insert(args.begin(), "--json");
  return tztest::RunTzdagIn(env, args, environment);
}

// Bytes that are not UTF-8, in each text field a tool answers with, reach
// the tables and the JSON answers as U+FFFD; nothing fails because of them.
TEST(HostileToolTest, TextThatIsNotUtf8IsShownReplacedInEveryField) {
  struct Case {
    const char* field;
    Answers answers;
    std::vector<const char*> commands;  // those that show the field
    int exitCode;
    std::string shown;
  };
  Answers db, dag, server, error;
  db.dbName += kBad;
  dag.dagName += kBad;
  server.serverName += kBad;
  error.errorText = "no" + kBad;
  const Case cases[] = {
      {"dbName", db, {"discover-dbs", "unprotected", "update-subclient"}, 0, "DB07" + kShown},
      {"dagName", dag, {"discover-dags"}, 0, "DAG01" + kShown},
      {"serverName", server, {"discover-dags"}, 0, "MBX01" + kShown},
      {"errorText",
       error,
       {"discover-dbs", "unprotected", "update-subclient", "discover-dags"},
       1,
       "no" + kShown},
  };
  for (const Case& c : cases) {
    for (const CommandLine& command : kDiscoveryCommands) {
      if (std::find(c.commands.begin(), c.commands.end(), std::string(command.name)) ==
          c.commands.end()) {
        continue;
      }
      for (bool asJson : {true, false}) {
        SCOPED_TRACE(std::string(c.field) + " " + command.name + (asJson ? " --json" : ""));
        tztest::TestEnv env(tztest::DemoFixture());
        InstallEverywhere(env, HostileTool(c.answers, ""));
        tztest::ToolRun run = RunCommand(env, command, asJson);
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        if (asJson) {
          EXPECT_TRUE(json::accept(run.out)) << run.out;
        }
        EXPECT_NE((run.out + run.err).find(c.shown), std::string::npos) << run.out << run.err;
        EXPECT_EQ((run.out + run.err).find(kBad), std::string::npos);
      }
    }
  }

  // What the update stored comes back from the store as bytes too.
  tztest::TestEnv env(tztest::DemoFixture());
  InstallEverywhere(env, HostileTool(db, ""));
  ASSERT_EQ(RunCommand(env, kDiscoveryCommands[2], true).exitCode, 0);
  for (const char* host : kToolHosts) {
    std::filesystem::copy_file(tztest::SimulatorPath(),
                               env.remoteRoot() + "/" + host + "/PshimProxy.exe",
                               std::filesystem::copy_options::overwrite_existing);
  }
  tztest::ToolRun again = RunCommand(env, kDiscoveryCommands[2], true);
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(json::parse(again.out)["changes"]["removed"], json::array({"Bad\\DB07" + kShown}));
}

// A tool that gave a whole answer and then failed, or never ended, has not
// answered: every command fails with the session's reason, and the store is
// as it was.
TEST(HostileToolTest, AToolThatAnswersAndThenFailsOrHangsHasNotAnswered) {
  struct Case {
    const char* after;   // shell lines run after the answer
    std::string reason;  // in the session's error
  };
  const Case cases[] = {
      {"exit 5", "exited with status 5 after "},
      {"exec sleep 60", " bytes but did not exit within 1 s; killed"},
      {"exec >&-\nexec sleep 60", " bytes but did not exit within 1 s; killed"},
      {"kill -9 $$", "killed by signal 9 (Killed) after "},
  };
  for (const Case& c : cases) {
    for (const CommandLine& command : kDiscoveryCommands) {
      for (bool asJson : {true, false}) {
        SCOPED_TRACE(std::string(c.after) + " " + command.name + (asJson ? " --json" : ""));
        tztest::TestEnv env(tztest::DemoFixture());
        InstallEverywhere(env, HostileTool(Answers(), c.after));
        const std::string before = tzplatform::DumpStore(env.storePath());
        tztest::ToolRun run = RunCommand(env, command, asJson, kShortTimeout);
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE((run.out + run.err).find(c.reason), std::string::npos) << run.out << run.err;
        if (asJson) {
          EXPECT_EQ(json::parse(run.out)["ok"], false);
        }
        EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
      }
    }
  }
}

// SIGINT, SIGTERM and SIGHUP while the tool runs: tzdag ends the tool's
// whole process group, removes what it made, and reports the signal. SIGINT
// goes to tzdag's process group, as a terminal's Ctrl-C does, which the
// tool (in a group of its own) would never see.
TEST(HostileToolTest, SignalsEndTheToolAndLeaveNothingBehind) {
  const std::vector<std::string> dryRun = {
      "update-subclient", "--orbal", "1", "--client", "2", "--app", "11", "--dry-run"};
  const std::vector<std::string> discovery = {"discover-dbs", "--orbal", "1", "--client", "2"};
  // Its probes run side by side, on threads of the library.
  const std::vector<std::string> doctor = {"doctor", "--orbal", "1", "--client", "2"};
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    for (const auto* command : {&discovery, &dryRun, &doctor}) {
      SCOPED_TRACE(std::to_string(signal) + " " + command->front());
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
      args.insert(args.end(), command->begin(), command->end());
      tztest::TzdagProcess tzdag(args, "", {{"TMPDIR", scratch}, {"TZ_REMOTE_TIMEOUT", "60"}});
      const pid_t tool = tztest::WaitForPid(pidFile);
      ASSERT_GT(tool, 0);
      kill(signal == SIGINT ? -tzdag.pid() : tzdag.pid(), signal);
      tztest::ToolRun run = tzdag.Wait();

      EXPECT_EQ(run.exitCode, 128 + signal) << run.err;
      EXPECT_NE(run.err.find("tzdag: stopped by signal " + std::to_string(signal) + " ("),
                std::string::npos)
          << run.err;
      if (command == &discovery) {
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

// Every command reads its ids, options and environment the same way, and
// refuses what is not valid before any work: exit 2, one line naming the
// option or variable, no tool run, the store as it was.
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
  for (const json& run : table["refused"]) refused(run["args"], json::object(), run["err"]);
  tztest::RunToolCase({{"tools", {{"*", "#!/bin/sh\ntouch {dir}/tool-ran\nexit 3\n"}}},
                       {"files", {{"{dir}/not-a-store.db", "plain text"}}},
                       {"runs", runs}});
}

}  // namespace
