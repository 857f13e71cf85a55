// tzdag finds its companions from where it is: pshim-sim beside it, the demo
// fixture in the data folder of its install, the platform's modules in the
// library folder of its install, so that the build tree, a copy laid out as
// an install and a link to that copy each use their own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
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

// The modules hold what needs a heavy library; the tool loads each only when
// it is used, so that a missing one fails that use, with the file named,
// and nothing else.
TEST(ToolLayout, AMissingModuleFailsOnlyWhatNeedsIt) {
  tztest::TempDir dir;
  Install install(dir, false);
  const std::string modules =
      (fs::path(install.bin) / TZDAG_LIB_FROM_BIN / "tzplatform").lexically_normal().string();
  tztest::TestEnv env(nlohmann::json{{"store", tztest::DemoFixture()["store"]}});
  const tztest::Environment environment = {{"TZ_KEY_FILE", dir.File("tzdag.key")},
                                           {"TZ_DIRECTORY_SEARCH", "ldap"}};
  const std::string tzdag = install.bin + "/tzdag";
  auto run = [&](const std::vector<std::string>& args, const std::string& input = "") {
    std::vector<std::string> all = {"--store", env.storePath(), "--log", "/dev/null"};
    all.insert(all.end(), args.begin(), args.end());
    return tztest::RunProgram(tzdag, all, input, environment);
  };

  tztest::ToolRun version = run({"--version"});
  EXPECT_EQ(version.exitCode, 0) << version.err;
  tztest::ToolRun usage = run({"discover-dbs", "--client", "2", "--orbal", "x"});
  EXPECT_EQ(usage.exitCode, 2) << usage.err;
  EXPECT_EQ(usage.err.find("module"), std::string::npos) << usage.err;
  tztest::ToolRun encrypt = run({"encrypt"}, "Secret-1x\n");
  EXPECT_EQ(encrypt.exitCode, 1);
  EXPECT_EQ(encrypt.err,
            "tzdag: the password cannot be encrypted: cannot load the password "
            "cipher module " +
                modules +
                "/secrets.so: cannot open shared object "
                "file: No such file or directory\n");

  fs::create_directories(modules);
  fs::copy_file(TZ_SECRETS_MODULE, modules + "/secrets.so");
  encrypt = run({"encrypt"}, "Secret-1x\n");
  ASSERT_EQ(encrypt.exitCode, 0) << encrypt.err;
  const std::string encrypted = encrypt.out.substr(0, encrypt.out.find('\n'));

  // What stands as the directory module, and the search's failure.
  const std::string failed = "  [SearchDag]: Directory search failed: ";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", failed + "cannot load the directory search module " + modules +
               "/directory.so: cannot open shared object file: No such file or directory"},
      {TZ_SECRETS_MODULE, failed + "the directory search module " + modules +
                              "/directory.so is of another build (no "
                              "tzplatform_directory_module_1)"}};
  for (const auto& [module, line] : cases) {
    SCOPED_TRACE(module);
    if (!module.empty()) fs::copy_file(module, modules + "/directory.so");
    const tztest::ToolRun search = run(
        {"discover-dags", "--ad", "ldap://127.0.0.1:9", "--user", "u", "--password", encrypted});
    EXPECT_EQ(search.exitCode, 1);
    EXPECT_THAT(search.err, ::testing::HasSubstr(line + "\n")) << search.err;
  }
}

}  // namespace
