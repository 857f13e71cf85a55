// The tool's command line as data: the man page and the bash completion are
// made from it at build time, so that they name exactly the commands and
// options the tool accepts.
#ifndef TZDAG_TOOL_CLI_REFERENCE_H_
#define TZDAG_TOOL_CLI_REFERENCE_H_

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace tzdag_tool {

// The argument that asks for the reference instead of a command.
inline constexpr char kCliReferenceArgument[] = "--cli-reference";

// {"name", "description", "version", "options": [OPTION], "commands":
//  [{"name", "description", "footer", "options": [OPTION], "arguments": [OPTION]}]}
// with OPTION = {"names": ["-h", "--help"], "value": "" for a flag or the
// value's name (TEXT, UINT, FILE, DIR, ...), "description", "required"}.
// Options in no help group (hidden ones) are left out.
nlohmann::json DescribeCommandLine(const CLI::App& app);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_CLI_REFERENCE_H_
