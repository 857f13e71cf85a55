// tzdag finds its companions from where it is: pshim-sim beside it, the demo
// fixture in the data folder of its install, so that the build tree, a copy
// laid out as an install and a link to that copy each use their own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "temp_dir.h"
#include "test_env.h"
#include "tzdag/version.h"
#include "tzdag_runner.h"

namespace {

namespace fs = std::filesystem;

// A fixture only this test uses: its one client and host tell its store and
// remote root from the demo's.
constexpr char kLayoutFixture[] = R"({
  "store": {"clients": [{"id": 9, "name": "LAYOUT"}]},
  "remote": {"hosts": ["layout.example"], "dags": []}})";
constexpr char kLayoutSimulator[] = "#!/bin/sh\necho layout\n";

// PREFIX/bin/tzdag (a copy of the built one), PREFIX/bin/pshim-sim and the
// fixture where the build puts the data folder, each only when asked for.
struct Install {
  explicit Install(const tztest::TempDir& dir, bool simulator = true, bool fixture = true)
      : bin(dir.File("prefix/bin")),
        data((fs::path(bin) / TZDAG_DATA_FROM_BIN).lexically_normal().string()) {
    fs::create_directories(bin);
    fs::create_directories(data);
    fs::copy_file(tztest::TzdagPath(), bin + "/tzdag");
    if (simulator) tztest::WriteFile(bin + "/pshim-sim", kLayoutSimulator, 0755);
    if (fixture) tztest::WriteFile(data + "/fixture.json", kLayoutFixture);
  }
  std::string bin;
  std::string data;
};

// Runs `tzdag init DIR` with no --fixture and no TZ_PSHIM_SIM.
tztest::ToolRun Init(const std::string& tzdag, const std::string& dir) {
  return tztest::RunProgram(tzdag, {"--log", "/dev/null", "init", dir}, "", {{"TZ_PSHIM_SIM", ""}});
}

TEST(ToolLayout, InitUsesTheSimulatorAndFixtureOfItsOwnInstall) {
  tztest::TempDir dir;
  Install install(dir);
  fs::create_directories(dir.File("elsewhere"));
  fs::create_symlink(install.bin + "/tzdag", dir.File("elsewhere/tzdag"));

  struct Case {
    std::string name;
    std::string tzdag;
    std::string host;       // a host folder the fixture makes
    std::string simulator;  // what must be in it as PshimProxy.exe
  };
  const Case cases[] = {
      {"build tree", tztest::TzdagPath(), "mbx02.corp.example",
       tztest::ReadFile(tztest::SimulatorPath())},
      {"copied install", install.bin + "/tzdag", "layout.example", kLayoutSimulator},
      {"link to the install", dir.File("elsewhere/tzdag"), "layout.example", kLayoutSimulator},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string setup = dir.File("setup-" + std::to_string(&c - cases));
    tztest::ToolRun run = Init(c.tzdag, setup);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(tztest::ReadFile(setup + "/remote/" + c.host + "/PshimProxy.exe"), c.simulator);
  }
}

TEST(ToolLayout, AMissingCompanionIsASetUpErrorThatMakesNothing) {
  tztest::TempDir dir;
  Install noSimulator(dir, false, true);
  tztest::ToolRun run = Init(noSimulator.bin + "/tzdag", dir.File("setup"));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "tzdag: no simulator: " + noSimulator.bin +
                         "/pshim-sim is missing (set TZ_PSHIM_SIM to a pshim-sim)\n");
  EXPECT_FALSE(fs::exists(dir.File("setup")));

  fs::remove(noSimulator.data + "/fixture.json");
  run = Init(noSimulator.bin + "/tzdag", dir.File("setup"));
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err, "tzdag: cannot read fixture " + noSimulator.data +
                         "/fixture.json: No such file or directory\n");
  EXPECT_FALSE(fs::exists(dir.File("setup")));
}

TEST(ToolLayout, VersionIsTheHeadersVersion) {
  tztest::ToolRun run = tztest::RunTzdag({"--version"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "tzdag " TZDAG_VERSION_STRING "\n");
  EXPECT_EQ(run.err, "");
}

}  // namespace
