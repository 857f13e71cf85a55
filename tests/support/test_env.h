// A whole stand-in world for one test: a store and a remote root built from
// a fixture in a temporary folder, with the platform pointed at them.
#ifndef TZ_TESTS_SUPPORT_TEST_ENV_H_
#define TZ_TESTS_SUPPORT_TEST_ENV_H_

#include <string>

#include <nlohmann/json.hpp>

#include "temp_dir.h"

namespace tztest {

// The simulator binary the build made (for remote roots).
std::string SimulatorPath();
// The tzdag binary the build made.
std::string TzdagPath();
// The member `key` of the JSON file `name` of tests/data (a table of cases).
nlohmann::json TestData(const std::string& name, const std::string& key);

class TestEnv {
 public:
  // Builds DIR/store.db from fixture["store"] (when present) and DIR/remote
  // from fixture["remote"] (when present; an empty remote root otherwise),
  // and points the platform's store, remote root and log (DIR/log.txt) at
  // them. The remote timeout is 10 s unless the test changes it.
  explicit TestEnv(const nlohmann::json& fixture);
  // Restores the platform settings.
  ~TestEnv();
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;

  const std::string& dir() const { return dir_.path(); }
  std::string storePath() const { return dir_.File("store.db"); }
  std::string remoteRoot() const { return dir_.File("remote"); }
  std::string logPath() const { return dir_.File("log.txt"); }
  // Installs an executable script as PshimProxy.exe of `host` (creating the
  // host folder when needed).
  void InstallTool(const std::string& host, const std::string& script) const;

 private:
  TempDir dir_;
};

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TEST_ENV_H_
