// Runs the tzdag binary the build made, as a user would.
#ifndef TZ_TESTS_SUPPORT_TOOL_RUN_H_
#define TZ_TESTS_SUPPORT_TOOL_RUN_H_

#include <string>
#include <vector>

namespace tztest {

struct ToolRun {
  int exitStatus = -1;  // -1 when the tool did not exit normally
  std::string out;      // standard output
  std::string err;      // standard error
};

// Runs tzdag with `args` (without the program name) and waits for it. Its
// standard input is /dev/null; the environment is this process's.
ToolRun RunTzdag(const std::vector<std::string>& args);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TOOL_RUN_H_
