// Reading tzdag's command line beyond what CLI11 does: the command a user
// meant, and where the log goes when nobody said.
#ifndef TZDAG_TOOL_COMMAND_LINE_H_
#define TZDAG_TOOL_COMMAND_LINE_H_

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace tzdag_tool {

// Whether `args` (without the program name) ask for JSON: a --json before
// any "--".
bool AsksForJson(const std::vector<std::string>& args);

// The word of `words` nearest to `word`, when one is near enough to be a
// slip; empty when none is.
std::string Nearest(const std::string& word, const std::vector<std::string>& words);

// A usage problem with the command word of `args` that CLI11 would only
// report as "A subcommand is required" (no command, or a word that is not a
// command of `app`), as a one-line message; empty when there is none or when
// help or the version is asked for.
std::string CommandProblem(const CLI::App& app, const std::vector<std::string>& args);

// The log file of a tzdag run nobody chose one for:
// $XDG_STATE_HOME/tzdag/tzdag.log, else ~/.local/state/tzdag/tzdag.log,
// its folder made (private to the user) when missing. Throws UsageError
// saying why when neither variable names a folder or the folder cannot be
// made.
std::string DefaultLogFile();

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_COMMAND_LINE_H_
