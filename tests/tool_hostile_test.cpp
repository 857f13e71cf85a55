// tzdag against what comes from outside, on the demo store: discovery tools
// that answer badly or never end, signals, values that would change the
// tool's command line, ids, environment variables and options.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "process_census.h"
#include "temp_dir.h"
#include "test_env.h"
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
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string ran = env.dir() + "/tool-ran";
  InstallEverywhere(env, "#!/bin/sh\ntouch " + ran + "\nexit 3\n");
  tztest::WriteFile(env.dir() + "/not-a-store.db", "plain text");
  const std::string before = tzplatform::DumpStore(env.storePath());

  struct Command {
    std::vector<std::string> args;
    std::vector<const char*> ids;  // its id options
    bool usesStore;
  };
  const Command commands[] = {
      {{"servers", "--client", "2"}, {"--client"}, true},
      {{"discover-dbs", "--orbal", "1", "--client", "2", "--app", "11", "--job", "4"},
       {"--orbal", "--client", "--app", "--job"},
       true},
      {{"unprotected", "--orbal", "1", "--client", "2"}, {"--orbal", "--client"}, true},
      {{"update-subclient", "--orbal", "1", "--client", "2", "--app", "11", "--dry-run"},
       {"--orbal", "--client", "--app"},
       true},
      {{"discover-dags", "--proxy", "PROXY01"}, {}, true},
      {{"doctor", "--orbal", "1", "--client", "2"}, {"--orbal", "--client"}, true},
      {{"encrypt"}, {}, false},
      {{"init", env.dir() + "/fresh"}, {}, false},
  };
  const std::string kRunHelp = "\nRun with --help for more information.\n";
  auto idProblem = [&](const std::string& option, const std::string& value) {
    if (option == "--job") {
      return option + ": '" + value +
             "' is not a job id (a decimal number from 0 to 9223372036854775807)" + kRunHelp;
    }
    return option + ": '" + value + "' is not an id (a decimal number from 0 to 4294967295)" +
           kRunHelp;
  };
  struct SetUp {
    std::vector<std::string> options;  // before the command
    Environment environment;
    std::string err;
    bool storeOnly = false;  // only for commands that use the store
  };
  const std::string noDir = env.dir() + "/no/such/dir/x.log";
  std::vector<SetUp> setUps = {
      {{},
       {{"TZ_DEBUG_LEVEL", "11"}},
       "tzdag: TZ_DEBUG_LEVEL: '11' is not a debug level (a whole number from 0 to 10)\n"},
      {{},
       {{"TZ_DEBUG_LEVEL", " 1"}},
       "tzdag: TZ_DEBUG_LEVEL: ' 1' is not a debug level (a whole number from 0 to 10)\n"},
      {{"--debug-level", "11"}, {}, "--debug-level: Value 11 not in range 0 to 10" + kRunHelp},
      {{},
       {{"TZ_LOG_FILE", noDir}},
       "tzdag: TZ_LOG_FILE: cannot write the log file " + noDir + ": No such file or directory\n"},
      {{"--log", noDir},
       {},
       "tzdag: --log: cannot write the log file " + noDir + ": No such file or directory\n"},
      {{"--store", env.dir()},
       {},
       "tzdag: configuration store " + env.dir() + " is not a regular file\n",
       true},
      {{"--store", env.dir() + "/none.db"},
       {},
       "tzdag: configuration store " + env.dir() + "/none.db does not exist\n",
       true},
      {{"--store", env.dir() + "/not-a-store.db"},
       {},
       "tzdag: configuration store " + env.dir() +
           "/not-a-store.db is not a configuration store (not an SQLite database)\n",
       true},
  };

  for (const char* value : {"abc", "1.5", "5s", "0", "-1", "2147483648"}) {
    setUps.push_back({{},
                      {{"TZ_REMOTE_TIMEOUT", value}},
                      std::string("tzdag: TZ_REMOTE_TIMEOUT: '") + value +
                          "' is not a number of seconds (a whole number from 1 to 2147483647)\n"});
  }

  // Each refused run: its own line, and nothing done.
  auto expectRefused = [&](const std::vector<std::string>& args, const Environment& environment,
                           const std::string& err) {
    SCOPED_TRACE(::testing::PrintToString(args));
    Environment all = {{"TZ_CONFIG_STORE", env.storePath()},
                       {"TZ_REMOTE_ROOT", env.remoteRoot()},
                       {"TZ_LOG_FILE", env.dir() + "/tool-log.txt"}};
    for (const auto& [name, value] : environment) all[name] = value;
    tztest::ToolRun run = tztest::RunTzdag(args, "secret\n", all);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, err);
    EXPECT_EQ(run.out, "");
    EXPECT_FALSE(std::filesystem::exists(ran));
    EXPECT_FALSE(std::filesystem::exists(env.dir() + "/fresh"));
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  };

  for (const Command& command : commands) {
    for (const char* option : command.ids) {
      for (const char* value : {"0x02", " 2", "2 ", "", "+2", "-2", "4294967296"}) {
        std::vector<std::string> args = command.args;
        *(std::find(args.begin(), args.end(), option) + 1) = value;
        // Only the job id goes beyond 32 bits.
        if (std::string(option) == "--job" && std::string(value) == "4294967296") continue;
        expectRefused(args, {}, idProblem(option, value));
      }
    }
    for (const SetUp& setUp : setUps) {
      if (setUp.storeOnly && !command.usesStore) continue;
      std::vector<std::string> args = setUp.options;
      args.insert(args.end(), command.args.begin(), command.args.end());
      expectRefused(args, setUp.environment, setUp.err);
    }
  }
  expectRefused({"discover-dbs", "--orbal", "1", "--client", "2", "--job", "9223372036854775808"},
                {}, idProblem("--job", "9223372036854775808"));

  // Values that would change the tool's command line (the library refuses
  // them too, with its own line).
  const std::string cannotCarry = ", which the discovery tool's command line cannot carry\n";
  for (const auto& [option, value, problem] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"--dag", "DAG01 -dagn DAG02", "holds a blank"},
           {"--user", "bob -dagn DAG02", "holds a blank"},
           {"--ad", "", "is empty"},
           {"--password", "-x", "starts with '-'"},
           {"--dag", "DAG\n01", "holds a control character"}}) {
    expectRefused({"discover-dags", "--proxy", "PROXY01", option, value}, {},
                  "tzdag: " + option + ": the value " + problem + cannotCarry);
  }

  // Leading zeros name the same ids, never octal ones: 011 is "sales" (11),
  // not application 9.
  std::filesystem::remove_all(env.remoteRoot());
  tzplatform::CreateRemoteRootFromFixture(tztest::DemoFixture()["remote"], env.remoteRoot(),
                                          tztest::SimulatorPath());
  for (const auto& [zeros, plain] :
       std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>>{
           {{"discover-dbs", "--orbal", "01", "--client", "002", "--app", "011", "--job", "0042"},
            {"discover-dbs", "--orbal", "1", "--client", "2", "--app", "11", "--job", "42"}},
           {{"unprotected", "--orbal", "0001", "--client", "02"},
            {"unprotected", "--orbal", "1", "--client", "2"}},
           {{"servers", "--client", "0002"}, {"servers", "--client", "2"}}}) {
    SCOPED_TRACE(::testing::PrintToString(zeros));
    tztest::ToolRun withZeros = tztest::RunTzdagIn(env, zeros);
    EXPECT_EQ(withZeros.exitCode, 0) << withZeros.err;
    EXPECT_EQ(withZeros.out, tztest::RunTzdagIn(env, plain).out);
  }
}

}  // namespace
