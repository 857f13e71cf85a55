#include "platform_cases.h"

#include "temp_dir.h"

namespace tztest {

nlohmann::json PlatformCases(const std::string& name) {
  return nlohmann::json::parse(
      ReadFile(std::string(TZ_TEST_DATA_DIR) + "/platform/" + name + ".json"));
}

}  // namespace tztest
