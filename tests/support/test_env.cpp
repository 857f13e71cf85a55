#include "test_env.h"

#include <filesystem>

#include "tzplatform/fixture.h"
#include "tzplatform/settings.h"

namespace tztest {

#ifndef TZ_PSHIM_SIM_PATH
#define TZ_PSHIM_SIM_PATH ""
#endif
#ifndef TZ_TZDAG_PATH
#define TZ_TZDAG_PATH ""
#endif

std::string SimulatorPath() {
  return TZ_PSHIM_SIM_PATH;
}
std::string TzdagPath() {
  return TZ_TZDAG_PATH;
}

nlohmann::json TestData(const std::string& name, const std::string& key) {
  return nlohmann::json::parse(ReadFile(std::string(TZ_TEST_DATA_DIR) + "/" + name)).at(key);
}

TestEnv::TestEnv(const nlohmann::json& fixture) {
  if (fixture.contains("store")) tzplatform::CreateStoreFromFixture(fixture["store"], storePath());
  if (fixture.contains("remote")) {
    tzplatform::CreateRemoteRootFromFixture(fixture["remote"], remoteRoot(), SimulatorPath());
  } else {
    std::filesystem::create_directories(remoteRoot());
  }
  tzplatform::SetStorePath(storePath());
  tzplatform::SetRemoteRoot(remoteRoot());
  tzplatform::SetLogFile(logPath());
  tzplatform::SetRemoteTimeout(10);
}

TestEnv::~TestEnv() {
  tzplatform::ResetSettings();
}

void TestEnv::InstallTool(const std::string& host, const std::string& script) const {
  std::filesystem::create_directories(remoteRoot() + "/" + host);
  WriteFile(remoteRoot() + "/" + host + "/PshimProxy.exe", script, 0755);
}

}  // namespace tztest
