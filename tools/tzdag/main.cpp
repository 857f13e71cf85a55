// tzdag: drives the DAG discovery library against a configuration store and
// a remote root on this machine.
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <tzdag/version.h>
#include <tzplatform/settings.h>

#include "cli_reference.h"
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
  app.add_option("--store", global.store, "configuration store (default $TZ_CONFIG_STORE)")
      ->type_name("FILE");
  app.add_option("--remote-root", global.remoteRoot, "remote root (default $TZ_REMOTE_ROOT)")
      ->type_name("DIR");
  app.add_option("--log", global.logFile, "log destination, - = standard error")->type_name("FILE");
  app.add_option("--debug-level", global.debugLevel, "highest debug level written")
      ->check(CLI::NonNegativeNumber);
  app.add_flag("--json", global.json, "print one JSON object");
  app.set_version_flag("--version", "tzdag " TZDAG_VERSION_STRING);

  std::vector<Command> commands = {
      AddInitCommand(app, global),        AddServersCommand(app, global),
      AddDiscoverDbsCommand(app, global), AddEncryptCommand(app, global),
      AddUnprotectedCommand(app, global), AddUpdateSubclientCommand(app, global),
      AddDiscoverDagsCommand(app, global),
  };

  // For the build: the man page and the bash completion are made from this.
  if (argc == 2 && std::string(argv[1]) == kCliReferenceArgument) {
    PrintJson(DescribeCommandLine(app));
    return kExitOk;
  }

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
