// tzdag as an operator meets it, through the real binary: what each kind of
// invocation prints on standard output and standard error and how it exits,
// where the directory password comes from, and what a terminal shows.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "log_lines.h"
#include "pty_process.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag_runner.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/fixture.h"
#include "tzplatform/settings.h"

namespace {

using nlohmann::json;
using Environment = std::map<std::string, std::string>;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

// The demo fixture with two databases renamed beyond ASCII: one with
// accented Latin letters, one with CJK characters, which take two columns.
json FixtureWithWideNames() {
  json fixture = tztest::DemoFixture();
  for (json& dag : fixture["remote"]["dags"]) {
    for (json& db : dag["databases"]) {
      if (db["name"] == "Second\\DB02") db["name"] = "\xE7\xAC\xAC\xE4\xBA\x8C\\DB02";  // 第二
      if (db["name"] == "Archive\\DB05")
        db["name"] =
            "Premi\xC3\xA8re-\xC3\x96"
            "ffentlich\\DB05";
    }
  }
  return fixture;
}

// The password the discovery tool was given (-dagp), decrypted here.
std::string PasswordTheToolSaw(const std::string& argsFile) {
  const std::string args = tztest::ReadFile(argsFile);
  const size_t at = args.find("-dagp ");
  if (at == std::string::npos) return "(none)";
  const std::string encrypted = args.substr(at + 6, args.find_first_of(" \n", at + 6) - at - 6);
  char buffer[2048];
  int length = 2047;
  if (TZPassword().decrypt(encrypted.c_str(), buffer, &length) != 0) return "(not decrypted)";
  return std::string(buffer, static_cast<size_t>(length));
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The tool on proxy01 notes its command line, then answers as the
    // simulator; the one on mbx03 never answers.
    const std::string proxy = env_.remoteRoot() + "/proxy01.corp.example";
    std::filesystem::rename(proxy + "/PshimProxy.exe", proxy + "/sim");
    env_.InstallTool("proxy01.corp.example", "#!/bin/sh\necho \"$@\" > " + argsFile_ +
                                                 "\nexec \"$(dirname \"$0\")/sim\" \"$@\"\n");
    env_.InstallTool("mbx03.corp.example", "#!/bin/sh\nexec sleep 60\n");
    tztest::WriteFile(passwordFile_, "s3cret\n", 0600);
    tztest::WriteFile(env_.dir() + "/empty", "", 0600);
    // What the test decrypts with is the key tzdag makes beside the store.
    tzplatform::SetKeyFile(env_.dir() + "/tzdag.key");
  }

  // Everything but the arguments comes from the environment, as for a user
  // who exported the variables `tzdag init` names; no log is chosen.
  Environment Base() const {
    return {{"TZ_CONFIG_STORE", env_.storePath()},
            {"TZ_REMOTE_ROOT", env_.remoteRoot()},
            {"XDG_STATE_HOME", env_.dir() + "/state"},
            {"TZ_LOG_FILE", ""},
            {"TZ_PASSWORD_FILE", ""},
            {"TZ_KEY_FILE", ""},
            {"TZ_REMOTE_TIMEOUT", ""}};
  }

  std::string DefaultLog() const { return env_.dir() + "/state/tzdag/tzdag.log"; }

  tztest::TestEnv env_{FixtureWithWideNames()};
  std::string argsFile_ = env_.dir() + "/tool-args";
  std::string passwordFile_ = env_.dir() + "/password";
};

TEST_F(CliTest, EachKindOfInvocationPrintsExactlyThisAndExits) {
  const std::string sales =
      "Discovered on member server MBX02\n\n"
      "DATABASE     BACKUP SERVER  COPY SERVERS         CIRCULAR LOGGING\n"
      "-----------  -------------  -------------------  ----------------\n"
      "First\\DB01   MBX03          MBX01, MBX02, MBX03  no\n"
      "Second\\DB03  MBX03          MBX03, MBX02         yes\n";
  const std::string dag02 =
      "MEMBER SERVER  AGENT INSTALLED\n"
      "-------------  ---------------\n"
      "MBX11          no\n"
      "MBX12          yes\n";
  const std::vector<std::string> dag02Log = {
      "* DEBUG [LaunchPshimForDagNodeDiscover]: Launch PshimProxy From 'proxy01.corp.example' "
      "succeed.",
      "* DEBUG [ReceiveNodeDiscoverRespsonse]: Received response from PshimProxy.",
      "* DEBUG [HasExDbAgentInstalled]: Get client Id failed",
      "* DEBUG [HasExDbAgentInstalled]: Client Id: 8"};
  const std::string noServer =
      "critical event 0x48000097: \" Did not find an exchange server with UVO installed, No "
      "Exchange Server available \"";
  const std::string runHelp = "Run with --help for more information.";
  const std::vector<std::string> dagProxy = {"discover-dags", "--dag", "DAG02", "--proxy",
                                             "PROXY01"};
  auto with = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };

  struct Invocation {
    const char* what;
    std::vector<std::string> args;
    std::string input;
    Environment environment;  // over Base()
    int exitCode;
    std::string out;
    std::vector<std::string> err;  // lines; a "*" stands for any text
    std::string password = "";     // the -dagp the tool must have been given, decrypted
  };
  const Invocation invocations[] = {
      {"quiet success: the log goes to the user's state folder",
       {"discover-dbs", "--orbal", "1", "--client", "2", "--app", "11"},
       "",
       {},
       0,
       sales,
       {}},
      {"verbose success: the log on standard error too",
       with({"-v"}, dagProxy),
       "",
       {},
       0,
       dag02,
       dag02Log},
      {"-vv: record dumps as well",
       with({"-vv"}, dagProxy),
       "",
       {},
       0,
       dag02,
       {dag02Log[0], dag02Log[1], dag02Log[2], dag02Log[3],
        "* DEBUG1 [ReceiveNodeDiscoverRespsonse]: Response xml: <DAGMemberServersResp>"
        "<memberServers serverName=\"MBX11\" uvoInstalled=\"0\"/><memberServers "
        "serverName=\"MBX12\" uvoInstalled=\"1\"/></DAGMemberServersResp>"}},
      {"failure: the call's lines and event",
       {"discover-dbs", "--orbal", "1", "--client", "3"},
       "",
       {},
       1,
       "",
       {"tzdag: database discovery failed for client 3",
        "  [DiscoverDag]: Discover exchange database with orbalId: 1; clientId: 3, appId: 0",
        "  [DiscoverDag]: Did not find an exchange server with UVO installed", "  " + noServer}},
      {"failure with -v: the lines are not shown twice",
       {"-v", "discover-dbs", "--orbal", "1", "--client", "3"},
       "",
       {},
       1,
       "",
       {"* DEBUG [DiscoverDag]: Discover exchange database with orbalId: 1; clientId: 3, appId: 0",
        "* DEBUG [DiscoverDag]: Did not find an exchange server with UVO installed",
        "* CRITICAL event 0x48000097 (1207959703) params 0 0 args: \" Did not find an exchange "
        "server with UVO installed, No Exchange Server available \"",
        "tzdag: database discovery failed for client 3", "  " + noServer}},
      {"failure as JSON: an error beside log and events",
       {"--json", "discover-dbs", "--orbal", "1", "--client", "3"},
       "",
       {},
       1,
       json({{"ok", false},
             {"server", ""},
             {"error", "database discovery failed for client 3"},
             {"log",
              {"[DiscoverDag]: Discover exchange database with orbalId: 1; clientId: 3, appId: 0",
               "[DiscoverDag]: Did not find an exchange server with UVO installed"}},
             {"events", {noServer}}})
               .dump(2) +
           "\n",
       {}},
      {"usage error",
       {"discover-dbs", "--orbal", "1"},
       "",
       {},
       2,
       "",
       {"--client is required", runHelp}},
      {"usage error as JSON",
       {"--json", "discover-dbs", "--orbal", "1"},
       "",
       {},
       2,
       "{\n  \"error\": \"--client is required\",\n  \"ok\": false\n}\n",
       {"--client is required", runHelp}},
      {"set-up error as JSON",
       {"servers", "--client", "2", "--json"},
       "",
       {{"TZ_CONFIG_STORE", env_.dir() + "/none.db"}},
       2,
       json({{"ok", false},
             {"error", "configuration store " + env_.dir() + "/none.db does not exist"}})
               .dump(2) +
           "\n",
       {"tzdag: configuration store " + env_.dir() + "/none.db does not exist"}},
      {"unknown command",
       {"discover-db", "--orbal", "1", "--client", "2"},
       "",
       {},
       2,
       "",
       {"tzdag: unknown command 'discover-db' (did you mean 'discover-dbs'?)"}},
      {"unknown command after global options",
       {"--log", "/dev/null", "-v", "updat"},
       "",
       {},
       2,
       "",
       {"tzdag: unknown command 'updat' (did you mean 'update-subclient'?)"}},
      {"unknown command as JSON",
       {"--json", "bogus"},
       "",
       {},
       2,
       "{\n  \"error\": \"unknown command 'bogus' (see tzdag --help)\",\n  \"ok\": false\n}\n",
       {"tzdag: unknown command 'bogus' (see tzdag --help)"}},
      {"no command",
       {"--json"},
       "",
       {},
       2,
       "{\n  \"error\": \"no command given (see tzdag --help)\",\n  \"ok\": false\n}\n",
       {"tzdag: no command given (see tzdag --help)"}},
      {"password from a file",
       with(dagProxy, {"--password-file", passwordFile_}),
       "",
       {},
       0,
       dag02,
       {},
       "s3cret"},
      {"password from standard input",
       with(dagProxy, {"--password-file", "-"}),
       "s3cret\r\n",
       {},
       0,
       dag02,
       {},
       "s3cret"},
      {"password from the file TZ_PASSWORD_FILE names",
       dagProxy,
       "",
       {{"TZ_PASSWORD_FILE", passwordFile_}},
       0,
       dag02,
       {},
       "s3cret"},
      {"--password wins over TZ_PASSWORD_FILE",
       with(dagProxy, {"--password", "TZP1:KW+au1A9"}),
       "",
       {{"TZ_PASSWORD_FILE", env_.dir() + "/none"}},
       0,
       dag02,
       {},
       "secret"},
      {"both password options",
       with(dagProxy, {"--password", "TZP1:KW+au1A9", "--password-file", passwordFile_}),
       "",
       {},
       2,
       "",
       {"--password excludes --password-file", runHelp}},
      {"an empty password file",
       with(dagProxy, {"--password-file", env_.dir() + "/empty"}),
       "",
       {},
       2,
       "",
       {"tzdag: --password-file: " + env_.dir() + "/empty is empty"}},
      {"no password file",
       dagProxy,
       "",
       {{"TZ_PASSWORD_FILE", env_.dir() + "/none"}},
       2,
       "",
       {"tzdag: TZ_PASSWORD_FILE: cannot read " + env_.dir() + "/none: No such file or directory"}},
      {"nothing on standard input",
       with(dagProxy, {"--password-file", "-"}),
       "",
       {},
       2,
       "",
       {"tzdag: --password-file: no password on standard input"}},
      {"a plain --password for the directory",
       {"discover-dags", "--user", "backupadmin", "--password", "s3cret"},
       "",
       {},
       2,
       "",
       {"tzdag: --password: cannot be decrypted: it is not an encrypted password (one starts with "
        "TZP2:)"}},
      {"--timeout against a hanging tool, over a bad TZ_REMOTE_TIMEOUT",
       {"discover-dags", "--proxy", "MBX03", "--timeout", "1"},
       "",
       {{"TZ_REMOTE_TIMEOUT", "abc"}},
       1,
       "",
       {"tzdag: DAG discovery failed",
        "  [LaunchPshimForDagNodeDiscover]: Launch PshimProxy From 'mbx03.corp.example' succeed.",
        "  [ReceiveNodeDiscoverRespsonse]: Received response failed. Error:[-7: no answer within 1 "
        "s; killed]",
        "  [DiscoverDagWithProxy]: Failed to receive response"}},
      {"a --timeout that is no number of seconds",
       {"discover-dbs", "--orbal", "1", "--client", "2", "--timeout", "0"},
       "",
       {},
       2,
       "",
       {"--timeout: '0' is not a number of seconds (a whole number from 1 to 2147483647)",
        runHelp}},
      {"non-ASCII names in a table, padded by the columns they take",
       {"discover-dbs", "--orbal", "1", "--client", "2"},
       "",
       {},
       0,
       "Discovered on member server MBX02\n\n"
       "DATABASE                  BACKUP SERVER  COPY SERVERS         CIRCULAR LOGGING\n"
       "------------------------  -------------  -------------------  ----------------\n"
       "First\\DB01                MBX01          MBX01, MBX02, MBX03  no\n"
       "\xE7\xAC\xAC\xE4\xBA\x8C\\DB02                 MBX02          MBX02, MBX01         no\n"
       "Second\\DB03               MBX03          MBX03, MBX02         yes\n"
       "Premi\xC3\xA8re-\xC3\x96"
       "ffentlich\\DB05  MBX01          MBX01, MBX03         no\n",
       {}},
  };
  for (const Invocation& c : invocations) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(argsFile_);
    Environment environment = Base();
    for (const auto& [name, value] : c.environment) environment[name] = value;
    tztest::ToolRun run = tztest::RunTzdag(c.args, c.input, environment);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.out, c.out);
    EXPECT_TRUE(tztest::LinesAre(Lines(run.err), c.err));
    if (!c.password.empty()) {
      EXPECT_EQ(PasswordTheToolSaw(argsFile_), c.password);
    }
  }

  // The quiet runs wrote their lines to the default log, in a folder of the
  // user's own.
  const std::string log = tztest::ReadFile(DefaultLog());
  EXPECT_NE(log.find("[DiscoverDag]: Discover exchange database successfully"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat((env_.dir() + "/state/tzdag").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// Where the log of a quiet run goes: --log, else TZ_LOG_FILE, else the state
// folder; one that cannot be made is a set-up error naming the way out.
TEST_F(CliTest, TheLogGoesWhereItIsToldElseToTheStateFolder) {
  const std::vector<std::string> servers = {"servers", "--client", "2"};
  tztest::WriteFile(env_.dir() + "/file", "");
  struct Case {
    std::vector<std::string> options;
    Environment environment;
    std::string log;  // where the lines went; empty: nowhere (a set-up error)
    std::string err;
  };
  const Case cases[] = {
      {{}, {}, DefaultLog(), ""},
      {{},
       {{"XDG_STATE_HOME", ""}, {"HOME", env_.dir() + "/home"}},
       env_.dir() + "/home/.local/state/tzdag/tzdag.log",
       ""},
      // The base directory rules ignore a relative XDG_STATE_HOME.
      {{},
       {{"XDG_STATE_HOME", "relative"}, {"HOME", env_.dir() + "/home2"}},
       env_.dir() + "/home2/.local/state/tzdag/tzdag.log",
       ""},
      {{}, {{"TZ_LOG_FILE", env_.dir() + "/from-env.log"}}, env_.dir() + "/from-env.log", ""},
      {{"--log", env_.dir() + "/from-option.log"},
       {{"TZ_LOG_FILE", env_.dir() + "/from-env.log"}},
       env_.dir() + "/from-option.log",
       ""},
      {{},
       {{"XDG_STATE_HOME", ""}, {"HOME", ""}},
       "",
       "tzdag: no folder for the log: HOME is not set (give --log FILE or set TZ_LOG_FILE)\n"},
      {{},
       {{"XDG_STATE_HOME", env_.dir() + "/file"}},
       "",
       "tzdag: cannot make the folder of the log " + env_.dir() +
           "/file/tzdag: Not a directory (give --log FILE or set TZ_LOG_FILE)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.log + c.err);
    Environment environment = Base();
    for (const auto& [name, value] : c.environment) environment[name] = value;
    std::vector<std::string> args = c.options;
    args.insert(args.end(), servers.begin(), servers.end());
    tztest::ToolRun run = tztest::RunTzdag(args, "", environment);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.exitCode, c.log.empty() ? 2 : 0);
    if (!c.log.empty()) {
      EXPECT_NE(tztest::ReadFile(c.log).find("[GetRemoteServer]: Found exchange server: MBX02"),
                std::string::npos);
      std::filesystem::remove(c.log);
    }
  }
}

// tzdag encrypt reads the first line of standard input and writes what the
// platform decrypts, under the key it makes beside the store, and refuses
// what the directory agent could not take or a key it should not trust.
TEST_F(CliTest, EncryptWritesWhatDecryptsUnderTheHostKey) {
  const std::string key = env_.dir() + "/tzdag.key";
  for (const std::string& line : {std::string("Pa55 w0rd!\n"), std::string("no line end"),
                                  std::string("windows\r\nsecond line\n"), std::string("\n")}) {
    SCOPED_TRACE(line);
    tztest::ToolRun run = tztest::RunTzdag({"encrypt"}, line, Base());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run.out.rfind("TZP2:", 0), 0u) << run.out;
    ASSERT_EQ(run.out.back(), '\n');
    const std::string encrypted = run.out.substr(0, run.out.size() - 1);
    char buffer[2048];
    int length = 2047;
    ASSERT_EQ(TZPassword().decrypt(encrypted.c_str(), buffer, &length), 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)),
              line.substr(0, line.find_first_of("\r\n")));
  }
  struct stat st;
  ASSERT_EQ(stat(key.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  struct Refusal {
    std::string input;
    std::string err;
  };
  const Refusal refusals[] = {
      {"", "tzdag: no password on standard input\n"},
      {std::string(2048, 'p') + "\n",
       "tzdag: the password cannot be used: it is longer than 2047 bytes\n"},
      {std::string("nul\0inside\n", 11),
       "tzdag: the password cannot be used: it holds a NUL character\n"},
  };
  for (const Refusal& r : refusals) {
    tztest::ToolRun run = tztest::RunTzdag({"encrypt"}, r.input, Base());
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, r.err);
  }
  chmod(key.c_str(), 0644);
  tztest::ToolRun open = tztest::RunTzdag({"--json", "encrypt"}, "x\n", Base());
  EXPECT_EQ(open.exitCode, 2);
  const std::string problem = "the key file " + key +
                              " is open to group or others (mode 0644); only its owner may read "
                              "it (chmod 600 " +
                              key + ")";
  EXPECT_EQ(open.err, "tzdag: " + problem + "\n");
  EXPECT_EQ(json::parse(open.out), json({{"ok", false}, {"error", problem}}));

  // TZ_KEY_FILE names another key.
  Environment elsewhere = Base();
  elsewhere["TZ_KEY_FILE"] = env_.dir() + "/other.key";
  EXPECT_EQ(tztest::RunTzdag({"encrypt"}, "x\n", elsewhere).exitCode, 0);
  EXPECT_TRUE(std::filesystem::exists(env_.dir() + "/other.key"));
}

// At a terminal: the prompt does not echo what is typed and gives the
// terminal back its echo however it ends, and a tool that takes its time
// is shown on one line that is cleared when it ends (never with --json).
TEST_F(CliTest, ATerminalGetsAPromptWithoutEchoAndALineWhileAToolRuns) {
  const std::string tzdag = tztest::TzdagPath();
  {
    tztest::PtyProcess encrypt(tzdag, {"encrypt"}, Base());
    ASSERT_TRUE(encrypt.ReadUntil("Password: "));
    EXPECT_FALSE(encrypt.Echoes());
    encrypt.Type("s3cret\n");
    EXPECT_EQ(encrypt.Wait(), 0);
    EXPECT_TRUE(encrypt.Echoes());
    const std::string& transcript = encrypt.transcript();
    ASSERT_EQ(transcript.rfind("Password: \r\nTZP2:", 0), 0u) << transcript;
    EXPECT_EQ(transcript.find("s3cret"), std::string::npos);
  }
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    tztest::PtyProcess encrypt(tzdag, {"encrypt"}, Base());
    ASSERT_TRUE(encrypt.ReadUntil("Password: "));
    ASSERT_FALSE(encrypt.Echoes());
    kill(encrypt.pid(), signal);
    EXPECT_EQ(encrypt.Wait(), 128 + signal);
    EXPECT_TRUE(encrypt.Echoes());
    EXPECT_EQ(encrypt.transcript(), "Password: \r\ntzdag: stopped by signal " +
                                        std::to_string(signal) + " (" + strsignal(signal) +
                                        ")\r\n");
  }
  {
    tztest::PtyProcess prompted(
        tzdag, {"discover-dags", "--dag", "DAG02", "--proxy", "PROXY01", "--password-file", "-"},
        Base());
    ASSERT_TRUE(prompted.ReadUntil("Directory password: "));
    EXPECT_FALSE(prompted.Echoes());
    prompted.Type("s3cret\n");
    EXPECT_EQ(prompted.Wait(), 0);
    EXPECT_EQ(PasswordTheToolSaw(argsFile_), "s3cret");
  }

  const std::string line = "\r\x1b[KWaiting for PshimProxy.exe on mbx03.corp.example: 1 s of 2 s";
  {
    tztest::PtyProcess waiting(tzdag, {"discover-dags", "--proxy", "MBX03", "--timeout", "2"},
                               Base());
    EXPECT_TRUE(waiting.ReadUntil(line));
    EXPECT_EQ(waiting.Wait(), 1);
    const std::string& transcript = waiting.transcript();
    // The last line drawn is cleared before the failure is reported.
    EXPECT_NE(transcript.find("of 2 s\r\x1b[Ktzdag: DAG discovery failed\r\n"), std::string::npos)
        << transcript;
  }
  {
    tztest::PtyProcess quiet(
        tzdag, {"--json", "discover-dags", "--proxy", "MBX03", "--timeout", "2"}, Base());
    EXPECT_EQ(quiet.Wait(), 1);
    EXPECT_EQ(quiet.transcript().find("Waiting"), std::string::npos);
    EXPECT_EQ(quiet.transcript().rfind("{\r\n", 0), 0u) << quiet.transcript();
  }
}

}  // namespace
