// tzdag finds its companions from where it is: pshim-sim beside it, the demo
// fixture in the data folder of its install, so that the build tree, a copy
// laid out as an install and a link to that copy each use their own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "test_env.h"
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
// fixture where the build puts the data folder.
struct Install {
  explicit Install(const tztest::TempDir& dir, bool simulator = true)
      : bin(dir.File("prefix/bin")),
        data((fs::path(bin) / TZDAG_DATA_FROM_BIN).lexically_normal().string()) {
    fs::create_directories(bin);
    fs::create_directories(data);
    fs::copy_file(tztest::TzdagPath(), bin + "/tzdag");
    if (simulator) tztest::WriteFile(bin + "/pshim-sim", kLayoutSimulator, 0755);
    tztest::WriteFile(data + "/fixture.json", kLayoutFixture);
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

  // Each tzdag, a host folder its fixture makes, and what must be in it as
  // PshimProxy.exe.
  const std::vector<std::vector<std::string>> cases = {
      {tztest::TzdagPath(), "mbx02.corp.example", tztest::ReadFile(tztest::SimulatorPath())},
      {install.bin + "/tzdag", "layout.example", kLayoutSimulator},
      {dir.File("elsewhere/tzdag"), "layout.example", kLayoutSimulator}};
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i][0]);
    const std::string setup = dir.File("setup-" + std::to_string(i));
    const tztest::ToolRun run = Init(cases[i][0], setup);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(tztest::ReadFile(setup + "/remote/" + cases[i][1] + "/PshimProxy.exe"), cases[i][2]);
  }
}

TEST(ToolLayout, AMissingCompanionIsASetUpErrorThatMakesNothing) {
  tztest::TempDir dir;
  Install install(dir, false);
  for (const std::string& err : {"tzdag: no simulator: " + install.bin +
                                     "/pshim-sim is missing (set TZ_PSHIM_SIM to a pshim-sim)\n",
                                 "tzdag: cannot read fixture " + install.data +
                                     "/fixture.json: No such file or directory\n"}) {
    const tztest::ToolRun run = Init(install.bin + "/tzdag", dir.File("setup"));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.err, err);
    EXPECT_FALSE(fs::exists(dir.File("setup")));
    fs::remove(install.data + "/fixture.json");
  }
}

}  // namespace
