#include "cli_reference.h"

#include <tzdag/version.h>

#include "settings_file.h"

namespace tzdag_tool {
namespace {

nlohmann::json DescribeOption(const CLI::Option& option) {
  nlohmann::json names = nlohmann::json::array();
  for (const std::string& name : option.get_snames()) names.push_back("-" + name);
  for (const std::string& name : option.get_lnames()) names.push_back("--" + name);
  if (names.empty()) names.push_back(option.get_name(true, false));
  const bool flag = option.get_type_size_max() == 0;
  return {{"names", names},
          {"value", flag ? "" : option.get_type_name()},
          {"description", option.get_description()},
          {"required", option.get_required()}};
}

// The options of `app` that help shows: named ones, or positional arguments.
nlohmann::json DescribeOptions(const CLI::App& app, bool positional) {
  nlohmann::json described = nlohmann::json::array();
  for (const CLI::Option* option : app.get_options()) {
    if (option->get_group().empty() || option->get_positional() != positional) continue;
    if (!positional && option->get_snames().empty() && option->get_lnames().empty()) continue;
    described.push_back(DescribeOption(*option));
  }
  return described;
}

}  // namespace

nlohmann::json DescribeCommandLine(const CLI::App& app) {
  nlohmann::json commands = nlohmann::json::array();
  for (const CLI::App* command : app.get_subcommands({})) {
    if (command->get_group().empty()) continue;
    commands.push_back({{"name", command->get_name()},
                        {"description", command->get_description()},
                        {"footer", command->get_footer()},
                        {"options", DescribeOptions(*command, false)},
                        {"arguments", DescribeOptions(*command, true)}});
  }
  nlohmann::json settings = nlohmann::json::array();
  for (const SettingKey& key : SettingKeys()) {
    settings.push_back({{"key", key.key},
                        {"variable", key.variable},
                        {"type", key.number ? "integer" : "string"},
                        {"option", key.option},
                        {"description", key.meaning},
                        {"default", key.fallback}});
  }
  return {{"name", app.get_name()},
          {"description", app.get_description()},
          {"version", TZDAG_VERSION_STRING},
          {"options", DescribeOptions(app, false)},
          {"commands", commands},
          {"settings", settings}};
}

}  // namespace tzdag_tool
