// Id options of the tool's commands: plain decimal numbers only, read the
// same way by every command.
#ifndef TZDAG_TOOL_ID_OPTION_H_
#define TZDAG_TOOL_ID_OPTION_H_

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tzdag_tool {

// Adds an option that takes an unsigned 32-bit id written in decimal digits
// (leading zeros allowed: 011 is 11). A sign, a blank, a hex or octal prefix,
// an empty value or one above 4294967295 is a usage error rather than a
// silently different id.
CLI::Option* AddIdOption(CLI::App* app, const std::string& name, uint32_t& target,
                         const std::string& description);

// The same for an option that takes one id or more ("--client 2 5", or
// "--client 2 --client 5"), in the order given.
CLI::Option* AddIdListOption(CLI::App* app, const std::string& name, std::vector<uint32_t>& target,
                             const std::string& description);

// The same for a job id: decimal digits, from 0 to 9223372036854775807.
CLI::Option* AddJobIdOption(CLI::App* app, const std::string& name, int64_t& target,
                            const std::string& description);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_ID_OPTION_H_
