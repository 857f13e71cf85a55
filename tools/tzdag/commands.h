// The commands of the tzdag tool. Each command file adds the options and
// footer of its subcommand (main names and describes every subcommand) and
// hands back the function that runs it.
#ifndef TZDAG_TOOL_COMMANDS_H_
#define TZDAG_TOOL_COMMANDS_H_

#include <functional>
#include <stdexcept>
#include <string>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

namespace tzdag_tool {

// Exit statuses: the operation reported success, reported failure (or failed
// once work had started), or the command could not be run as given (a usage
// or set-up error found before any work); `doctor` and `sync` found warnings
// only. A signal n gives 128 + n.
enum ExitStatus : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitWarnings = 3 };

struct GlobalOptions {
  std::string store;       // --store, empty = platform default
  std::string remoteRoot;  // --remote-root
  std::string transport;   // --transport, empty = platform default
  std::string logFile;     // --log
  int debugLevel = -1;     // --debug-level, -1 = platform default
  int verbose = 0;         // how many times -v was given
  bool json = false;       // --json, or --format json
  std::string format;      // --format as given: table, json, csv or tsv; empty = not given
  std::string config;      // --config, empty = the system's and the user's tzdag.toml
  bool wait = false;       // --wait: for the store lock another run holds
};

// A usage or set-up problem the user can fix, found before any work: printed
// as "tzdag: <what>" with exit 2.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& what) : std::runtime_error(what) {}
};

// What a command may write to the configuration store.
enum class StoreWrites {
  kNever,   // reads only: the store is opened read-only, never changed
  kEvents,  // reads, and stores the events it raises (when the store can take them)
  kChanges  // changes the store, which must be writable before the command starts
};

struct Command {
  CLI::App* app = nullptr;
  std::function<int()> run;
  // Whether the command works on the configuration store, which must then
  // exist and be one before the command starts.
  bool usesStore = true;
  StoreWrites writes = StoreWrites::kEvents;
  // For a command whose options decide what it writes: asked once they are
  // parsed, in place of `writes`.
  std::function<StoreWrites()> writesAsParsed = nullptr;
  // Whether the command reports a damaged store itself (its own finding)
  // rather than stopping at it.
  bool reportsDamage = false;
  // Whether the command runs the discovery tool, and so needs a remote root
  // (an absolute path) while the tool is reached through one.
  bool runsTool = false;
  // Whether a person at a terminal is shown the tool being waited for; a
  // command with a progress line of its own shows that instead.
  bool showsWaits = true;
  // Whether its answer is a table, which --format csv or tsv may ask for.
  bool printsTables = false;
};

// Writes one JSON object on standard output.
void PrintJson(const nlohmann::json& object);
// The same for an answer already written as PrintJson would write it.
void PrintJsonText(const std::string& text);

Command AddInitCommand(CLI::App* command, const GlobalOptions& global);
Command AddServersCommand(CLI::App* command, const GlobalOptions& global);
Command AddDiscoverDbsCommand(CLI::App* command, const GlobalOptions& global);
Command AddEncryptCommand(CLI::App* command, const GlobalOptions& global);
Command AddUnprotectedCommand(CLI::App* command, const GlobalOptions& global);
Command AddUpdateSubclientCommand(CLI::App* command, const GlobalOptions& global);
Command AddDiscoverDagsCommand(CLI::App* command, const GlobalOptions& global);
Command AddDoctorCommand(CLI::App* command, const GlobalOptions& global);
Command AddCheckStoreCommand(CLI::App* command, const GlobalOptions& global);
Command AddClientsCommand(CLI::App* command, const GlobalOptions& global);
Command AddSubclientsCommand(CLI::App* command, const GlobalOptions& global);
Command AddSyncCommand(CLI::App* command, const GlobalOptions& global);
Command AddHistoryCommand(CLI::App* command, const GlobalOptions& global);
Command AddConfigCommand(CLI::App* command, const GlobalOptions& global);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_COMMANDS_H_
