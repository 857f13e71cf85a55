// Id options of the tool's commands: plain decimal numbers only.
#ifndef TZDAG_TOOL_ID_OPTION_H_
#define TZDAG_TOOL_ID_OPTION_H_

#include <cstdint>
#include <string>

#include <CLI/CLI.hpp>

namespace tzdag_tool {

// Adds a required option that takes an unsigned 32-bit id written in decimal
// digits. A sign, a hex or octal prefix, or a value above 4294967295 is a
// usage error rather than a silently different id.
CLI::Option* AddIdOption(CLI::App* app, const std::string& name, uint32_t& target,
                         const std::string& description);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_ID_OPTION_H_
