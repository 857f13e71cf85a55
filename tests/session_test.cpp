// The remote command session over local processes: what the program is
// started with, every way a run can fail, and that nothing outlives a session.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log_lines.h"
#include "process_census.h"
#include "records_support.h"
#include "temp_dir.h"
#include "tzdag/records.h"
#include "tzplatform/CTzNetwork.h"
#include "tzplatform/codec.h"
#include "tzplatform/fixture.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

CNSession::tzsExecuteRemoteCommandType Request(const std::string& arguments,
                                               const std::string& executable = "PshimProxy.exe") {
  CNSession::tzsExecuteRemoteCommandType request;
  request.setField1(0);
  request.setExecutable(executable);
  request.setArguments(arguments);
  request.setField4(1);
  request.setField5(0);
  return request;
}

struct ToolRun {
  CWqError attach;
  CWqError receive;
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
  bool receiveFlag = false;
  run.receive = session.ReceiveXMLMessage(nullptr, &message, nullptr, 0, -1, receiveFlag);
  run.message.reset(message);
  if (run.receive.IsError()) {
    EXPECT_EQ(message, nullptr);
  }
  return run;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Uvo::RegisterSubsystem();
    TZGui::RegisterSubsystem();
    root_ = dir_.File("remote");
    std::filesystem::create_directories(root_);
    tzplatform::SetRemoteRoot(root_);
    tzplatform::SetRemoteTimeout(10);
  }
  void TearDown() override {
    tzplatform::ResetSettings();
    tzplatform::SetMaxRemoteOutputForTest(0);
    tzplatform::ResumeRemoteCommands();
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
  std::string root_;
};

TEST_F(SessionTest, EveryFailureHasItsCodeAndTextAndLeavesNothingBehind) {
  struct Case {
    const char* host;
    const char* executable;
    const char* script;  // mbx01's tool; null: no host folder, "": a folder without a tool
    bool failsAtAttach;
    int32_t code;
    std::string text;  // after "<code>: "; ROOT stands for the remote root, "*" any text
    unsigned mode = 0755;
    int timeout = 10;
    size_t maxOutput = 0;  // 0: the real bound
  };
  const char* kExe = "PshimProxy.exe";
  const int32_t kUnreachable = CWqError::kHostUnreachable;
  // clang-format off
  const Case cases[] = {
      {"mbx09", kExe, nullptr, true, kUnreachable,
       "host unreachable: mbx09 (no folder ROOT/mbx09)"},
      {"", kExe, nullptr, true, kUnreachable, "host unreachable: '' is not a host name"},
      {"..", kExe, nullptr, true, kUnreachable, "host unreachable: '..' is not a host name"},
      {"mbx01/../mbx01", kExe, nullptr, true, kUnreachable,
       "host unreachable: 'mbx01/../mbx01' is not a host name"},
      {"mbx01", kExe, "", true, CWqError::kToolNotInstalled,
       "tool not installed: no PshimProxy.exe in ROOT/mbx01"},
      {"mbx01", "../x/PshimProxy.exe", nullptr, true, CWqError::kBadRequest,
       "bad request: executable '../x/PshimProxy.exe' is not a plain file name"},
      {"mbx01", "", nullptr, true, CWqError::kBadRequest,
       "bad request: the command names no executable"},
      {"mbx01", kExe, "#!/bin/sh\necho hi\n", true, CWqError::kStartFailed,
       "start failed: ROOT/mbx01/PshimProxy.exe: Permission denied", 0644},
      {"mbx01", kExe, "echo no interpreter line\n", true, CWqError::kStartFailed,
       "start failed: ROOT/mbx01/PshimProxy.exe: Exec format error"},
      {"mbx01", kExe, "#!/bin/sh\nexit 3\n", false, CWqError::kExitedWithoutOutput,
       "exited with status 3 without output"},
      {"mbx01", kExe, "#!/bin/sh\nexit 0\n", false, CWqError::kBadOutput,
       "output does not decode: no output (exit status 0)"},
      {"mbx01", kExe, "#!/bin/sh\nkill -9 $$\n", false, CWqError::kExitedWithoutOutput,
       "killed by signal 9 (Killed) without output"},
      {"mbx01", kExe, "#!/bin/sh\nprintf '<Proxy'\nkill -9 $$\n", false, CWqError::kBadOutput,
       "killed by signal 9 (Killed) after 6 bytes of output"},
      {"mbx01", kExe, "#!/bin/sh\necho 'this is not XML'\n", false, CWqError::kBadOutput,
       "output does not decode: *"},
      {"mbx01", kExe, "#!/bin/sh\necho '<Unknown/>'\n", false, CWqError::kBadOutput,
       "output does not decode: *"},
      // Only a program that exits with status 0 has answered, whatever it
      // printed; one that does not end in time has not answered either.
      {"mbx01", kExe, "#!/bin/sh\necho 'not XML'\nexit 2\n", false, CWqError::kBadOutput,
       "exited with status 2 after 8 bytes of output"},
      {"mbx01", kExe, "#!/bin/sh\necho '<ProxyErrorMessage errorText=\"x\"/>'\nexit 5\n", false,
       CWqError::kBadOutput, "exited with status 5 after 35 bytes of output"},
      {"mbx01", kExe, "#!/bin/sh\necho '<ProxyErrorMessage errorText=\"x\"/>'\nexec sleep 60\n",
       false, CWqError::kTimedOut, "answered 35 bytes but did not exit within 1 s; killed", 0755,
       1},
      {"mbx01", kExe,
       "#!/bin/sh\necho '<ProxyErrorMessage errorText=\"x\"/>'\nexec >&-\nexec sleep 60\n", false,
       CWqError::kTimedOut, "answered 35 bytes but did not exit within 1 s; killed", 0755, 1},
      {"mbx01", kExe, "#!/bin/sh\nhead -c 5000 /dev/zero\n", false, CWqError::kOutputTooLarge,
       "output above 1000 bytes; killed", 0755, 10, 1000},
      {"mbx01", kExe, "#!/bin/sh\nexec sleep 60\n", false, CWqError::kTimedOut,
       "no answer within 1 s; killed", 0755, 1},
  };
  // clang-format on

  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
    tzplatform::SetRemoteTimeout(c.timeout);
    tzplatform::SetMaxRemoteOutputForTest(c.maxOutput);
    if (c.script != nullptr && *c.script == '\0') {
      std::filesystem::create_directories(root_ + "/mbx01");
    } else if (c.script != nullptr) {
      InstallTool("mbx01", c.script, c.mode);
    }
    const int descriptors = tztest::OpenDescriptorCount();

    ToolRun run = RunTool(c.host, Request("-dag 1 -cid 2 -hn MBX01", c.executable));

    const CWqError& result = c.failsAtAttach ? run.attach : run.receive;
    if (!c.failsAtAttach) {
      EXPECT_FALSE(run.attach.IsError()) << run.attach.AsString();
    }
    EXPECT_TRUE(result.IsError());
    EXPECT_EQ(result.code, c.code);
    std::string text = c.text;
    for (size_t at = text.find("ROOT"); at != std::string::npos; at = text.find("ROOT")) {
      text.replace(at, 4, root_);
    }
    EXPECT_TRUE(tztest::LinesAre({result.AsString()}, {std::to_string(c.code) + ": " + text}));
    EXPECT_EQ(run.message, nullptr);
    EXPECT_FALSE(tztest::HasChildProcess());
    EXPECT_EQ(tztest::OpenDescriptorCount(), descriptors);
  }
}

TEST_F(SessionTest, EndlessOutputStopsAtTheRealBound) {
  InstallTool("mbx01", "#!/bin/sh\nexec cat /dev/zero\n");
  // Only the bound may end this run, however slowly an instrumented build
  // (ThreadSanitizer, Valgrind) reads 64 MiB.
  tzplatform::SetRemoteTimeout(600);
  ToolRun run = RunTool("mbx01", Request("-dagNode"));
  EXPECT_EQ(run.receive.AsString(),
            "-6: output above " + std::to_string(tzplatform::kMaxRemoteOutput) + " bytes; killed");
  EXPECT_FALSE(tztest::HasChildProcess());
}

TEST_F(SessionTest, ToolSeesTheArgumentStringSplitAtBlanksAndTheSessionEnvironment) {
  const std::string seen = dir_.File("seen.txt");
  tztest::WriteFile(dir_.File("answer.xml"), tztest::ErrorXml("done"));
  const std::string path = InstallTool(
      "mbx01.corp.example",
      "#!/bin/sh\n"
      "for a in \"$0\" \"$@\"; do printf '[%s]\\n' \"$a\"; done > " +
          seen +
          "\n"
          "printf 'host=%s\\nclient=%s\\n' \"$TZ_REMOTE_HOST\" \"$TZ_LOCAL_CLIENT\" >> " +
          seen +
          "\n"
          "if read -r line; then echo 'stdin had data' >> " +
          seen +
          "; fi\n"
          "cat " +
          dir_.File("answer.xml") + "\n");
  setenv("TZ_REMOTE_HOST", "inherited-and-replaced", 1);

  ToolRun run =
      RunTool("mbx01.corp.example", Request("-dag 0  -ua -la -j -5 -cid 12 -hn EX MB2 \tlast "),
              "linux client 7");
  unsetenv("TZ_REMOTE_HOST");

  ASSERT_FALSE(run.receive.IsError()) << run.receive.AsString();
  ASSERT_NE(run.message, nullptr);
  EXPECT_EQ(run.message->getTagID(), ProxyErrorMessage::kClassKey);
  EXPECT_EQ(tztest::ReadFile(seen), "[" + path +
                                        "]\n[-dag]\n[0]\n[-ua]\n[-la]\n[-j]\n[-5]\n"
                                        "[-cid]\n[12]\n[-hn]\n[EX]\n[MB2]\n[last]\n"
                                        "host=mbx01.corp.example\nclient=linux client 7\n");
}

TEST_F(SessionTest, HangingToolAndWhatItStartedAreKilledAtTheTimeout) {
  tzplatform::SetRemoteTimeout(1);
  const std::string pidFile = dir_.File("helper.pid");
  InstallTool("mbx01", "#!/bin/sh\nsleep 60 &\necho $! > " + pidFile + "\nexec sleep 60\n");
  const int descriptors = tztest::OpenDescriptorCount();

  auto start = std::chrono::steady_clock::now();
  ToolRun run = RunTool("mbx01", Request("-dagNode"));
  auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(run.receive.AsString(), "-7: no answer within 1 s; killed");
  EXPECT_GE(took, std::chrono::seconds(1));
  EXPECT_LT(took, std::chrono::seconds(30));  // far below the tool's own 60 s
  EXPECT_FALSE(tztest::HasChildProcess());
  EXPECT_EQ(tztest::OpenDescriptorCount(), descriptors);
  pid_t helper = tztest::ReadPid(pidFile);
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(tztest::ProcessEnds(helper));
}

TEST_F(SessionTest, CancelEndsARunningProgramWithItsGroupAndRefusesNewOnes) {
  const std::string pidFile = dir_.File("tool.pid");
  InstallTool("mbx01", "#!/bin/sh\necho $$ > " + pidFile + "\nsleep 60 &\nwait\n");
  InstallTool("mbx02", tztest::PrintingTool(tztest::ErrorXml("done")));
  const int descriptors = tztest::OpenDescriptorCount();

  ToolRun cancelled;
  std::thread caller([&cancelled] { cancelled = RunTool("mbx01", Request("-dagNode")); });
  const pid_t tool = tztest::WaitForPid(pidFile);
  tzplatform::CancelRemoteCommands();
  caller.join();

  EXPECT_EQ(cancelled.receive.AsString(), "-11: cancelled after 0 bytes of output; killed");
  ASSERT_GT(tool, 0);
  EXPECT_TRUE(tztest::GroupEnds(tool));  // the tool leads its group
  EXPECT_FALSE(tztest::HasChildProcess());
  EXPECT_EQ(tztest::OpenDescriptorCount(), descriptors);

  EXPECT_EQ(RunTool("mbx02", Request("-dagNode")).attach.AsString(),
            "-11: cancelled: remote commands are stopped; not started");
  EXPECT_FALSE(tztest::HasChildProcess());
  tzplatform::ResumeRemoteCommands();
  EXPECT_FALSE(RunTool("mbx02", Request("-dagNode")).receive.IsError());
}

TEST_F(SessionTest, NoToolStartsWithoutAValidTimeout) {
  InstallTool("mbx01", tztest::PrintingTool(tztest::ErrorXml("done")));
  tzplatform::ResetSettings();
  tzplatform::SetRemoteRoot(root_);
  setenv("TZ_REMOTE_TIMEOUT", "1.5", 1);
  ToolRun run = RunTool("mbx01", Request("-dagNode"));
  unsetenv("TZ_REMOTE_TIMEOUT");
  EXPECT_EQ(run.attach.AsString(),
            "-9: bad request: TZ_REMOTE_TIMEOUT: '1.5' is not a number of seconds (a whole number "
            "from 1 to 2147483647)");
  EXPECT_FALSE(tztest::HasChildProcess());
}

TEST_F(SessionTest, ProgramsLeftBehindByAFinishedToolAreKilled) {
  const std::string pidFile = dir_.File("helper.pid");
  // The helper keeps the output pipe open: the answer must not wait for it.
  InstallTool("mbx01", tztest::PrintingTool(tztest::ErrorXml("done"),
                                            "sleep 60 &\necho $! > " + pidFile + "\n"));
  auto start = std::chrono::steady_clock::now();
  ToolRun run = RunTool("mbx01", Request("-dagNode"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_FALSE(run.receive.IsError()) << run.receive.AsString();
  pid_t helper = tztest::ReadPid(pidFile);
  ASSERT_GT(helper, 0);
  EXPECT_TRUE(tztest::ProcessEnds(helper));
}

TEST_F(SessionTest, DestroyingAnAttachedSessionKillsAndReapsItsProgram) {
  const std::string pidFile = dir_.File("tool.pid");
  InstallTool("mbx01", "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 60\n");
  const int descriptors = tztest::OpenDescriptorCount();
  {
    CTzNetwork session;
    bool flag = false;
    auto request = Request("-dagNode");
    ASSERT_FALSE(
        session.Attach_RemoteCommand("mbx01", request, nullptr, "linux01", 120, flag).IsError());
    EXPECT_TRUE(tztest::HasChildProcess());
  }
  EXPECT_FALSE(tztest::HasChildProcess());
  EXPECT_EQ(tztest::OpenDescriptorCount(), descriptors);
}

TEST_F(SessionTest, ReceiveNeedsOneSuccessfulAttachAndAnswersOnce) {
  InstallTool("mbx01", tztest::PrintingTool(tztest::ErrorXml("done")));
  auto request = Request("-dagNode");
  bool flag = false;
  CNMessageBase* message = nullptr;

  CTzNetwork fresh;
  EXPECT_EQ(fresh.ReceiveXMLMessage(nullptr, &message, nullptr, 0, -1, flag).AsString(),
            "-8: not attached: receive without a successful attach");
  EXPECT_EQ(message, nullptr);

  CTzNetwork failed;
  EXPECT_EQ(failed.Attach_RemoteCommand("nohost", request, nullptr, "c", 120, flag).code,
            CWqError::kHostUnreachable);
  EXPECT_EQ(failed.ReceiveXMLMessage(nullptr, &message, nullptr, 0, -1, flag).code,
            CWqError::kNotAttached);

  CTzNetwork session;
  ASSERT_FALSE(session.Attach_RemoteCommand("mbx01", request, nullptr, "c", 120, flag).IsError());
  EXPECT_EQ(session.Attach_RemoteCommand("mbx01", request, nullptr, "c", 120, flag).AsString(),
            "-9: bad request: the session is already attached to a program");
  uint32_t id = 0;
  std::string header = "stale";
  ASSERT_FALSE(session.ReceiveXMLMessage(&id, &message, &header, 0, -1, flag).IsError());
  std::unique_ptr<CNMessageBase> owned(message);
  EXPECT_EQ(id, ProxyErrorMessage::kClassKey);
  EXPECT_EQ(header, "");
  message = nullptr;
  EXPECT_EQ(session.ReceiveXMLMessage(nullptr, &message, nullptr, 0, -1, flag).AsString(),
            "-8: not attached: the answer was already received");
  EXPECT_EQ(session.Attach_RemoteCommand("mbx01", request, nullptr, "c", 120, flag).code,
            CWqError::kBadRequest);
  EXPECT_EQ(session.ReceiveXMLMessage(nullptr, nullptr, nullptr, 0, -1, flag).code,
            CWqError::kBadRequest);
}

TEST_F(SessionTest, ParallelSessionsEachGetTheirOwnAnswer) {
  const int kSessions = 6;
  for (int i = 0; i < kSessions; ++i) {
    const std::string host = "mbx0" + std::to_string(i);
    InstallTool(host, tztest::PrintingTool(tztest::ErrorXml("answer of " + host), "sleep 0.2\n"));
  }
  tzplatform::SessionRecorder recorder;
  std::vector<std::string> answers(kSessions);
  std::vector<std::thread> threads;
  for (int i = 0; i < kSessions; ++i) {
    threads.emplace_back([i, &answers] {
      ToolRun run = RunTool("mbx0" + std::to_string(i), Request("-dagNode"));
      if (run.message)
        answers[i] = run.message->getstring(2, 2, ProxyErrorMessage::kClassKey, 12053727);
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kSessions; ++i) EXPECT_EQ(answers[i], "answer of mbx0" + std::to_string(i));
  EXPECT_EQ(recorder.Attaches().size(), static_cast<size_t>(kSessions));
  EXPECT_EQ(recorder.SessionsDestroyed(), kSessions);
  EXPECT_FALSE(tztest::HasChildProcess());
}

TEST_F(SessionTest, ARecordOfAnotherKindIsNoRequest) {
  Uvo::DAGDBResp notARequest;
  ToolRun run = RunTool("mbx01", notARequest);
  EXPECT_EQ(run.attach.AsString(),
            "-9: bad request: the command is not a remote command record (tag id 369539416)");
}

// --- the simulator behind the session, with a fixture's failure modes ------

#ifdef TZ_PSHIM_SIM_PATH
TEST_F(SessionTest, SimulatorFailureModesReachTheCallerAsTheyShould) {
  std::filesystem::remove_all(root_);
  nlohmann::json remote = {
      {"hosts", {"good", "tool-error", "garbage", "exit", "hang", "wrong"}},
      {"dags",
       {{{"name", "DAG01"},
         {"members", {{{"name", "MBX01"}, {"agent", true}}}},
         {"databases",
          {{{"name", "First\\DB01"}, {"copies", {{{"server", "MBX01"}, {"active", true}}}}}}}}}},
      {"failures",
       {{"tool-error", "toolError"},
        {"garbage", "garbage"},
        {"exit", "exit"},
        {"hang", "hang"},
        {"wrong", "wrongMessage"}}}};
  tzplatform::CreateRemoteRootFromFixture(remote, root_, TZ_PSHIM_SIM_PATH);
  tzplatform::SetRemoteTimeout(1);

  struct Case {
    const char* host;
    const char* arguments;
    int32_t code;      // of the receive
    const char* text;  // start of its text; empty for success
    uint32_t tag;      // of the record on success
  };
  const Case cases[] = {
      {"good", "-dag 1 -cid 2 -hn mbx01", 0, "", Uvo::DAGDBResp::kClassKey},
      {"good", "-dagNode", 0, "", Uvo::DAGDiscoverResp::kClassKey},
      {"tool-error", "-dagNode", 0, "", ProxyErrorMessage::kClassKey},
      {"garbage", "-dagNode", CWqError::kBadOutput, "-5: output does not decode: ", 0},
      {"exit", "-dagNode", CWqError::kExitedWithoutOutput,
       "-4: exited with status 3 without output", 0},
      {"hang", "-dagNode", CWqError::kTimedOut, "-7: no answer within 1 s; killed", 0},
      {"wrong", "-dag 1 -cid 2 -hn MBX01", 0, "", Uvo::DAGDiscoverResp::kClassKey},
      {"wrong", "-dagNode", 0, "", Uvo::DAGDBResp::kClassKey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + c.arguments);
    const int descriptors = tztest::OpenDescriptorCount();
    ToolRun run = RunTool(c.host, Request(c.arguments));
    ASSERT_FALSE(run.attach.IsError()) << run.attach.AsString();
    EXPECT_EQ(run.receive.code, c.code) << run.receive.AsString();
    if (c.code != 0) {
      EXPECT_THAT(run.receive.AsString(), StartsWith(c.text));
    } else {
      ASSERT_NE(run.message, nullptr);
      EXPECT_EQ(run.message->getTagID(), c.tag);
    }
    EXPECT_FALSE(tztest::HasChildProcess());
    EXPECT_EQ(tztest::OpenDescriptorCount(), descriptors);
  }

  // The database answer keeps the attribute the library never reads.
  ToolRun run = RunTool("good", Request("-dag 1 -cid 2 -hn MBX01"));
  ASSERT_NE(run.message, nullptr);
  std::string xml;
  run.message->serialize(xml, false);
  EXPECT_THAT(xml, HasSubstr("mountedOn=\"MBX01\""));
}
#endif

// --- the test seam -----------------------------------------------------------

// The seam as the library's tests use it; what they ask of it (refused
// attaches, answers without a record, each request field) they check
// themselves.
TEST_F(SessionTest, InterceptModeRecordsWhatWasAskedAndStartsNothing) {
  tzplatform::SessionRecorder recorder(tzplatform::SessionRecorder::Mode::kIntercept);
  // Without an answer set, the receive has nothing to give.
  EXPECT_EQ(RunTool("mbx01", Request("-dagNode")).receive.code, CWqError::kNotAttached);
  recorder.OnReceive([](const tzplatform::AttachRequest& asked) {
    return tzplatform::SessionRecorder::ReceiveAnswer{
        CWqError(), asked.arguments == "-dagNode" ? "<garbage" : tztest::ErrorXml(asked.host)};
  });
  EXPECT_EQ(RunTool("mbx01", Request("-dagNode")).receive.code, CWqError::kBadOutput);
  // No remote root folder for this host: nothing is looked up or started.
  ToolRun run = RunTool("nowhere.corp.example", Request("-dag 1 -ua -cid 12 -hn EXMB2"), "lx01");
  ASSERT_FALSE(run.receive.IsError()) << run.receive.AsString();
  ASSERT_NE(run.message, nullptr);
  EXPECT_EQ(tztest::Xml(*run.message), tztest::ErrorXml("nowhere.corp.example"));
  EXPECT_FALSE(tztest::HasChildProcess());
  run.message.reset();

  ASSERT_EQ(recorder.Attaches().size(), 3u);
  const tzplatform::AttachRequest asked = recorder.Attaches()[2];
  EXPECT_EQ(asked.host, "nowhere.corp.example");
  EXPECT_EQ(asked.executable, "PshimProxy.exe");
  EXPECT_EQ(asked.arguments, "-dag 1 -ua -cid 12 -hn EXMB2");
  EXPECT_EQ(asked.localClientName, "lx01");
  EXPECT_EQ(recorder.Receives(), 3);
  EXPECT_EQ(recorder.SessionsCreated(), 3);
  EXPECT_EQ(recorder.SessionsDestroyed(), 3);
}

}  // namespace
