// Runs the tzdag binary the build made, as a user would from a shell.
#ifndef TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_
#define TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "temp_dir.h"
#include "test_env.h"

namespace tztest {

struct ToolRun {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;    // standard output
  std::string err;    // standard error
};

// tzdag started in the background, as the leader of a process group of its
// own (as a shell starts a job), with `input` on its standard input and the
// environment of this process with `environment` laid over it.
class TzdagProcess {
 public:
  TzdagProcess(const std::vector<std::string>& args, const std::string& input = "",
               const std::map<std::string, std::string>& environment = {},
               const std::string& program = TzdagPath());
  // Kills and reaps it when it still runs.
  ~TzdagProcess();
  TzdagProcess(const TzdagProcess&) = delete;
  TzdagProcess& operator=(const TzdagProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits for it to end.
  ToolRun Wait();

 private:
  TempDir scratch_;
  pid_t pid_ = -1;
};

// Runs tzdag with `args` and waits for it (see TzdagProcess).
ToolRun RunTzdag(const std::vector<std::string>& args, const std::string& input = "",
                 const std::map<std::string, std::string>& environment = {});
// The same for the program at `path` (a copy of tzdag elsewhere, say).
ToolRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::string& input = "",
                   const std::map<std::string, std::string>& environment = {});

// The options that point tzdag at the store and remote root of `env`, its
// log in tool-log.txt of the environment's folder.
std::vector<std::string> OptionsFor(const TestEnv& env);

// Runs tzdag with OptionsFor(env) and `args`.
ToolRun RunTzdagIn(const TestEnv& env, std::vector<std::string> args,
                   const std::map<std::string, std::string>& environment = {});

// The bundled demo fixture (demo/fixture.json).
nlohmann::json DemoFixture();

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_
