// Runs the tzdag binary the build made, as a user would from a shell.
#ifndef TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_
#define TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_env.h"

namespace tztest {

struct ToolRun {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;    // standard output
  std::string err;    // standard error
};

// Runs tzdag with `args`, `input` on its standard input, and the
// environment of this process with `environment` laid over it.
ToolRun RunTzdag(const std::vector<std::string>& args, const std::string& input = "",
                 const std::map<std::string, std::string>& environment = {});
// The same for the program at `path` (a copy of tzdag elsewhere, say).
ToolRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::string& input = "",
                   const std::map<std::string, std::string>& environment = {});

// Runs tzdag on the store and remote root of `env`, its log in
// tool-log.txt of the environment's folder.
ToolRun RunTzdagIn(const TestEnv& env, std::vector<std::string> args);

// The bundled demo fixture (demo/fixture.json).
nlohmann::json DemoFixture();

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_
