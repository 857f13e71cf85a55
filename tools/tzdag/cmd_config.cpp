// tzdag config: the settings in force and where each came from (an option,
// the environment, a settings file and its line, or the default).
#include <algorithm>
#include <iostream>

#include "command_line.h"
#include "commands.h"
#include "output.h"
#include "settings_file.h"

namespace tzdag_tool {
namespace {

// A setting as shown: its value and where it came from.
struct Shown {
  const SettingKey* key = nullptr;
  std::string value;
  std::string from;   // "option", "environment", "file" or "default"
  std::string where;  // the option, the variable, or FILE:LINE
};

// The global option given for `key` on this command line, if any.
std::string OptionValue(const GlobalOptions& global, const std::string& key) {
  if (key == "config_store") return global.store;
  if (key == "remote_root") return global.remoteRoot;
  if (key == "remote_transport") return global.transport;
  if (key == "log_file") return global.logFile;
  if (key == "debug_level" && global.debugLevel >= 0) return std::to_string(global.debugLevel);
  return std::string();
}

std::vector<Shown> SettingsInForce(const GlobalOptions& global) {
  std::vector<Shown> shown;
  for (const SettingSource& source : SettingSources()) {
    Shown s;
    s.key = source.key;
    const std::string option = OptionValue(global, source.key->key);
    if (!option.empty()) {
      s = {source.key, option, "option", source.key->option};
    } else if (source.origin == "environment") {
      s = {source.key, source.value, "environment", source.key->variable};
    } else if (!source.origin.empty()) {
      s = {source.key, source.value, "file", source.origin};
    } else {
      const std::string key = source.key->key;
      const std::string logFile = DefaultLogFilePath();
      s = {source.key, key == "log_file" && !logFile.empty() ? logFile : source.key->fallback,
           "default", ""};
    }
    s.value = WithoutSecrets(s.value);
    shown.push_back(s);
  }
  return shown;
}

int RunConfig(const GlobalOptions& global) {
  const std::vector<Shown> settings = SettingsInForce(global);
  if (global.json) {
    nlohmann::json list = nlohmann::json::array(), files = nlohmann::json::array();
    for (const Shown& s : settings) {
      nlohmann::json setting = {
          {"key", s.key->key}, {"variable", s.key->variable}, {"value", s.value}, {"from", s.from}};
      if (!s.where.empty()) setting["where"] = s.where;
      list.push_back(setting);
    }
    for (const SettingsFileRead& file : SettingsFilesRead()) {
      files.push_back({{"path", file.path}, {"found", file.found}});
    }
    PrintJson({{"ok", true}, {"settings", list}, {"files", files}});
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Shown& s : settings) {
    rows.push_back({s.key->key, s.value, s.where.empty() ? s.from : s.from + " " + s.where});
  }
  PrintTable(std::cout, {"KEY", "VALUE", "FROM"}, rows);
  std::string files;
  for (const SettingsFileRead& file : SettingsFilesRead()) {
    files += (files.empty() ? "" : ", ") + DisplayText(file.path) +
             (file.found ? " (read)" : " (not found)");
  }
  std::cout << "Settings files: " << files << std::endl;
  return kExitOk;
}

}  // namespace

Command AddConfigCommand(CLI::App* app, const GlobalOptions& global) {
  app->footer("Example: tzdag config --json");
  Command command{app, [&global] { return RunConfig(global); }};
  command.usesStore = false;
  command.writes = StoreWrites::kNever;
  command.showsWaits = false;
  return command;
}

}  // namespace tzdag_tool
