// tzdag: drives the DAG discovery library against a configuration store and
// a remote root on this machine.
#include <cstdio>
#include <exception>
#include <iostream>
#include <vector>

#include <tzplatform/settings.h>

#include "commands.h"

namespace tzdag_tool {

void PrintJson(const nlohmann::json& object) {
  std::cout << object.dump(2) << std::endl;
}

}  // namespace tzdag_tool

int main(int argc, char** argv) {
  using namespace tzdag_tool;

  CLI::App app{"Discover Exchange DAGs, member servers and mailbox databases.", "tzdag"};
  app.require_subcommand(1);
  // Global options may come before or after the command.
  app.fallthrough();
  GlobalOptions global;
  app.add_option("--store", global.store, "configuration store (default $TZ_CONFIG_STORE)");
  app.add_option("--remote-root", global.remoteRoot, "remote root (default $TZ_REMOTE_ROOT)");
  app.add_option("--log", global.logFile, "log destination, - = standard error");
  app.add_option("--debug-level", global.debugLevel, "highest debug level written")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--json", global.json, "print one JSON object");

  std::vector<Command> commands = {
      AddInitCommand(app, global),        AddServersCommand(app, global),
      AddDiscoverDbsCommand(app, global), AddEncryptCommand(app, global),
      AddUnprotectedCommand(app, global), AddUpdateSubclientCommand(app, global),
      AddDiscoverDagsCommand(app, global),
  };

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (!global.store.empty()) tzplatform::SetStorePath(global.store);
  if (!global.remoteRoot.empty()) tzplatform::SetRemoteRoot(global.remoteRoot);
  if (!global.logFile.empty()) tzplatform::SetLogFile(global.logFile);
  if (global.debugLevel >= 0) tzplatform::SetDebugLevel(global.debugLevel);

  try {
    for (const Command& command : commands) {
      if (command.app->parsed()) return command.run();
    }
  } catch (const std::exception& e) {
    std::cerr << "tzdag: " << e.what() << std::endl;
    return kExitUsage;
  }
  return kExitUsage;
}
