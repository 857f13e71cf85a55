// Process-wide settings, with the environment as the fall-back.
#include "tzplatform/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "directory/directory_settings.h"
#include "log/log_file.h"
#include "session/child_process.h"
#include "tzplatform/DirectorySearch.h"
#include "tzplatform/session.h"

namespace tzplatform {
namespace {

struct Settings {
  std::mutex mu;
  std::optional<std::string> storePath;
  std::optional<std::string> remoteRoot;
  std::optional<int> remoteTimeout;
  std::optional<std::string> logFile;
  std::optional<int> debugLevel;
  std::optional<long long> logMaxSize;
  std::optional<int> logKeep;
  std::optional<std::string> keyFile;
  bool logEcho = false;
  std::optional<int> storeBusyTimeoutMs;
  bool storeReadOnly = false;
  std::optional<PlatformIdentity> identity;
  // How sessions reach the hosts.
  std::optional<Transport> transport;
  std::optional<std::vector<std::string>> sshCommand;
  std::optional<std::string> remoteTool;
  std::optional<ShellKind> shell;
  std::optional<int> sshPersist;
};

Settings& Get() {
  static Settings settings;
  return settings;
}

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? value : fallback;
}

// A whole number written in decimal digits only (no sign, blank or prefix)
// from `low` to `high`; nothing otherwise.
std::optional<int> WholeNumber(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  long long value = std::stoll(text);
  if (value < low || value > high) return std::nullopt;
  return static_cast<int>(value);
}

// The number the variable `name` holds, `fallback` when it is unset or empty;
// SettingsError naming the variable and what it allows otherwise.
int EnvNumber(const char* name, int fallback, int low, int high, const char* what) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  std::optional<int> number = WholeNumber(value, low, high);
  if (!number) {
    throw SettingsError(std::string(name) + ": '" + value + "' is not " + what +
                        " (a whole number from " + std::to_string(low) + " to " +
                        std::to_string(high) + ")");
  }
  return *number;
}

int EnvRemoteTimeout() {
  return EnvNumber("TZ_REMOTE_TIMEOUT", 300, 1, INT_MAX, "a number of seconds");
}

int EnvDebugLevel() {
  return EnvNumber("TZ_DEBUG_LEVEL", 0, 0, kMaxDebugLevel, "a debug level");
}

// TZ_LOG_MAX_SIZE allows up to 1 TiB: a bound that is never reached is a
// mistake, not a wish (0 says "never rotated").
constexpr long long kMaxLogMaxSize = 1LL << 40;

long long EnvLogMaxSize() {
  const char* value = std::getenv("TZ_LOG_MAX_SIZE");
  if (value == nullptr || *value == '\0') return kDefaultLogMaxSize;
  const std::string text = value;
  if (text.size() > 13 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoll(text) > kMaxLogMaxSize) {
    throw SettingsError("TZ_LOG_MAX_SIZE: '" + text +
                        "' is not a size in bytes (a whole number from 0 to " +
                        std::to_string(kMaxLogMaxSize) + "; 0 = never rotated)");
  }
  return std::stoll(text);
}

int EnvLogKeep() {
  return EnvNumber("TZ_LOG_KEEP", kDefaultLogKeep, 0, kMaxLogKeep, "a number of log files");
}

Transport EnvTransport() {
  const std::string text = EnvOr("TZ_REMOTE_TRANSPORT", "root");
  Transport transport;
  if (!ParseTransport(text, transport)) {
    throw SettingsError("TZ_REMOTE_TRANSPORT: '" + text + "' is not valid (root or ssh)");
  }
  return transport;
}

std::vector<std::string> EnvSshCommand() {
  const std::string text = EnvOr("TZ_SSH_COMMAND", "ssh");
  std::vector<std::string> words;
  std::string why;
  if (!SplitCommandWords(text, words, why)) {
    throw SettingsError("TZ_SSH_COMMAND: '" + text + "' cannot be used: " + why);
  }
  return words;
}

ShellKind EnvShell() {
  const std::string text = EnvOr("TZ_REMOTE_SHELL", "cmd");
  ShellKind shell;
  if (!ParseShellKind(text, shell)) {
    throw SettingsError("TZ_REMOTE_SHELL: '" + text + "' is not valid (cmd, powershell or sh)");
  }
  return shell;
}

int EnvSshPersist() {
  return EnvNumber("TZ_SSH_PERSIST", 0, 1, INT_MAX, "a number of seconds");
}

// The transport's settings, each as set or from its variable.
void CheckTransportSettings() {
  if (RemoteTransport() != Transport::kSsh) {
    RemoteShell();
    SshPersist();
    SshCommand();
    return;
  }
  const std::vector<std::string> command = SshCommand();
  const char* path = std::getenv("PATH");
  if (detail::FindProgram(command[0], path != nullptr ? path : "").empty()) {
    throw SettingsError(
        "TZ_SSH_COMMAND: '" + command[0] + "' is not " +
        (command[0].find('/') == std::string::npos ? "a program on PATH" : "an executable file"));
  }
  const ShellKind shell = RemoteShell();
  const std::string tool = RemoteTool();
  std::string quoted, why;
  if (!tool.empty() && !QuoteForShell(shell, tool, quoted, why)) {
    throw SettingsError("TZ_REMOTE_TOOL: '" + tool + "' cannot pass through " + ShellName(shell) +
                        ": " + why);
  }
  SshPersist();
}

}  // namespace

void SetStorePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().storePath = path;
}

std::string StorePath() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().storePath) return *Get().storePath;
  return EnvOr("TZ_CONFIG_STORE", "./tzdag-store.db");
}

void SetRemoteRoot(const std::string& path) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().remoteRoot = path;
}

std::string RemoteRoot() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().remoteRoot) return *Get().remoteRoot;
  return EnvOr("TZ_REMOTE_ROOT", "./remote");
}

void SetRemoteTimeout(int seconds) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().remoteTimeout = seconds < 1 ? 1 : seconds;
}

int RemoteTimeout() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().remoteTimeout) return *Get().remoteTimeout;
  return EnvRemoteTimeout();
}

void SetLogFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().logFile = path;
}

std::string LogFile() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().logFile) return *Get().logFile;
  return EnvOr("TZ_LOG_FILE", "-");
}

void SetDebugLevel(int level) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().debugLevel = level;
}

int DebugLevel() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().debugLevel) return *Get().debugLevel;
  try {
    return EnvDebugLevel();
  } catch (const SettingsError&) {
    // The log cannot refuse a line; CheckSettings refuses the value.
    return 0;
  }
}

void SetLogMaxSize(long long bytes) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().logMaxSize = bytes < 0 ? 0 : bytes;
}

long long LogMaxSize() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().logMaxSize) return *Get().logMaxSize;
  try {
    return EnvLogMaxSize();
  } catch (const SettingsError&) {
    return kDefaultLogMaxSize;
  }
}

void SetLogKeep(int files) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().logKeep = std::min(std::max(files, 0), kMaxLogKeep);
}

int LogKeep() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().logKeep) return *Get().logKeep;
  try {
    return EnvLogKeep();
  } catch (const SettingsError&) {
    return kDefaultLogKeep;
  }
}

void CheckLogFile(const std::string& path) {
  if (path == "-" || path.empty()) return;
  std::string problem;
  const int fd = detail::OpenLogFile(path, problem);
  if (fd < 0) throw SettingsError("cannot write the log file " + path + ": " + problem);
  close(fd);
}

void CheckSettings() {
  bool timeoutSet, logSet, levelSet, maxSizeSet, keepSet;
  {
    std::lock_guard<std::mutex> lock(Get().mu);
    timeoutSet = Get().remoteTimeout.has_value();
    logSet = Get().logFile.has_value();
    levelSet = Get().debugLevel.has_value();
    maxSizeSet = Get().logMaxSize.has_value();
    keepSet = Get().logKeep.has_value();
  }
  if (!timeoutSet) EnvRemoteTimeout();
  if (!levelSet) EnvDebugLevel();
  if (!maxSizeSet) EnvLogMaxSize();
  if (!keepSet) EnvLogKeep();
  if (!logSet) {
    try {
      CheckLogFile(EnvOr("TZ_LOG_FILE", "-"));
    } catch (const SettingsError& e) {
      throw SettingsError(std::string("TZ_LOG_FILE: ") + e.what());
    }
  }
  // The directory search's settings, set or from TZ_DIRECTORY_*.
  std::string directoryProblem;
  CurrentDirectorySettings(directoryProblem);
  if (!directoryProblem.empty()) throw SettingsError(directoryProblem);
  CheckTransportSettings();
}

void SetLogEcho(bool echo) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().logEcho = echo;
}

bool LogEcho() {
  std::lock_guard<std::mutex> lock(Get().mu);
  return Get().logEcho;
}

void SetKeyFile(const std::string& path) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().keyFile = path;
}

namespace {

// The key file set here or named by TZ_KEY_FILE; empty when neither names one.
std::string NamedKeyFile() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().keyFile) return *Get().keyFile;
  return EnvOr("TZ_KEY_FILE", "");
}

}  // namespace

std::string KeyFile() {
  std::string named = NamedKeyFile();
  if (!named.empty()) return named;
  const std::string store = StorePath();
  const size_t slash = store.rfind('/');
  if (slash == std::string::npos) return "tzdag.key";
  return store.substr(0, slash + 1) + "tzdag.key";
}

std::string KeyFileProblem() {
  if (!NamedKeyFile().empty()) return std::string();
  const std::string store = StorePath();
  struct stat st;
  if (stat(store.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return std::string();
  return "there is no store at " + store + " to keep the host key beside";
}

void SetStoreBusyTimeout(int milliseconds) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().storeBusyTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

int StoreBusyTimeout() {
  std::lock_guard<std::mutex> lock(Get().mu);
  return Get().storeBusyTimeoutMs ? *Get().storeBusyTimeoutMs : 30000;
}

void SetStoreReadOnly(bool readOnly) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().storeReadOnly = readOnly;
}

bool StoreReadOnly() {
  std::lock_guard<std::mutex> lock(Get().mu);
  return Get().storeReadOnly;
}

void SetPlatformIdentity(const PlatformIdentity& identity) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().identity = identity;
}

PlatformIdentity GetPlatformIdentity() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().identity) return *Get().identity;
  PlatformIdentity identity;
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof(host) - 1) == 0) identity.physicalMachine = host;
  return identity;
}

bool ParseTransport(const std::string& text, Transport& transport) {
  if (text == "root") {
    transport = Transport::kRoot;
  } else if (text == "ssh") {
    transport = Transport::kSsh;
  } else {
    return false;
  }
  return true;
}

void SetRemoteTransport(Transport transport) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().transport = transport;
}

Transport RemoteTransport() {
  {
    std::lock_guard<std::mutex> lock(Get().mu);
    if (Get().transport) return *Get().transport;
  }
  return EnvTransport();
}

bool SplitCommandWords(const std::string& text, std::vector<std::string>& words, std::string& why) {
  words.clear();
  std::string word;
  bool inWord = false;
  char quote = '\0';
  for (char c : text) {
    if (quote != '\0') {
      if (c == quote) {
        quote = '\0';
      } else {
        word += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      inWord = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quote != '\0') {
    why = std::string("a ") + quote + " quote is not closed";
    return false;
  }
  if (inWord) words.push_back(word);
  if (words.empty() || words[0].empty()) {
    why = "it names no program";
    return false;
  }
  return true;
}

void SetSshCommand(const std::vector<std::string>& words) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().sshCommand = words;
}

std::vector<std::string> SshCommand() {
  {
    std::lock_guard<std::mutex> lock(Get().mu);
    if (Get().sshCommand && !Get().sshCommand->empty()) return *Get().sshCommand;
  }
  return EnvSshCommand();
}

void SetRemoteTool(const std::string& path) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().remoteTool = path;
}

std::string RemoteTool() {
  std::lock_guard<std::mutex> lock(Get().mu);
  if (Get().remoteTool) return *Get().remoteTool;
  return EnvOr("TZ_REMOTE_TOOL", "");
}

bool ParseShellKind(const std::string& text, ShellKind& shell) {
  for (ShellKind kind : {ShellKind::kCmd, ShellKind::kPowerShell, ShellKind::kSh}) {
    if (text == ShellName(kind)) {
      shell = kind;
      return true;
    }
  }
  return false;
}

const char* ShellName(ShellKind shell) {
  switch (shell) {
    case ShellKind::kCmd:
      return "cmd";
    case ShellKind::kPowerShell:
      return "powershell";
    case ShellKind::kSh:
      break;
  }
  return "sh";
}

void SetRemoteShell(ShellKind shell) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().shell = shell;
}

ShellKind RemoteShell() {
  {
    std::lock_guard<std::mutex> lock(Get().mu);
    if (Get().shell) return *Get().shell;
  }
  return EnvShell();
}

void SetSshPersist(int seconds) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().sshPersist = seconds < 0 ? 0 : seconds;
}

int SshPersist() {
  {
    std::lock_guard<std::mutex> lock(Get().mu);
    if (Get().sshPersist) return *Get().sshPersist;
  }
  return EnvSshPersist();
}

void ResetSettings() {
  std::lock_guard<std::mutex> lock(Get().mu);
  Settings& s = Get();
  s.storePath.reset();
  s.remoteRoot.reset();
  s.remoteTimeout.reset();
  s.logFile.reset();
  s.debugLevel.reset();
  s.logMaxSize.reset();
  s.logKeep.reset();
  s.keyFile.reset();
  s.logEcho = false;
  s.storeBusyTimeoutMs.reset();
  s.storeReadOnly = false;
  s.identity.reset();
  s.transport.reset();
  s.sshCommand.reset();
  s.remoteTool.reset();
  s.shell.reset();
  s.sshPersist.reset();
  ResetDirectorySettings();
}

}  // namespace tzplatform
