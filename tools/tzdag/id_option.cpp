#include "id_option.h"

#include <limits>

namespace tzdag_tool {
namespace {

// Checks that `text` is a decimal number from 0 to `maximum` and writes it
// back without leading zeros, so that the number is never read as octal.
CLI::Validator DecimalId(const char* kind, unsigned long long maximum) {
  const std::string problem = std::string(" is not ") + kind + " (a decimal number from 0 to " +
                              std::to_string(maximum) + ")";
  return CLI::Validator(
      [maximum, problem](std::string& text) -> std::string {
        const size_t digits = text.find_first_not_of('0') == std::string::npos
                                  ? 1
                                  : text.size() - text.find_first_not_of('0');
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
            digits > 19 || std::stoull(text) > maximum) {
          return "'" + text + "'" + problem;
        }
        text = std::to_string(std::stoull(text));
        return std::string();
      },
      "ID");
}

}  // namespace

CLI::Option* AddIdOption(CLI::App* app, const std::string& name, uint32_t& target,
                         const std::string& description) {
  return app->add_option(name, target, description)
      ->transform(DecimalId("an id", std::numeric_limits<uint32_t>::max()));
}

CLI::Option* AddIdListOption(CLI::App* app, const std::string& name, std::vector<uint32_t>& target,
                             const std::string& description) {
  return app->add_option(name, target, description)
      ->transform(DecimalId("an id", std::numeric_limits<uint32_t>::max()));
}

CLI::Option* AddJobIdOption(CLI::App* app, const std::string& name, int64_t& target,
                            const std::string& description) {
  return app->add_option(name, target, description)
      ->transform(DecimalId("a job id", std::numeric_limits<int64_t>::max()));
}

}  // namespace tzdag_tool
