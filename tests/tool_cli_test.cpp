// tzdag as an operator meets it, through the real binary: the tables of
// invocations under tests/data/tool/ (exact output, exit status and what each
// leaves behind), and what a terminal shows.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "test_env.h"
#include "tool_cases.h"
#include "tzdag_runner.h"
#include "tzplatform/settings.h"

namespace {

using nlohmann::json;

class ToolInvocation : public ::testing::TestWithParam<json> {};

TEST_P(ToolInvocation, PrintsExactlyThisExitsAndLeavesTheRest) {
  tztest::RunToolCase(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Cli, ToolInvocation,
    ::testing::ValuesIn(tztest::ToolData("cli.json")["cases"].get<std::vector<json>>()),
    tztest::ToolCaseName);
INSTANTIATE_TEST_SUITE_P(
    Doctor, ToolInvocation,
    ::testing::ValuesIn(tztest::ToolData("doctor.json")["cases"].get<std::vector<json>>()),
    tztest::ToolCaseName);
// Where settings come from (options, environment, the settings files), what
// a settings file may not be, and how the command line is refused.
INSTANTIATE_TEST_SUITE_P(
    Config, ToolInvocation,
    ::testing::ValuesIn(tztest::ToolData("config.json")["cases"].get<std::vector<json>>()),
    tztest::ToolCaseName);
// What an attacker with a local account, a hostile discovery tool or a
// damaged store would try.
INSTANTIATE_TEST_SUITE_P(
    Attacks, ToolInvocation,
    ::testing::ValuesIn(tztest::ToolData("attacks.json")["cases"].get<std::vector<json>>()),
    tztest::ToolCaseName);

// At a terminal: the prompt does not echo what is typed and gives the
// terminal back its echo however it ends, and a tool that takes its time is
// shown on one line, cleared when it ends (never with --json); probes that
// wait side by side share that line.
TEST(ToolTerminal, PromptsWithoutEchoAndShowsOneLineWhileToolsRun) {
  json fixture = tztest::DemoFixture();
  fixture["remote"]["failures"]["mbx03.corp.example"] = "hang";
  tztest::TestEnv env(fixture);
  env.InstallTool("proxy01.corp.example", "#!/bin/bash\necho \"$@\" > " + env.dir() +
                                              "/tool-args\nexec -a \"$0\" " +
                                              tztest::SimulatorPath() + " \"$@\"\n");
  tzplatform::SetKeyFile(env.dir() + "/tzdag.key");
  const tztest::Environment clean = {{"TZ_KEY_FILE", ""}, {"TZ_REMOTE_TIMEOUT", ""}};
  auto tzdag = [&](std::vector<std::string> args) {
    const std::vector<std::string> options = tztest::OptionsFor(env);
    args.insert(args.begin(), options.begin(), options.end());
    return std::make_unique<tztest::PtyProcess>(args, clean);
  };

  auto encrypt = tzdag({"encrypt"});
  ASSERT_TRUE(encrypt->ReadUntil("Password: "));
  EXPECT_FALSE(encrypt->Echoes());
  encrypt->Type("s3cret\n");
  EXPECT_EQ(encrypt->Wait(), 0);
  EXPECT_TRUE(encrypt->Echoes());
  ASSERT_EQ(encrypt->transcript().rfind("Password: \r\nTZP2:", 0), 0u) << encrypt->transcript();
  EXPECT_EQ(tztest::Decrypted(encrypt->transcript().substr(12, encrypt->transcript().size() - 14)),
            "s3cret");
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    auto stopped = tzdag({"encrypt"});
    ASSERT_TRUE(stopped->ReadUntil("Password: "));
    ASSERT_FALSE(stopped->Echoes());
    kill(stopped->pid(), signal);
    EXPECT_EQ(stopped->Wait(), 128 + signal);
    EXPECT_TRUE(stopped->Echoes());
    EXPECT_EQ(stopped->transcript(), "Password: \r\ntzdag: stopped by signal " +
                                         std::to_string(signal) + " (" + strsignal(signal) +
                                         ")\r\n");
  }
  auto prompted =
      tzdag({"discover-dags", "--dag", "DAG02", "--proxy", "PROXY01", "--password-file", "-"});
  ASSERT_TRUE(prompted->ReadUntil("Directory password: "));
  EXPECT_FALSE(prompted->Echoes());
  prompted->Type("s3cret\n");
  EXPECT_EQ(prompted->Wait(), 0);
  EXPECT_EQ(prompted->transcript().find("s3cret"), std::string::npos);
  EXPECT_EQ(tztest::PasswordTheToolSaw(env.dir() + "/tool-args"), "s3cret");

  auto waiting = tzdag({"discover-dags", "--proxy", "MBX03", "--timeout", "2"});
  EXPECT_TRUE(
      waiting->ReadUntil("\r\x1b[KWaiting for PshimProxy.exe on mbx03.corp.example: 1 s of 2 s"));
  EXPECT_EQ(waiting->Wait(), 1);
  // The last line drawn is cleared before the failure is reported.
  EXPECT_NE(waiting->transcript().find("of 2 s\r\x1b[Ktzdag: DAG discovery failed\r\n"),
            std::string::npos)
      << waiting->transcript();
  auto quiet = tzdag({"--json", "discover-dags", "--proxy", "MBX03", "--timeout", "2"});
  EXPECT_EQ(quiet->Wait(), 1);
  EXPECT_EQ(quiet->transcript().rfind("{\r\n", 0), 0u) << quiet->transcript();
  EXPECT_EQ(quiet->transcript().find("Waiting"), std::string::npos);

  // The doctor's probes of MBX01 and MBX02 wait side by side.
  for (const char* host : {"mbx01.corp.example", "mbx02.corp.example"}) {
    env.InstallTool(host, "#!/bin/sh\nexec sleep 60\n");
  }
  auto doctor = tzdag({"doctor", "--orbal", "1", "--client", "2", "--timeout", "2"});
  EXPECT_TRUE(doctor->ReadUntil(": 1 s of 2 s (and 1 more)"));
  EXPECT_EQ(doctor->Wait(), 1);
  EXPECT_NE(doctor->transcript().find("\r\x1b[KConfiguration store " + env.storePath() + "\r\n"),
            std::string::npos)
      << doctor->transcript();
}

// While tzdag reads a password it is not dumpable already: with part of a
// password file read (a FIFO, which gives the rest later), and at the
// prompt, before anything is typed. A process that holds no secret is.
TEST(ToolSecrets, TzdagIsNotDumpableWhileItReadsAPassword) {
  tztest::TestEnv env(tztest::DemoFixture());
  auto started = [&](std::vector<std::string> args) {
    std::vector<std::string> words = tztest::WithoutPtrace();
    words.push_back(tztest::TzdagPath());
    const std::vector<std::string> options = tztest::OptionsFor(env);
    words.insert(words.end(), options.begin(), options.end());
    words.insert(words.end(), args.begin(), args.end());
    return words;
  };
  std::vector<std::string> sleeper = tztest::WithoutPtrace();
  sleeper.insert(sleeper.end(), {"/bin/sleep", "10"});
  tztest::TzdagProcess idle(std::vector<std::string>(sleeper.begin() + 1, sleeper.end()), "", {},
                            sleeper.front());
  const std::string comm = "/proc/" + std::to_string(idle.pid()) + "/comm";
  for (int tries = 0; tztest::ReadFile(comm) != "sleep\n" && tries < 1000; ++tries) usleep(10000);
  EXPECT_TRUE(tztest::Dumpable(idle.pid()));

  const std::string fifo = env.dir() + "/password";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::vector<std::string> words =
      started({"discover-dags", "--dag", "DAG02", "--proxy", "PROXY01", "--password-file", fifo});
  tztest::TzdagProcess reading(std::vector<std::string>(words.begin() + 1, words.end()), "", {},
                               words.front());
  int writer = -1;
  for (int tries = 0; writer < 0 && tries < 1000; ++tries) {
    writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // once tzdag opened it
    if (writer < 0) usleep(10000);
  }
  ASSERT_GE(writer, 0) << "tzdag did not open the password file";
  ASSERT_EQ(write(writer, "s3c", 3), 3);
  for (int left = 3, tries = 0; left > 0 && tries < 1000; ++tries) {
    ioctl(writer, FIONREAD, &left);  // until tzdag has read it
    if (left > 0) usleep(10000);
  }
  EXPECT_FALSE(tztest::Dumpable(reading.pid()));
  ASSERT_EQ(write(writer, "ret\n", 4), 4);
  close(writer);
  const tztest::ToolRun run = reading.Wait();
  EXPECT_EQ(run.exitCode, 0) << run.err;

  words = started({"encrypt"});
  tztest::PtyProcess prompted(std::vector<std::string>(words.begin() + 1, words.end()),
                              {{"TZ_KEY_FILE", ""}}, words.front());
  ASSERT_TRUE(prompted.ReadUntil("Password: "));
  EXPECT_FALSE(tztest::Dumpable(prompted.pid()));
  prompted.Type("s3cret\n");
  EXPECT_EQ(prompted.Wait(), 0);
}

// A sync at a terminal shows its progress on one line from its first second
// on, in place of the line of the tool being waited for, and clears it before
// the summary; never with --json.
TEST(ToolTerminal, ASyncShowsItsProgressOnOneLine) {
  tztest::TestEnv env(tztest::DemoFixture());
  // Each run of the tool takes long enough for the line of its first second
  // to be drawn, however late a loaded machine draws it.
  env.InstallTool("mbx02.corp.example", "#!/bin/bash\nsleep 2.5\nexec -a \"$0\" " +
                                            tztest::SimulatorPath() + " \"$@\"\n");
  std::vector<std::string> args = tztest::OptionsFor(env);
  args.insert(args.end(), {"sync", "--orbal", "1", "--all", "--dry-run"});
  tztest::PtyProcess sync(args, {{"TZ_REMOTE_TIMEOUT", ""}});
  EXPECT_TRUE(sync.ReadUntil(
      "\r\x1b[KSync: 0 of 1 DAG clients done, 1 running (longest: 2 (DAG01), 1 s); 1 s elapsed"));
  EXPECT_EQ(sync.Wait(), 1);  // sales is held back
  EXPECT_NE(sync.transcript().find("elapsed\r\x1b[KCLIENT  NAME"), std::string::npos)
      << sync.transcript();
  EXPECT_EQ(sync.transcript().find("Waiting for"), std::string::npos);

  args.insert(args.begin(), "--json");
  tztest::PtyProcess quiet(args, {{"TZ_REMOTE_TIMEOUT", ""}});
  EXPECT_EQ(quiet.Wait(), 1);
  EXPECT_EQ(quiet.transcript().rfind("{\r\n", 0), 0u) << quiet.transcript();
}

}  // namespace
