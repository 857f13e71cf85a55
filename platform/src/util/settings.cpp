// Process-wide settings, with the environment as the fall-back.
#include "tzplatform/settings.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "directory/directory_settings.h"
#include "log/log_file.h"
#include "tzplatform/DirectorySearch.h"

namespace tzplatform {
namespace {

struct Settings {
  std::mutex mu;
  std::optional<std::string> storePath;
  std::optional<std::string> remoteRoot;
  std::optional<int> remoteTimeout;
  std::optional<std::string> logFile;
  std::optional<int> debugLevel;
  std::optional<std::string> keyFile;
  bool logEcho = false;
  std::optional<int> storeBusyTimeoutMs;
  bool storeReadOnly = false;
  std::optional<PlatformIdentity> identity;
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

void CheckLogFile(const std::string& path) {
  if (path == "-" || path.empty()) return;
  std::string problem;
  const int fd = detail::OpenLogFile(path, problem);
  if (fd < 0) throw SettingsError("cannot write the log file " + path + ": " + problem);
  close(fd);
}

void CheckSettings() {
  bool timeoutSet, logSet, levelSet;
  {
    std::lock_guard<std::mutex> lock(Get().mu);
    timeoutSet = Get().remoteTimeout.has_value();
    logSet = Get().logFile.has_value();
    levelSet = Get().debugLevel.has_value();
  }
  if (!timeoutSet) EnvRemoteTimeout();
  if (!levelSet) EnvDebugLevel();
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

void ResetSettings() {
  std::lock_guard<std::mutex> lock(Get().mu);
  Settings& s = Get();
  s.storePath.reset();
  s.remoteRoot.reset();
  s.remoteTimeout.reset();
  s.logFile.reset();
  s.debugLevel.reset();
  s.keyFile.reset();
  s.logEcho = false;
  s.storeBusyTimeoutMs.reset();
  s.storeReadOnly = false;
  s.identity.reset();
  ResetDirectorySettings();
}

}  // namespace tzplatform
