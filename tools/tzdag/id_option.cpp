#include "id_option.h"

namespace tzdag_tool {
namespace {

const CLI::Validator kDecimalId(
    [](std::string& text) -> std::string {
      if (text.empty() || text.size() > 10 ||
          text.find_first_not_of("0123456789") != std::string::npos) {
        return "an id is a decimal number: " + text;
      }
      unsigned long long value = std::stoull(text);
      if (value > UINT32_MAX) return "an id is at most 4294967295: " + text;
      // Without leading zeros, so that the number is never read as octal.
      text = std::to_string(value);
      return std::string();
    },
    "ID");

}  // namespace

CLI::Option* AddIdOption(CLI::App* app, const std::string& name, uint32_t& target,
                         const std::string& description) {
  return app->add_option(name, target, description)->required()->transform(kDecimalId);
}

}  // namespace tzdag_tool
