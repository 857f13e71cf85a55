// Reading tzdag's command line beyond what CLI11 does: the command or option
// a user meant, and where the log goes when nobody said.
#ifndef TZDAG_TOOL_COMMAND_LINE_H_
#define TZDAG_TOOL_COMMAND_LINE_H_

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tzdag_tool {

struct GlobalOptions;

// Whether `args` (without the program name) ask for JSON: a --json before
// any "--", or --format json.
bool AsksForJson(const std::vector<std::string>& args);

// Whether `args` may ask for help (-h, --help, or h among one-letter flags
// such as -vh), wherever it stands: only then is a list of every command
// shown.
bool MayAskForHelp(const std::vector<std::string>& args);

// A usage problem with the command word of `args` that CLI11 would only
// report as "A subcommand is required" (no command, or a word that is not
// one of `commands`), as a one-line message; empty when there is none or
// when help or the version is asked for. `app` has the global options.
std::string CommandProblem(const CLI::App& app, const std::vector<std::string>& commands,
                           const std::vector<std::string>& args);

// `word` as one word of a POSIX shell for a person to read: as it is when it
// holds nothing the shell reads, else in single quotes (ShellWord of
// store_health.h always quotes).
std::string ShellArgument(const std::string& word);

// The word of `words` nearest to `word`, when one is near enough to be a
// slip of the keyboard; empty otherwise.
std::string NearestWord(const std::string& word, const std::vector<std::string>& words);

// The usage problem of `extras`, the words CLI11 found no place for in a
// command line for `app`, when the first that looks like an option is one
// that neither `app` nor its command given has: "unknown option '--stor'
// (did you mean '--store'?)". Empty when none looks like an option.
std::string UnknownOptionProblem(const CLI::App& app, const std::vector<std::string>& extras);

// Checks, for a command that runs the discovery tool, that the tool can be
// reached: through the remote root (the root transport), that one is given
// (--remote-root or TZ_REMOTE_ROOT) as an absolute path to a folder, rather
// than the platform's default folder in whatever folder tzdag runs from.
// Throws UsageError saying what to set.
void CheckRemoteRoot(const GlobalOptions& global);

// Where the log of a tzdag run nobody chose one for goes (see
// DefaultLogFile), without making anything; empty when neither variable
// names a folder.
std::string DefaultLogFilePath();

// The log file of a tzdag run nobody chose one for:
// $XDG_STATE_HOME/tzdag/tzdag.log, else ~/.local/state/tzdag/tzdag.log,
// its folder made (private to the user) when missing. Throws UsageError
// saying why when neither variable names a folder or the folder cannot be
// made.
std::string DefaultLogFile();

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_COMMAND_LINE_H_
