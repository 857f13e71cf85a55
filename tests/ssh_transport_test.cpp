// The remote command session over ssh, against an OpenSSH server the test
// starts for itself (tests/support/test_ssh_server.h) that stands for the
// hosts of a remote root, running commands with sh: the demo tour gives what
// it gives over the remote root; a connection that cannot be made fails the
// launch with ssh's reason; a hanging or abandoned tool ends on the server
// too; launches to one host share one connection; values reach the tool as
// they were, and nothing is left running.
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform_cases.h"
#include "process_census.h"
#include "records_support.h"
#include "test_env.h"
#include "test_ssh_server.h"
#include "tzdag_runner.h"
#include "tzplatform/CTzNetwork.h"
#include "tzplatform/codec.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

// Processes whose command line holds `text` (our ssh clients and masters
// name the test's ssh_config).
int ProcessesNaming(const std::string& text) {
  int count = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename();
    if (pid[0] < '1' || pid[0] > '9') continue;
    std::string command = tztest::ReadFile("/proc/" + pid + "/cmdline");
    for (char& c : command) c = c == '\0' ? ' ' : c;
    if (command.find(text) != std::string::npos && command.find("sshd") == std::string::npos) {
      ++count;
    }
  }
  return count;
}

// Waits up to five seconds for no process to name `text`.
bool NoneNaming(const std::string& text) {
  for (int tries = 0; tries < 500; ++tries) {
    if (ProcessesNaming(text) == 0) return true;
    usleep(10000);
  }
  return false;
}

std::vector<std::string> Hosts(const tztest::TestEnv& env) {
  std::vector<std::string> hosts;
  for (const auto& entry : fs::directory_iterator(env.remoteRoot())) {
    if (entry.is_directory()) hosts.push_back(entry.path().filename());
  }
  return hosts;
}

class SshTest : public ::testing::Test {
 protected:
  SshTest() : env_(tztest::DemoFixture()), server_(env_.remoteRoot()) {}

  void SetUp() override {
    Uvo::RegisterSubsystem();
    TZGui::RegisterSubsystem();
    config_ = server_.ClientConfig(Hosts(env_));
  }
  void TearDown() override {
    tzplatform::CloseRemoteConnections();
    EXPECT_EQ(ProcessesNaming(config_), 0) << "an ssh process was left running";
  }

  // Sessions of this process go over ssh to the test's server.
  void UseSsh(const std::string& config) {
    tzplatform::SetRemoteTransport(tzplatform::Transport::kSsh);
    tzplatform::SetSshCommand({"ssh", "-F", config});
    tzplatform::SetRemoteShell(tzplatform::ShellKind::kSh);
  }
  // The same for tzdag, through the environment.
  tztest::Environment SshEnvironment(const std::string& config) const {
    return {{"TZ_REMOTE_TRANSPORT", "ssh"},
            {"TZ_SSH_COMMAND", tztest::TestSshServer::SshCommand(config)},
            {"TZ_REMOTE_SHELL", "sh"},
            {"TZ_REMOTE_TIMEOUT", "30"}};
  }

  tztest::TestEnv env_;
  tztest::TestSshServer server_;
  std::string config_;
};

CWqError Attach(CTzNetwork& session, const std::string& host, const std::string& arguments) {
  CNSession::tzsExecuteRemoteCommandType request;
  request.setExecutable("PshimProxy.exe");
  request.setArguments(arguments);
  bool flag = false;
  return session.Attach_RemoteCommand(host.c_str(), request, nullptr, "linux01", 120, flag);
}

CWqError Receive(CTzNetwork& session) {
  CNMessageBase* message = nullptr;
  bool flag = false;
  CWqError result = session.ReceiveXMLMessage(nullptr, &message, nullptr, 0, -1, flag);
  delete message;
  return result;
}

// What the tour of scripts/demo prints in `folder`, with what may differ
// between two runs made alike: the folder, times, how a probe's error names
// the unreachable host's reason, and the widths of the columns holding them.
std::string Tour(const std::string& folder, const tztest::Environment& environment) {
  tztest::Environment all = environment;
  all["TZDAG"] = tztest::TzdagPath();
  all["DEMO_DIR"] = folder;
  const tztest::ToolRun run =
      tztest::RunProgram(std::string(TZ_SOURCE_DIR) + "/scripts/demo", {}, "", all);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  std::string text = run.out;
  for (size_t at; (at = text.find(folder)) != std::string::npos;)
    text.replace(at, folder.size(), "DIR");
  text = std::regex_replace(text, std::regex("[0-9]+ ms"), "N ms");
  text = std::regex_replace(text, std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z"), "TIME");
  text = std::regex_replace(text, std::regex("(host unreachable: mbx01.corp.example) \\([^)]*\\)+"),
                            "$1 (REASON)");
  text = std::regex_replace(text, std::regex("  +"), "  ");
  return std::regex_replace(text, std::regex("--+"), "--");
}

// Every discovery of the demo tour over ssh gives what it gives over the
// remote root; MBX01, unreachable, differs only in the reason.
TEST_F(SshTest, TheDemoTourGivesTheSameOverBothTransports) {
  const std::string overRoot = Tour(env_.dir() + "/root", {});
  const std::string overSsh = Tour(env_.dir() + "/ssh", SshEnvironment(config_));
  EXPECT_EQ(overSsh, overRoot);
  EXPECT_NE(overSsh.find("DAG01  MBX03  no"), std::string::npos) << overSsh;
  EXPECT_NE(overSsh.find("WARN  reachability: MBX01\n  the tool cannot be started there: -1: "
                         "host unreachable: mbx01.corp.example (REASON)"),
            std::string::npos)
      << overSsh;
  EXPECT_GT(server_.Logins(), 0);
}

// A host whose server cannot be logged into fails the launch, with ssh's own
// reason in the log, and discovery moves on to the next member server.
TEST_F(SshTest, AConnectionThatFailsFailsTheLaunchWithSshsReasonAndFallsThrough) {
  tztest::TestSshServer stopped(env_.remoteRoot());
  const int stoppedPort = stopped.port();
  stopped.Stop();
  using Fault = tztest::TestSshServer::Fault;
  const std::string port = std::to_string(server_.port());
  const std::vector<std::pair<Fault, std::string>> cases = {
      {{Fault::kUnknownHostKey, 0},
       "No ED25519 host key is known for [127.0.0.1]:" + port +
           " and you have requested strict checking. Host key verification failed."},
      {{Fault::kWrongKey, 0}, "root@127.0.0.1: Permission denied (publickey)."},
      {{Fault::kPort, stoppedPort},
       "ssh: connect to host 127.0.0.1 port " + std::to_string(stoppedPort) +
           ": Connection refused"}};
  std::vector<std::string> hosts = Hosts(env_);
  hosts.push_back("mbx01.corp.example");
  for (const auto& [fault, reason] : cases) {
    SCOPED_TRACE(reason);
    const std::string config = server_.ClientConfig(hosts, {{"mbx01.corp.example", fault}});
    fs::remove(env_.dir() + "/tool-log.txt");
    const tztest::ToolRun run =
        tztest::RunTzdagIn(env_, {"discover-dbs", "--orbal", "1", "--client", "2", "--app", "11"},
                           SshEnvironment(config));
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find('\n')), "Discovered on member server MBX02");
    const std::string log = tztest::ReadFile(env_.dir() + "/tool-log.txt");
    for (const std::string& line :
         {"[LaunchPshimFrom]: Launch PshimProxy [From mbx01.corp.example failed. Error:[-1: host "
          "unreachable: mbx01.corp.example (" +
              reason + ")]]",
          std::string("[DiscoverDag]: Failed to launch PshimProxy on server MBX01, trying "
                      "another one."),
          std::string("[LaunchPshimFrom]: Launch PshimProxy From 'mbx02.corp.example' succeed.")}) {
      EXPECT_NE(log.find(line), std::string::npos) << line << "\nin\n" << log;
    }
    EXPECT_EQ(ProcessesNaming(config), 0);
  }
}

// A tool that never answers is killed at the remote timeout, on the server
// as well: the session's input ends, and the server's side ends the tool.
TEST_F(SshTest, AHangingToolIsKilledAtTheTimeoutOnTheServerToo) {
  const std::string pidFile = env_.dir() + "/tool.pid";
  env_.InstallTool("mbx02.corp.example", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 60\n");
  UseSsh(config_);
  tzplatform::SetRemoteTimeout(3);
  CTzNetwork session;
  ASSERT_FALSE(Attach(session, "mbx02.corp.example", "-dagNode").IsError());
  EXPECT_EQ(Receive(session).AsString(), "-7: no answer within 3 s; killed");
  const pid_t tool = tztest::ReadPid(pidFile);
  ASSERT_GT(tool, 0);
  EXPECT_TRUE(tztest::ProcessEnds(tool));
}

// SIGTERM stops tzdag while the tool runs over ssh: ssh goes, the tool on
// the server goes, and no connection is left.
TEST_F(SshTest, SigtermEndsSshAndTheToolOnTheServer) {
  const std::string pidFile = env_.dir() + "/tool.pid";
  env_.InstallTool("mbx02.corp.example", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 60\n");
  std::vector<std::string> args = tztest::OptionsFor(env_);
  for (const char* word : {"discover-dbs", "--orbal", "1", "--client", "2"}) args.push_back(word);
  tztest::TzdagProcess tzdag(args, "", SshEnvironment(config_));
  const pid_t tool = tztest::WaitForPid(pidFile);
  ASSERT_GT(tool, 0);
  kill(tzdag.pid(), SIGTERM);
  const tztest::ToolRun run = tzdag.Wait();
  EXPECT_EQ(run.exitCode, 128 + SIGTERM) << run.err;
  EXPECT_NE(run.err.find("Error:[-11: cancelled after 0 bytes of output; killed]"),
            std::string::npos)
      << run.err;
  EXPECT_TRUE(tztest::ProcessEnds(tool));
  EXPECT_EQ(ProcessesNaming(config_), 0);
}

// The doctor's probes run side by side, one connection per host: every
// further launch to a host (the database checks ask the answering server
// again) goes over the connection its probe opened.
TEST_F(SshTest, TheDoctorsLaunchesShareOneConnectionPerHost) {
  json fixture = tztest::DemoFixture();
  fixture["remote"]["hosts"].push_back("mbx01.corp.example");
  tztest::TestEnv env(fixture);
  tztest::TestSshServer server(env.remoteRoot());
  std::vector<std::string> hosts = Hosts(env);
  const std::string config = server.ClientConfig(hosts);
  const std::string counter = env.dir() + "/launches";
  // Each launch is counted, by host, before the simulator answers.
  for (const std::string& host : hosts) {
    env.InstallTool(host, "#!/bin/bash\necho " + host + " >> " + counter + "\nexec -a \"$0\" " +
                              tztest::SimulatorPath() + " \"$@\"\n");
  }
  const tztest::ToolRun run = tztest::RunTzdagIn(
      env, {"--json", "doctor", "--orbal", "1", "--client", "2"}, SshEnvironment(config));
  EXPECT_EQ(json::parse(run.out)["clients"][0]["probes"].size(), 2u) << run.out;
  // The probes run side by side; the first to answer (MBX01) is asked again
  // for the database checks.
  std::vector<std::string> launches;
  std::istringstream counted(tztest::ReadFile(counter));
  for (std::string host; std::getline(counted, host);) launches.push_back(host);
  std::sort(launches.begin(), launches.end());
  EXPECT_EQ(launches, (std::vector<std::string>{"mbx01.corp.example", "mbx01.corp.example",
                                                "mbx01.corp.example", "mbx02.corp.example"}));
  EXPECT_EQ(server.Logins(), 2);
  EXPECT_EQ(ProcessesNaming(config), 0);
}

// A connection lasts as long as its process, unless TZ_SSH_PERSIST asks
// for more: then the next process uses it, and it is still there after.
TEST_F(SshTest, AConnectionOutlivesItsProcessOnlyWhenAskedTo) {
  const std::vector<std::string> discover = {"discover-dbs", "--orbal", "1", "--client", "2"};
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(tztest::RunTzdagIn(env_, discover, SshEnvironment(config_)).exitCode, 0);
  }
  EXPECT_EQ(server_.Logins(), 2);
  EXPECT_EQ(ProcessesNaming(config_), 0);

  tztest::Environment persist = SshEnvironment(config_);
  persist["TZ_SSH_PERSIST"] = "60";
  persist["XDG_RUNTIME_DIR"] = env_.dir();
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(tztest::RunTzdagIn(env_, discover, persist).exitCode, 0);
  }
  EXPECT_EQ(server_.Logins(), 3);
  EXPECT_EQ(ProcessesNaming(config_), 1);
  const tztest::ToolRun exit = tztest::RunProgram(
      "/usr/bin/ssh", {"-F", config_, "-o", "ControlPath=" + env_.dir() + "/tzdag-ssh/%C", "-O",
                       "exit", "mbx02.corp.example"});
  EXPECT_EQ(exit.exitCode, 0) << exit.err;
  EXPECT_TRUE(NoneNaming(config_));
}

// Each hostile value of the quoting table (those without a blank, which the
// argument string cannot carry) reaches the tool through the sh server as
// the one argument it was; none runs anything.
TEST_F(SshTest, HostileValuesReachTheToolAsTheyWereThroughSh) {
  const std::string seen = env_.dir() + "/seen", marker = env_.dir() + "/x";
  env_.InstallTool("mbx02.corp.example",
                   tztest::PrintingTool(tztest::ErrorXml("done"),
                                        "for a; do printf '%s\\0' \"$a\"; done > " + seen + "\n"));
  UseSsh(config_);
  std::vector<std::string> words = {"a;touch${IFS}" + marker, "$(touch${IFS}" + marker + ")",
                                    "`touch${IFS}" + marker + "`", "a'b", "a\"b"};
  const json table = tztest::PlatformCases("remote_shell");
  for (const json& row : table["words"]) {
    const std::string word = row.value("word", "");
    if (!word.empty() && word.find_first_of(" \t") == std::string::npos &&
        word.find('\0') == std::string::npos) {
      words.push_back(word);
    }
  }
  for (const std::string& word : words) {
    SCOPED_TRACE(word);
    CTzNetwork session;
    ASSERT_FALSE(Attach(session, "mbx02.corp.example", "-dagn " + word).IsError());
    EXPECT_FALSE(Receive(session).IsError());
    EXPECT_EQ(tztest::ReadFile(seen), std::string("-dagn\0", 6) + word + std::string(1, '\0'));
  }
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_EQ(server_.Logins(), 1);
  // A host that ssh would read as an option is not one.
  CTzNetwork session;
  EXPECT_EQ(Attach(session, "-oProxyCommand=touch${IFS}" + marker, "-dagNode").AsString(),
            "-1: host unreachable: '-oProxyCommand=touch${IFS}" + marker + "' is not a host name");
}

}  // namespace
