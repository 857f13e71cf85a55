#include "command_line.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <tzplatform/settings.h>

#include "commands.h"

namespace tzdag_tool {
namespace {

// Edits (insert, delete, change, swap of neighbours) that turn `a` into `b`.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::string ShellArgument(const std::string& word) {
  if (!word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789/._+,:@%=-") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string NearestWord(const std::string& word, const std::vector<std::string>& commands) {
  std::string best;
  if (word.empty()) return best;
  size_t bestDistance = std::max<size_t>(2, word.size() / 3) + 1;
  for (const std::string& command : commands) {
    size_t distance = Distance(word, command);
    // A command the word starts, or that starts the word, is meant too.
    if (command.compare(0, word.size(), word) == 0 ||
        word.compare(0, command.size(), command) == 0) {
      distance = std::min<size_t>(distance, 1);
    }
    if (distance < bestDistance) {
      best = command;
      bestDistance = distance;
    }
  }
  return best;
}

namespace {

// mkdir -p with mode 0700 for what it makes.
int MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

}  // namespace

bool AsksForJson(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") return false;
    if (args[i] == "--json" || args[i] == "--format=json") return true;
    if (args[i] == "--format" && i + 1 < args.size() && args[i + 1] == "json") return true;
  }
  return false;
}

bool MayAskForHelp(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg.compare(0, 6, "--help") == 0) return true;
    if (arg.size() > 1 && arg[0] == '-' && arg[1] != '-' && arg.find('h') != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string CommandProblem(const CLI::App& app, const std::vector<std::string>& commands,
                           const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help" || arg == "--version") return std::string();
    if (arg == "--") break;
    if (arg.size() > 1 && arg[0] == '-') {
      // A global option that takes a value takes the next word unless it
      // came as --name=value.
      const std::string name = arg.substr(0, arg.find('='));
      const CLI::Option* option = app.get_option_no_throw(name);
      // Before the command only global options come (-vv is -v twice).
      const bool flags = arg[1] != '-' && arg.find_first_not_of(arg[1], 1) == std::string::npos &&
                         app.get_option_no_throw(arg.substr(0, 2)) != nullptr;
      if (option == nullptr && !flags) return UnknownOptionProblem(app, {arg});
      if (option != nullptr && option->get_items_expected_max() > 0 &&
          arg.find('=') == std::string::npos) {
        ++i;
      }
      continue;
    }
    if (std::find(commands.begin(), commands.end(), arg) != commands.end()) return std::string();
    std::string message = "unknown command '" + arg + "'";
    const std::string nearest = NearestWord(arg, commands);
    if (!nearest.empty()) return message + " (did you mean '" + nearest + "'?)";
    return message + " (see tzdag --help)";
  }
  return "no command given (see tzdag --help)";
}

std::string UnknownOptionProblem(const CLI::App& app, const std::vector<std::string>& extras) {
  std::vector<std::string> names;
  std::string command = "tzdag";
  std::vector<const CLI::App*> scopes = {&app};
  for (const CLI::App* sub : app.get_subcommands()) {
    scopes.push_back(sub);
    command += " " + sub->get_name();
  }
  for (const CLI::App* scope : scopes) {
    for (const CLI::Option* option : scope->get_options()) {
      for (const std::string& name : option->get_lnames()) names.push_back("--" + name);
      for (const std::string& name : option->get_snames()) names.push_back("-" + name);
    }
  }
  for (const std::string& extra : extras) {
    if (extra.size() < 2 || extra[0] != '-') continue;
    const std::string name = extra.substr(0, extra.find('='));
    std::string message = "unknown option '" + name + "'";
    const std::string nearest = NearestWord(name, names);
    if (!nearest.empty() && nearest != name) return message + " (did you mean '" + nearest + "'?)";
    return message + " (see " + command + " --help)";
  }
  return std::string();
}

void CheckRemoteRoot(const GlobalOptions& global) {
  if (tzplatform::RemoteTransport() != tzplatform::Transport::kRoot) return;
  std::string root = global.remoteRoot;
  std::string from = "--remote-root";
  if (root.empty()) {
    const char* fromEnvironment = std::getenv("TZ_REMOTE_ROOT");
    if (fromEnvironment == nullptr || *fromEnvironment == '\0') {
      throw UsageError(
          "no remote root: give --remote-root DIR, or set remote_root in tzdag.toml or "
          "TZ_REMOTE_ROOT (an absolute path)");
    }
    root = fromEnvironment;
    from = "TZ_REMOTE_ROOT";
  }
  if (root[0] != '/') {
    throw UsageError(from + ": the remote root '" + root +
                     "' is not an absolute path (it would depend on the folder tzdag runs in)");
  }
  struct stat st;
  if (stat(root.c_str(), &st) != 0) {
    throw UsageError(from + ": the remote root " + root + ": " + std::strerror(errno));
  }
  if (!S_ISDIR(st.st_mode))
    throw UsageError(from + ": the remote root " + root + " is not a folder");
}

std::string DefaultLogFilePath() {
  const char* state = std::getenv("XDG_STATE_HOME");
  // XDG base directories must be absolute; a relative one is ignored.
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tzdag/tzdag.log";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::string();
  return std::string(home) + "/.local/state/tzdag/tzdag.log";
}

std::string DefaultLogFile() {
  const std::string path = DefaultLogFilePath();
  if (path.empty()) {
    throw UsageError("no folder for the log: HOME is not set (give --log FILE or set TZ_LOG_FILE)");
  }
  const std::string folder = path.substr(0, path.rfind('/'));
  if (int error = MakeFolders(folder)) {
    throw UsageError("cannot make the folder of the log " + folder + ": " + std::strerror(error) +
                     " (give --log FILE or set TZ_LOG_FILE)");
  }
  return path;
}

}  // namespace tzdag_tool
