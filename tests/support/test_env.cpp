#include "test_env.h"

#include <sys/stat.h>

#include <filesystem>

#include "tzplatform/fixture.h"
#include "tzplatform/settings.h"

namespace tztest {

std::string SimulatorPath() {
#ifdef TZ_PSHIM_SIM_PATH
  return TZ_PSHIM_SIM_PATH;
#else
  return std::string();
#endif
}

std::string TzdagPath() {
#ifdef TZ_TZDAG_PATH
  return TZ_TZDAG_PATH;
#else
  return std::string();
#endif
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
