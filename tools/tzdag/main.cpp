// tzdag: drives the DAG discovery library against a configuration store and
// a remote root on this machine.
#include <signal.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include <tzdag/version.h>
#include <tzplatform/settings.h>
#include <tzplatform/store.h>

#include "cli_reference.h"
#include "command_line.h"
#include "commands.h"
#include "monitoring.h"
#include "output.h"
#include "run_log.h"
#include "settings_file.h"
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
  PrintJsonText(object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
}

void PrintJsonText(const std::string& text) {
  std::cout << text << std::endl;
  g_jsonPrinted = true;
}

namespace {

// A problem that ends the run: "tzdag: <what>" on standard error and, with
// --json and no answer printed yet, {"ok": false, "error": "<what>"}.
void ReportProblem(bool json, const std::string& what) {
  std::cerr << "tzdag: " << DisplayText(what) << std::endl;
  // A monitoring plugin answers with its status line, --json or not.
  if (PluginMode()) {
    if (!g_jsonPrinted) PrintJsonText(PluginProblem(what));
  } else if (json && !g_jsonPrinted) {
    PrintJson({{"ok", false}, {"error", what}});
  }
}

// Everything the command needs before it starts; a problem is a UsageError
// naming the option or variable.
void CheckSetUp(const GlobalOptions& global, const Command& command) {
  const StoreWrites writes = command.writesAsParsed ? command.writesAsParsed() : command.writes;
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
  tzplatform::Transport transport;
  if (tzplatform::ParseTransport(global.transport, transport)) {
    tzplatform::SetRemoteTransport(transport);
  }
  if (!logFile.empty()) tzplatform::SetLogFile(logFile);
  // -v shows the log on standard error too; each further -v one more debug
  // level, unless --debug-level says.
  tzplatform::SetLogEcho(global.verbose > 0);
  if (global.debugLevel >= 0) {
    tzplatform::SetDebugLevel(global.debugLevel);
  } else if (global.verbose > 1) {
    tzplatform::SetDebugLevel(std::min(global.verbose - 1, tzplatform::kMaxDebugLevel));
  }
  // A command that only reads opens the store read-only: it can read
  // another user's store, or one on a read-only mount, and never changes it.
  if (command.usesStore) tzplatform::SetStoreReadOnly(writes == StoreWrites::kNever);
  try {
    tzplatform::CheckSettings();
    if (command.runsTool) CheckRemoteRoot(global);
    // A missing, foreign or damaged store is a set-up problem, not an empty
    // answer or a discovery that finds no server; so is one that a command
    // which changes it cannot write.
    if (command.usesStore) {
      if (writes == StoreWrites::kChanges) {
        tzplatform::CheckStoreWritable(tzplatform::StorePath());
      } else {
        tzplatform::CheckStore(tzplatform::StorePath());
      }
    }
  } catch (const tzplatform::SettingsError& e) {
    throw UsageError(WhereSet(e.what()));
  } catch (const tzplatform::StoreDamaged& e) {
    if (!command.reportsDamage) throw UsageError(e.what());
  } catch (const tzplatform::StoreError& e) {
    throw UsageError(e.what());
  }
}

// Holds what a command writes to standard output and standard error, in
// order, until it is known whether the store it read from was sound: an
// answer read from a damaged store is never shown. (Damage can surface in a
// store call whose failure the library does not pass on.)
class HeldOutput {
 public:
  HeldOutput() : out_(*this, std::cout), err_(*this, std::cerr) { active = this; }
  ~HeldOutput() {
    active = nullptr;
    Release();
  }
  HeldOutput(const HeldOutput&) = delete;
  HeldOutput& operator=(const HeldOutput&) = delete;

  // Writes what was held, and lets what follows through.
  void Release() {
    out_.Restore();
    err_.Restore();
    for (const auto& [stream, text] : chunks_) {
      *stream << text;
      stream->flush();
    }
    chunks_.clear();
  }
  // The one alive, if any: a signal that ends the process at once releases
  // it before the last words (it comes while the command waits for input,
  // writing nothing).
  static std::atomic<HeldOutput*> active;

  // Forgets what was held.
  void Discard() {
    out_.Restore();
    err_.Restore();
    chunks_.clear();
  }

 private:
  class Buffer : public std::streambuf {
   public:
    Buffer(HeldOutput& held, std::ostream& stream)
        : held_(held), stream_(stream), original_(stream.rdbuf(this)) {}
    ~Buffer() override { Restore(); }
    void Restore() {
      if (original_ != nullptr) stream_.rdbuf(original_);
      original_ = nullptr;
    }

   protected:
    int overflow(int c) override {
      if (c != traits_type::eof()) {
        const char one = static_cast<char>(c);
        held_.Append(stream_, &one, 1);
      }
      return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
      held_.Append(stream_, text, static_cast<size_t>(count));
      return count;
    }

   private:
    HeldOutput& held_;
    std::ostream& stream_;
    std::streambuf* original_;
  };

  // Copies the text once, into the chunk of its stream. A new chunk has room
  // for a little more, as an answer is mostly followed by its line end:
  // a large answer is then not moved again for it.
  void Append(std::ostream& stream, const char* text, size_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    if (chunks_.empty() || chunks_.back().first != &stream) {
      chunks_.emplace_back(&stream, std::string());
      chunks_.back().second.reserve(count + kRoomAfter);
    }
    chunks_.back().second.append(text, count);
  }
  static constexpr size_t kRoomAfter = 64;

  std::mutex mu_;
  std::vector<std::pair<std::ostream*, std::string>> chunks_;
  Buffer out_;
  Buffer err_;
};

std::atomic<HeldOutput*> HeldOutput::active{nullptr};

std::string StoppedBy(int signal) {
  return "stopped by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
}

// Passes what is written to standard output on, unbuffered as before, and
// keeps the reason that the first write that failed gave: by the time the
// run ends, the stream knows only that one did.
class OutputWatch : public std::streambuf {
 public:
  OutputWatch() : original_(std::cout.rdbuf(this)) {}
  ~OutputWatch() override { std::cout.rdbuf(original_); }
  OutputWatch(const OutputWatch&) = delete;
  OutputWatch& operator=(const OutputWatch&) = delete;

  // The run's status once what it printed is known to have reached standard
  // output: an answer lost to a full disk or a closed descriptor makes the
  // run a failure, never a quiet success.
  int Checked(int status) {
    std::cout.flush();
    if (!failed_ && !std::ferror(stdout)) return status;
    const int error = error_;
    std::cerr << "tzdag: cannot write to standard output"
              << (error != 0 ? std::string(": ") + std::strerror(error) : std::string())
              << std::endl;
    return status == kExitOk || status == kExitWarnings ? kExitFailed : status;
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    return Went(original_->sputc(traits_type::to_char_type(c)) != traits_type::eof())
               ? c
               : traits_type::eof();
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    const std::streamsize written = original_->sputn(text, count);
    Went(written == count);
    return written;
  }
  int sync() override { return Went(original_->pubsync() == 0) ? 0 : -1; }

 private:
  // Threads of a run may print at once; the first failure's reason is kept.
  bool Went(bool ok) {
    if (!ok) {
      const int error = errno;
      bool expected = false;
      if (failed_.compare_exchange_strong(expected, true)) error_ = error;
    }
    return ok;
  }

  std::streambuf* original_;
  std::atomic<bool> failed_{false};
  std::atomic<int> error_{0};
};

// How the run ends: stopped by a signal caught meanwhile, or with `status`
// once its output is known to have been written; the log's last line is
// written when the run was started.
int Finish(bool json, OutputWatch& output, int status) {
  if (int signal = SignalWatch::Received()) {
    ReportProblem(json, StoppedBy(signal));
    return RunLog::Stopped(signal);
  }
  return RunLog::End(output.Checked(status));
}

// The file --config names in `args`, as CLI11 will read it; `given` says
// whether the option is there at all.
std::string ConfigOption(const std::vector<std::string>& args, bool& given) {
  given = false;
  std::string path;
  for (size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
    if (args[i].compare(0, 9, "--config=") == 0) {
      given = true;
      path = args[i].substr(9);
    } else if (args[i] == "--config") {
      given = true;
      path = i + 1 < args.size() ? args[i + 1] : std::string();
    }
  }
  return path;
}

// Whether `args` ask for help or the version, which need no settings.
bool AsksForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "--version") return true;
  }
  return false;
}

// The installation id of a command that requires --orbal may come from
// TZ_ORBAL (or orbal in tzdag.toml).
void UseDefaultInstallation(CLI::App& app) {
  for (CLI::App* command : app.get_subcommands({})) {
    CLI::Option* orbal = command->get_option_no_throw("--orbal");
    if (orbal != nullptr && orbal->get_required()) orbal->envname("TZ_ORBAL");
  }
}

// A TZ_ORBAL that is not an id is refused naming where it came from, not as
// a value of --orbal.
void CheckDefaultInstallation() {
  const char* value = std::getenv("TZ_ORBAL");
  if (value == nullptr || *value == '\0') return;
  const std::string text = value;
  if (text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(text) > 4294967295ull) {
    throw UsageError("TZ_ORBAL: '" + text +
                     "' is not an installation id (a decimal number from 0 to 4294967295)");
  }
}

// CLI11's answer to help, the version or a command line it cannot read, as
// tzdag gives it: with --json one object, and an unknown option named as an
// unknown command is.
int ReportParseError(const CLI::App& app, const CLI::ParseError& e, bool json) {
  std::ostringstream out, err;
  const int code = app.exit(e, out, err);
  if (code == 0) {
    if (!json) {
      std::cout << out.str() << std::flush;
    } else if (dynamic_cast<const CLI::CallForVersion*>(&e) != nullptr) {
      PrintJson({{"ok", true}, {"version", TZDAG_VERSION_STRING}});
    } else {
      PrintJson({{"ok", true}, {"help", out.str()}});
    }
    return kExitOk;
  }
  // An option mistyped is what a person most needs to hear about, even when
  // it made a required option seem missing.
  const std::string problem = UnknownOptionProblem(app, app.remaining(true));
  if (!problem.empty()) {
    ReportProblem(json, problem);
  } else {
    std::cerr << err.str() << std::flush;
    if (PluginMode()) {
      PrintJsonText(PluginProblem(e.what()));
    } else if (json) {
      PrintJson({{"ok", false}, {"error", e.what()}});
    }
  }
  return kExitUsage;
}

int Run(const GlobalOptions& global, const Command& command) {
  SignalWatch::Start();
  std::unique_ptr<tzplatform::StoreLock> storeLock;
  try {
    CheckFormat(global, command);
    CheckSetUp(global, command);
    RunLog::Start();
    storeLock = LockStoreFor(command, global.wait);
  } catch (const UsageError& e) {
    RunLog::Start();
    ReportProblem(global.json, WhereSet(e.what()));
    return kExitUsage;
  } catch (const std::runtime_error& e) {
    if (!SignalWatch::Received()) ReportProblem(global.json, e.what());
    return kExitFailed;
  }
  HeldOutput held;
  try {
    // A person at a terminal sees which tool is being waited for.
    std::unique_ptr<WaitIndicator> indicator;
    if (!global.json && command.showsWaits) indicator = std::make_unique<WaitIndicator>();
    const int status = command.run();
    indicator.reset();
    const std::string damage = command.usesStore && !command.reportsDamage
                                   ? tzplatform::StoreDamageSeen(tzplatform::StorePath())
                                   : std::string();
    if (!damage.empty()) throw tzplatform::StoreDamaged(tzplatform::StorePath(), damage);
    held.Release();
    return status;
  } catch (const tzplatform::StoreDamaged& e) {
    // Nothing read from it is shown, and nothing was committed to it.
    held.Discard();
    g_jsonPrinted = false;
    ReportProblem(global.json, e.what());
    return kExitUsage;
  } catch (const UsageError& e) {
    held.Release();
    ReportProblem(global.json, WhereSet(e.what()));
    return kExitUsage;
  } catch (const std::exception& e) {
    // Work has started: whatever it did, this is a failure, not a usage error.
    held.Release();
    ReportProblem(global.json, e.what());
    return kExitFailed;
  }
}

// A command of the tool as help lists it, and what adds its options.
struct CommandEntry {
  const char* name;
  const char* description;
  Command (*add)(CLI::App* command, const GlobalOptions& global);
};

// In the order help lists them.
const CommandEntry kCommands[] = {
    {"init", "Create DIR/store.db and DIR/remote from a fixture (default: the demo fixture)",
     AddInitCommand},
    {"servers", "Member servers of a DAG client that are selected and carry the database agent",
     AddServersCommand},
    {"discover-dbs", "Discover the Exchange databases of a DAG client (DiscoverExDatabase)",
     AddDiscoverDbsCommand},
    {"encrypt",
     "Print the encrypted form of a password, asked for without echo on a terminal, else the first "
     "line of standard input",
     AddEncryptCommand},
    {"unprotected", "List the databases that no subclient protects", AddUnprotectedCommand},
    {"update-subclient",
     "Rewrite a subclient's databases and server associations from a fresh discovery",
     AddUpdateSubclientCommand},
    {"discover-dags",
     "Discover DAGs and their member servers through a proxy client (member servers of one DAG "
     "with --dag)",
     AddDiscoverDagsCommand},
    {"doctor", "Check what will go wrong with a DAG client's backups; writes nothing",
     AddDoctorCommand},
    {"check-store", "Check that the configuration store is sound; says how to recover it if not",
     AddCheckStoreCommand},
    {"clients", "List the DAG clients of the store", AddClientsCommand},
    {"subclients", "List the subclients of a client", AddSubclientsCommand},
    {"sync", "Bring every live subclient of DAG clients up to date, several clients at once",
     AddSyncCommand},
    {"history", "List the journal of committed subclient changes", AddHistoryCommand},
    {"config", "Show the settings in force and where each came from (secrets masked)",
     AddConfigCommand},
};

}  // namespace
}  // namespace tzdag_tool

namespace {
int Main(int argc, char** argv) {
  using namespace tzdag_tool;
  // Before any other thread, so that every thread keeps the signals blocked.
  SignalWatch signals;
  OutputWatch output;

  // The version alone, the answer scripts and packagers ask for most, needs
  // none of the command line's set-up: it is printed as the full parse
  // would print it.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "tzdag " TZDAG_VERSION_STRING << std::endl;
    return Finish(false, output, kExitOk);
  }

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
  app.add_option("--transport", global.transport,
                 "how tools reach the servers: root (the remote root) or ssh (default "
                 "$TZ_REMOTE_TRANSPORT, else root)")
      ->type_name("root|ssh")
      ->check(CLI::IsMember({"root", "ssh"}));
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
  app.add_option("--config", global.config,
                 "settings file read in place of /etc/tzdag/tzdag.toml and the user's "
                 "~/.config/tzdag/tzdag.toml")
      ->type_name("FILE")
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a path" : ""; }, ""));
  app.add_option("--format", global.format,
                 "how a table command prints its answer: table (for people), json (as --json), "
                 "csv (RFC 4180) or tsv")
      ->type_name("table|json|csv|tsv")
      ->check(CLI::IsMember({"table", "json", "csv", "tsv"}))
      ->each([&global](const std::string& format) { global.json |= format == "json"; });
  app.add_flag("--wait", global.wait,
               "a command that changes the store waits while another run holds it");
  app.set_version_flag("--version", "tzdag " TZDAG_VERSION_STRING);

  // For the build: the man page and the bash completion are made from this.
  const bool reference = argc == 2 && std::string(argv[1]) == kCliReferenceArgument;
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Only a command named on the command line can be parsed, so only those
  // are set up with their options. The others are a name and a description
  // in help's list of commands, and not even that when no help can be
  // shown.
  const bool listsCommands = reference || MayAskForHelp(args);
  std::vector<std::string> names;
  std::vector<Command> commands;
  for (const CommandEntry& entry : kCommands) {
    names.push_back(entry.name);
    const bool named = reference || std::find(args.begin(), args.end(), entry.name) != args.end();
    if (!named && !listsCommands) continue;
    CLI::App* command = app.add_subcommand(entry.name, entry.description);
    if (named) commands.push_back(entry.add(command, global));
  }

  UseDefaultInstallation(app);

  if (reference) {
    PrintJson(DescribeCommandLine(app));
    return output.Checked(kExitOk);
  }

  const bool json = AsksForJson(args);
  SetPluginMode(AsksForPlugin(args));
  RunLog runLog(args);
  SignalWatch::SetLastWords([json](int signal) {
    if (HeldOutput* held = HeldOutput::active) held->Release();
    ReportProblem(json, StoppedBy(signal));
    RunLog::Stopped(signal);
  });
  const std::string commandProblem = CommandProblem(app, names, args);
  if (!commandProblem.empty()) {
    ReportProblem(json, commandProblem);
    return kExitUsage;
  }

  // The settings files become variables before anything reads one; help
  // and the version need none, and are shown whatever the files hold.
  bool configGiven = false;
  const std::string configPath = ConfigOption(args, configGiven);
  if (!AsksForHelp(args) && !(configGiven && configPath.empty())) {
    try {
      ReadSettingsFiles(configPath);
      CheckDefaultInstallation();
    } catch (const UsageError& e) {
      ReportProblem(json, WhereSet(e.what()));
      return kExitUsage;
    }
  }

  int status = kExitUsage;
  try {
    app.parse(argc, argv);
    for (const Command& command : commands) {
      if (command.app->parsed()) status = Run(global, command);
    }
  } catch (const CLI::ParseError& e) {
    status = ReportParseError(app, e, json);
  }
  return Finish(json, output, status);
}
}  // namespace

int main(int argc, char** argv) {
  return tzdag_tool::PluginExit(Main(argc, argv));
}
