// The remote command session over local processes: what the program is
// started with, every way a run can fail, and that nothing outlives a session.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>

#include "platform_cases.h"
#include "process_census.h"
#include "records_support.h"
#include "temp_dir.h"
#include "tzplatform/CTzNetwork.h"
#include "tzplatform/codec.h"
#include "tzplatform/log.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

CNSession::tzsExecuteRemoteCommandType Request(const std::string& arguments,
                                               const std::string& executable = "PshimProxy.exe") {
  CNSession::tzsExecuteRemoteCommandType request;
  request.setExecutable(executable);
  request.setArguments(arguments);
  return request;
}

struct ToolRun {
  CWqError attach, receive;
  std::unique_ptr<CNMessageBase> message;
};

// One session: attach, and receive when the attach succeeded.
ToolRun RunTool(const std::string& host, const CNMessageBase& request,
                const char* localClient = "linux01") {
  ToolRun run;
  CTzNetwork session;
  bool flag = true;
  run.attach = session.Attach_RemoteCommand(host.c_str(), request, nullptr, localClient, 120, flag);
  EXPECT_FALSE(flag);
  if (run.attach.IsError()) return run;
  CNMessageBase* message = nullptr;
  run.receive = session.ReceiveXMLMessage(nullptr, &message, nullptr, 0, -1, flag);
  run.message.reset(message);
  return run;
}

// Each test runs with the keeper program and, as where that cannot be
// executed, with keepers forked from the test process.
class SessionTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    tzplatform::SetForkedKeepersForTest(GetParam());
    Uvo::RegisterSubsystem();
    TZGui::RegisterSubsystem();
    std::filesystem::create_directories(root_);
    tzplatform::SetRemoteRoot(root_);
    tzplatform::SetRemoteTimeout(10);
    descriptors_ = tztest::OpenDescriptorCount();
  }
  void TearDown() override {
    tzplatform::ResetSettings();
    tzplatform::SetMaxRemoteOutputForTest(0);
    tzplatform::ResumeRemoteCommands();
    tzplatform::SetForkedKeepersForTest(false);
    EXPECT_FALSE(tztest::HasChildProcess());
    EXPECT_EQ(tztest::OpenDescriptorCount(), descriptors_);
  }

  // Installs `script` as the tool of `host`.
  std::string InstallTool(const std::string& host, const std::string& script,
                          unsigned mode = 0755) {
    std::filesystem::create_directories(root_ + "/" + host);
    std::string path = root_ + "/" + host + "/PshimProxy.exe";
    tztest::WriteFile(path, script, mode);
    return path;
  }

  tztest::TempDir dir_;
  std::string root_ = dir_.File("remote");
  int descriptors_ = 0;
};

// tests/data/platform/session_failures.json: a host's tool (none: no host
// folder; "": a folder without a tool) and the error its run ends with.
TEST_P(SessionTest, EveryFailureHasItsCodeAndTextAndLeavesNothingBehind) {
  for (const nlohmann::json& c : tztest::PlatformCases("session_failures")) {
    SCOPED_TRACE(c.dump());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_ + "/mbx01");
    if (c.contains("tool") && c["tool"] != "") {
      InstallTool("mbx01", c["tool"], std::stoul(c.value("mode", "0755"), nullptr, 8));
    } else if (!c.contains("tool")) {
      std::filesystem::remove_all(root_ + "/mbx01");
    }
    tzplatform::SetRemoteTimeout(c.value("timeout", 10));
    tzplatform::SetMaxRemoteOutputForTest(c.value("maxOutput", 0));

    ToolRun run =
        RunTool(c.value("host", "mbx01"),
                Request("-dag 1 -cid 2 -hn MBX01", c.value("executable", "PshimProxy.exe")));

    std::string error = c["error"];
    for (size_t at; (at = error.find("ROOT")) != std::string::npos;) error.replace(at, 4, root_);
    EXPECT_EQ((c["attach"] ? run.attach : run.receive).AsString(), error);
    EXPECT_EQ(run.message, nullptr);
  }
  Uvo::DAGDBResp notARequest;
  EXPECT_EQ(RunTool("mbx01", notARequest).attach.AsString(),
            "-9: bad request: the command is not a remote command record (tag id 369539416)");
}

TEST_P(SessionTest, EndlessOutputStopsAtTheRealBound) {
  InstallTool("mbx01", "#!/bin/sh\nexec cat /dev/zero\n");
  // Only the bound may end this run, however slowly an instrumented build
  // (ThreadSanitizer, Valgrind) reads 64 MiB.
  tzplatform::SetRemoteTimeout(600);
  EXPECT_EQ(RunTool("mbx01", Request("-dagNode")).receive.AsString(),
            "-6: output above " + std::to_string(tzplatform::kMaxRemoteOutput) + " bytes; killed");
}

TEST_P(SessionTest, ToolSeesTheArgumentStringSplitAtBlanksAndTheSessionEnvironment) {
  const std::string seen = dir_.File("seen.txt");
  const std::string path = InstallTool(
      "mbx01.corp.example",
      tztest::PrintingTool(tztest::ErrorXml("done"),
                           "{ printf '[%s]\\n' \"$0\" \"$@\"; echo \"host=$TZ_REMOTE_HOST\"; echo "
                           "\"client=$TZ_LOCAL_CLIENT\"; echo \"secret=$SECRET_TOKEN\"; "
                           "if read -r l; then echo 'stdin had data'; fi; ls /proc/self/fd; "
                           "grep ^SigIgn /proc/self/status; } > " +
                               seen + "\n"));
  // Its signal mask as it started: a shell clears the mask itself.
  const std::string mask = dir_.File("mask.txt");
  InstallTool("mbx02",
              "#!/usr/bin/perl\nopen(my $in, '<', '/proc/self/status') or die;\n"
              "open(my $out, '>', '" +
                  mask +
                  "') or die;\n"
                  "print $out grep { /^SigBlk/ } <$in>;\nprint <<'END_OF_ANSWER';\n" +
                  tztest::ErrorXml("done") + "\nEND_OF_ANSWER\n");
  setenv("TZ_REMOTE_HOST", "inherited-and-replaced", 1);
  setenv("SECRET_TOKEN", "hunter2", 1);
  // A descriptor of the caller's that is not close-on-exec, and signals the
  // caller ignores and blocks: the tool starts with none of them.
  const int inherited = open("/dev/null", O_RDONLY);
  struct sigaction ignore = {}, pipeBefore = {}, quitBefore = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &pipeBefore);
  sigaction(SIGQUIT, &ignore, &quitBefore);
  sigset_t blocked, maskBefore;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR1);
  sigaddset(&blocked, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &blocked, &maskBefore);
  ToolRun run = RunTool("mbx01.corp.example",
                        Request("-dag 0  -ua -j -5 -cid 12 -hn EX MB2 \tlast "), "linux client 7");
  const ToolRun maskRun = RunTool("mbx02", Request("-dagNode"));
  pthread_sigmask(SIG_SETMASK, &maskBefore, nullptr);
  sigaction(SIGPIPE, &pipeBefore, nullptr);
  sigaction(SIGQUIT, &quitBefore, nullptr);
  close(inherited);
  unsetenv("TZ_REMOTE_HOST");
  unsetenv("SECRET_TOKEN");

  ASSERT_NE(run.message, nullptr) << run.receive.AsString();
  EXPECT_EQ(run.message->getTagID(), ProxyErrorMessage::kClassKey);
  // Descriptor 3 is ls's own listing.
  EXPECT_EQ(tztest::ReadFile(seen),
            "[" + path +
                "]\n[-dag]\n[0]\n[-ua]\n[-j]\n[-5]\n[-cid]\n[12]\n[-hn]\n[EX]\n"
                "[MB2]\n[last]\nhost=mbx01.corp.example\nclient=linux client 7\nsecret=\n"
                "0\n1\n2\n3\nSigIgn:\t0000000000000000\n");
  ASSERT_NE(maskRun.message, nullptr) << maskRun.receive.AsString();
  EXPECT_EQ(tztest::ReadFile(mask), "SigBlk:\t0000000000000000\n");
}

// What a tool writes to its standard error is logged at level 1 once it
// ended, line by line, however it ended; of much, only the end is kept.
TEST_P(SessionTest, StandardErrorIsLoggedAtLevelOne) {
  InstallTool("mbx01",
              tztest::PrintingTool(tztest::ErrorXml("done"), "printf 'one\\n\\ntwo\\033[m' >&2\n"));
  InstallTool("mbx02", "#!/bin/sh\nseq 200 | sed 's/^/standard error line /' >&2\nexit 4\n");
  tzplatform::SetDebugLevel(1);
  tzplatform::LogCapture capture;
  EXPECT_FALSE(RunTool("mbx01", Request("-dagNode")).receive.IsError());
  EXPECT_EQ(capture.Texts(),
            (std::vector<std::string>{"PshimProxy.exe on mbx01 wrote 11 bytes to standard error:",
                                      "  one", "  ", "  two\x1b[m"}));
  capture.Clear();
  EXPECT_EQ(RunTool("mbx02", Request("-dagNode")).receive.AsString(),
            "-4: exited with status 4 without output (standard error: standard error line 200)");
  const std::vector<std::string> lines = capture.Texts();
  ASSERT_GT(lines.size(), 2u);
  // 4692 bytes; the end kept starts on a line of its own.
  EXPECT_EQ(lines.front(),
            "PshimProxy.exe on mbx02 wrote 4692 bytes to standard error, ending with:");
  EXPECT_EQ(lines[1], "  standard error line " + std::to_string(201 - (lines.size() - 1)));
  EXPECT_EQ(lines.back(), "  standard error line 200");
  EXPECT_LT(lines.size(), 200u);
  tzplatform::SetDebugLevel(0);
  capture.Clear();
  RunTool("mbx02", Request("-dagNode"));
  EXPECT_TRUE(capture.Texts().empty());
}

// Whatever a tool started goes with it, in its group or not: what a hanging
// tool started, and what a finished one left running, holding its output or
// not, in a session of its own or as a daemon that forked twice (the answer
// does not wait for any of them).
TEST_P(SessionTest, ProgramsAToolStartedAreKilledWithIt) {
  const std::string left =
      "sleep 60 &\necho $! > " + dir_.File("group.pid") + "\nsetsid sleep 60 &\necho $! > " +
      dir_.File("session.pid") + "\nsetsid sleep 60 </dev/null >/dev/null 2>&1 &\necho $! > " +
      dir_.File("closed.pid") + "\nsh -c 'setsid sleep 60 </dev/null >/dev/null 2>&1 & echo $! > " +
      dir_.File("daemon.pid") + "'\n";
  InstallTool("mbx01", "#!/bin/sh\n" + left + "exec sleep 60\n");
  InstallTool("mbx02", tztest::PrintingTool(tztest::ErrorXml("done"), left));
  for (const char* host : {"mbx01", "mbx02"}) {
    SCOPED_TRACE(host);
    tzplatform::SetRemoteTimeout(2);
    const ToolRun run = RunTool(host, Request("-dagNode"));
    EXPECT_EQ(run.receive.IsError(),
              host == std::string("mbx01"));  // its text: session_failures.json
    for (const char* pidFile : {"group.pid", "session.pid", "closed.pid", "daemon.pid"}) {
      const pid_t helper = tztest::ReadPid(dir_.File(pidFile));
      ASSERT_GT(helper, 0) << pidFile;
      // Gone already, not on its way out.
      EXPECT_EQ(kill(helper, 0), -1) << pidFile;
      std::filesystem::remove(dir_.File(pidFile));
    }
  }
}

// A cancel ends a running tool with its group (DiscoverExDatabaseTest
// checks that through the library); it also refuses new ones until resumed.
TEST_P(SessionTest, CancelRefusesNewProgramsUntilResumed) {
  InstallTool("mbx02", tztest::PrintingTool(tztest::ErrorXml("done")));
  tzplatform::CancelRemoteCommands();
  EXPECT_EQ(RunTool("mbx02", Request("-dagNode")).attach.AsString(),
            "-11: cancelled: remote commands are stopped; not started");
  tzplatform::ResumeRemoteCommands();
  EXPECT_FALSE(RunTool("mbx02", Request("-dagNode")).receive.IsError());
}

// A receive needs a successful attach; a session destroyed while attached
// kills and reaps its program.
TEST_P(SessionTest, ReceiveNeedsASuccessfulAttachAndTheProgramEndsWithTheSession) {
  InstallTool("mbx02", "#!/bin/sh\nexec sleep 60\n");
  bool flag = false;
  CNMessageBase* message = nullptr;
  CTzNetwork failed;
  EXPECT_EQ(
      failed.Attach_RemoteCommand("nohost", Request("-dagNode"), nullptr, "c", 120, flag).code,
      CWqError::kHostUnreachable);
  EXPECT_EQ(failed.ReceiveXMLMessage(nullptr, &message, nullptr, 0, -1, flag).AsString(),
            "-8: not attached: receive without a successful attach");
  {
    CTzNetwork left;
    ASSERT_FALSE(
        left.Attach_RemoteCommand("mbx02", Request("-dagNode"), nullptr, "c", 120, flag).IsError());
    EXPECT_TRUE(tztest::HasChildProcess());
  }
}

INSTANTIATE_TEST_SUITE_P(Keepers, SessionTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Forked" : "Program";
                         });

}  // namespace
