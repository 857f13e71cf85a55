// tzdag check-store: whether the configuration store is sound, and how to
// recover it when it is not. Writes nothing.
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"
#include "store_health.h"

namespace tzdag_tool {
namespace {

int RunCheckStore(const GlobalOptions& global) {
  const StoreHealth health = CheckStoreHealth();
  const bool sound = health.problems.empty();
  const std::vector<std::string> recovery =
      sound ? std::vector<std::string>() : RecoveryCommands(health.path);
  std::vector<std::string> warnings;
  for (const tzplatform::ExposedFolder& exposed : health.exposed) warnings.push_back(exposed.text);
  if (global.json) {
    nlohmann::json answer = {{"ok", sound},
                             {"store", health.path},
                             {"sound", sound},
                             {"problems", health.problems},
                             {"warnings", warnings}};
    if (!sound) {
      answer["recovery"] = recovery;
      answer["error"] = "the configuration store is damaged";
    }
    PrintJson(answer);
    return sound ? kExitOk : kExitFailed;
  }
  const std::string store = DisplayText(health.path);
  if (sound) {
    std::cout << "The configuration store " << store
              << " is sound: SQLite's integrity check found no problem.\n";
  } else {
    std::cout << "The configuration store " << store
              << " is damaged. SQLite's integrity check found:\n";
    for (const std::string& problem : health.problems) {
      std::cout << "  " << DisplayText(problem) << "\n";
    }
    std::cout << "Stop every program that uses the store. Then recover what it still holds into "
                 "a new file, check that, and put it in place of the damaged one:\n";
    for (const std::string& command : recovery) std::cout << "  " << DisplayText(command) << "\n";
    std::cout << "Or put the last backup of the store in its place, with no -wal or -shm file of "
                 "the damaged one left beside it.\n";
  }
  for (const std::string& warning : warnings)
    std::cout << "Warning: " << DisplayText(warning) << "\n";
  return sound ? kExitOk : kExitFailed;
}

}  // namespace

Command AddCheckStoreCommand(CLI::App* sub, const GlobalOptions& global) {
  sub->footer(
      "Runs SQLite's integrity check on the store and says which of its folders (and the host "
      "key's) other users may write. Writes nothing.\n"
      "Exit status: 0 when the store is sound, 1 when it is damaged (with the commands that "
      "recover it), 2 for a usage or set-up error (no store, not a store).\n"
      "Example: tzdag check-store --store /srv/dag/store.db");
  Command command{sub, [&global] { return RunCheckStore(global); }};
  command.writes = StoreWrites::kNever;
  command.reportsDamage = true;
  return command;
}

}  // namespace tzdag_tool
