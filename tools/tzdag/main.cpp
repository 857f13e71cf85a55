// tzdag: drives the DAG discovery library against a configuration store and
// a remote root on this machine.
#include <signal.h>
#include <string.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include <tzdag/version.h>
#include <tzplatform/settings.h>
#include <tzplatform/store.h>

#include "cli_reference.h"
#include "commands.h"
#include "output.h"
#include "signals.h"

namespace tzdag_tool {

void PrintJson(const nlohmann::json& object) {
  // Names and texts come from the store and the remote tool as bytes; a
  // sequence that is not UTF-8 is shown as U+FFFD rather than failing the
  // answer after the work was done.
  std::cout << object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

namespace {

// Everything the command needs before it starts; a problem is a UsageError
// naming the option or variable.
void CheckSetUp(const GlobalOptions& global, const Command& command) {
  if (!global.logFile.empty()) {
    try {
      tzplatform::CheckLogFile(global.logFile);
    } catch (const tzplatform::SettingsError& e) {
      throw UsageError(std::string("--log: ") + e.what());
    }
  }
  if (!global.store.empty()) tzplatform::SetStorePath(global.store);
  if (!global.remoteRoot.empty()) tzplatform::SetRemoteRoot(global.remoteRoot);
  if (!global.logFile.empty()) tzplatform::SetLogFile(global.logFile);
  if (global.debugLevel >= 0) tzplatform::SetDebugLevel(global.debugLevel);
  try {
    tzplatform::CheckSettings();
    // A missing or foreign store is a set-up problem, not an empty answer or
    // a discovery that finds no server.
    if (command.usesStore) tzplatform::CheckStore(tzplatform::StorePath());
  } catch (const tzplatform::SettingsError& e) {
    throw UsageError(e.what());
  } catch (const tzplatform::StoreError& e) {
    throw UsageError(e.what());
  }
}

int Run(const GlobalOptions& global, const Command& command) {
  try {
    CheckSetUp(global, command);
  } catch (const UsageError& e) {
    std::cerr << "tzdag: " << DisplayText(e.what()) << std::endl;
    return kExitUsage;
  }
  try {
    return command.run();
  } catch (const UsageError& e) {
    std::cerr << "tzdag: " << DisplayText(e.what()) << std::endl;
    return kExitUsage;
  } catch (const std::exception& e) {
    // Work has started: whatever it did, this is a failure, not a usage error.
    std::cerr << "tzdag: " << DisplayText(e.what()) << std::endl;
    return kExitFailed;
  }
}

}  // namespace
}  // namespace tzdag_tool

int main(int argc, char** argv) {
  using namespace tzdag_tool;
  // Before any other thread, so that every thread keeps the signals blocked.
  SignalWatch signals;

  CLI::App app{"Discover Exchange DAGs, member servers and mailbox databases.", "tzdag"};
  app.require_subcommand(1);
  // Global options may come before or after the command.
  app.fallthrough();
  GlobalOptions global;
  app.add_option("--store", global.store, "configuration store (default $TZ_CONFIG_STORE)")
      ->type_name("FILE")
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a path" : ""; }, ""));
  app.add_option("--remote-root", global.remoteRoot, "remote root (default $TZ_REMOTE_ROOT)")
      ->type_name("DIR")
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a path" : ""; }, ""));
  app.add_option("--log", global.logFile, "log destination, - = standard error")
      ->type_name("FILE")
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a path" : ""; }, ""));
  app.add_option("--debug-level", global.debugLevel, "highest debug level written")
      ->check(CLI::Range(0, tzplatform::kMaxDebugLevel));
  app.add_flag("--json", global.json, "print one JSON object");
  app.set_version_flag("--version", "tzdag " TZDAG_VERSION_STRING);

  std::vector<Command> commands = {
      AddInitCommand(app, global),         AddServersCommand(app, global),
      AddDiscoverDbsCommand(app, global),  AddEncryptCommand(app, global),
      AddUnprotectedCommand(app, global),  AddUpdateSubclientCommand(app, global),
      AddDiscoverDagsCommand(app, global),
  };

  // For the build: the man page and the bash completion are made from this.
  if (argc == 2 && std::string(argv[1]) == kCliReferenceArgument) {
    PrintJson(DescribeCommandLine(app));
    return kExitOk;
  }

  int status = kExitUsage;
  try {
    app.parse(argc, argv);
    for (const Command& command : commands) {
      if (command.app->parsed()) status = Run(global, command);
    }
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    status = code == 0 ? kExitOk : kExitUsage;
  }
  if (int signal = SignalWatch::Received()) {
    std::cerr << "tzdag: stopped by signal " << signal << " (" << strsignal(signal) << ")"
              << std::endl;
    return 128 + signal;
  }
  return status;
}
