// tzdag: drives the DAG discovery library against a configuration store and
// a remote root on this machine.
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <tzdag/version.h>
#include <tzplatform/settings.h>
#include <tzplatform/store.h>

#include "cli_reference.h"
#include "command_line.h"
#include "commands.h"
#include "output.h"
#include "signals.h"
#include "terminal.h"

namespace tzdag_tool {
namespace {
// Whether an answer went to standard output: with --json every outcome
// prints exactly one object.
std::atomic<bool> g_jsonPrinted{false};
}  // namespace

void PrintJson(const nlohmann::json& object) {
  // Names and texts come from the store and the remote tool as bytes; a
  // sequence that is not UTF-8 is shown as U+FFFD rather than failing the
  // answer after the work was done.
  std::cout << object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
  g_jsonPrinted = true;
}

namespace {

// A problem that ends the run: "tzdag: <what>" on standard error and, with
// --json and no answer printed yet, {"ok": false, "error": "<what>"}.
void ReportProblem(bool json, const std::string& what) {
  std::cerr << "tzdag: " << DisplayText(what) << std::endl;
  if (json && !g_jsonPrinted) PrintJson({{"ok", false}, {"error", what}});
}

// Everything the command needs before it starts; a problem is a UsageError
// naming the option or variable.
void CheckSetUp(const GlobalOptions& global, const Command& command) {
  std::string logFile = global.logFile;
  if (!logFile.empty()) {
    try {
      tzplatform::CheckLogFile(logFile);
    } catch (const tzplatform::SettingsError& e) {
      throw UsageError(std::string("--log: ") + e.what());
    }
  } else if (command.usesStore) {
    // Quiet by default: the library's lines go to a file of the user's,
    // unless TZ_LOG_FILE says where.
    const char* fromEnvironment = std::getenv("TZ_LOG_FILE");
    if (fromEnvironment == nullptr || *fromEnvironment == '\0') {
      logFile = DefaultLogFile();
      try {
        tzplatform::CheckLogFile(logFile);
      } catch (const tzplatform::SettingsError& e) {
        throw UsageError(std::string(e.what()) + " (give --log FILE or set TZ_LOG_FILE)");
      }
    }
  }
  if (!global.store.empty()) tzplatform::SetStorePath(global.store);
  if (!global.remoteRoot.empty()) tzplatform::SetRemoteRoot(global.remoteRoot);
  if (!logFile.empty()) tzplatform::SetLogFile(logFile);
  // -v shows the log on standard error too; each further -v one more debug
  // level, unless --debug-level says.
  tzplatform::SetLogEcho(global.verbose > 0);
  if (global.debugLevel >= 0) {
    tzplatform::SetDebugLevel(global.debugLevel);
  } else if (global.verbose > 1) {
    tzplatform::SetDebugLevel(std::min(global.verbose - 1, tzplatform::kMaxDebugLevel));
  }
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

std::string StoppedBy(int signal) {
  return "stopped by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

int Run(const GlobalOptions& global, const Command& command) {
  try {
    CheckSetUp(global, command);
  } catch (const UsageError& e) {
    ReportProblem(global.json, e.what());
    return kExitUsage;
  }
  try {
    // A person at a terminal sees which tool is being waited for.
    std::unique_ptr<WaitIndicator> indicator;
    if (!global.json && command.showsWaits) indicator = std::make_unique<WaitIndicator>();
    return command.run();
  } catch (const UsageError& e) {
    ReportProblem(global.json, e.what());
    return kExitUsage;
  } catch (const std::exception& e) {
    // Work has started: whatever it did, this is a failure, not a usage error.
    ReportProblem(global.json, e.what());
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
  app.add_option("--log", global.logFile,
                 "log file, - = standard error (default $TZ_LOG_FILE, else "
                 "$XDG_STATE_HOME/tzdag/tzdag.log)")
      ->type_name("FILE")
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a path" : ""; }, ""));
  app.add_option("--debug-level", global.debugLevel, "highest debug level written")
      ->check(CLI::Range(0, tzplatform::kMaxDebugLevel));
  app.add_flag("-v,--verbose", global.verbose,
               "show the log on standard error too; -vv also debug level 1, -vvv level 2, ...");
  app.add_flag("--json", global.json, "print one JSON object, whatever the outcome");
  app.set_version_flag("--version", "tzdag " TZDAG_VERSION_STRING);

  std::vector<Command> commands = {
      AddInitCommand(app, global),         AddServersCommand(app, global),
      AddDiscoverDbsCommand(app, global),  AddEncryptCommand(app, global),
      AddUnprotectedCommand(app, global),  AddUpdateSubclientCommand(app, global),
      AddDiscoverDagsCommand(app, global), AddDoctorCommand(app, global),
      AddClientsCommand(app, global),      AddSubclientsCommand(app, global),
      AddSyncCommand(app, global),         AddHistoryCommand(app, global),
  };

  // For the build: the man page and the bash completion are made from this.
  if (argc == 2 && std::string(argv[1]) == kCliReferenceArgument) {
    PrintJson(DescribeCommandLine(app));
    return kExitOk;
  }

  const std::vector<std::string> args(argv + 1, argv + argc);
  const bool json = AsksForJson(args);
  SignalWatch::SetLastWords([json](int signal) { ReportProblem(json, StoppedBy(signal)); });
  const std::string commandProblem = CommandProblem(app, args);
  if (!commandProblem.empty()) {
    ReportProblem(json, commandProblem);
    return kExitUsage;
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
    if (code != 0 && json) PrintJson({{"ok", false}, {"error", e.what()}});
  }
  if (int signal = SignalWatch::Received()) {
    ReportProblem(json, StoppedBy(signal));
    return 128 + signal;
  }
  return status;
}
