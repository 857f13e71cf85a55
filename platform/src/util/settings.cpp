// Process-wide settings, with the environment as the fall-back.
#include "tzplatform/settings.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>

namespace tzplatform {
namespace {

struct Settings {
  std::mutex mu;
  std::optional<std::string> storePath;
  std::optional<std::string> remoteRoot;
  std::optional<int> remoteTimeout;
  std::optional<std::string> logFile;
  std::optional<int> debugLevel;
  std::optional<int> storeBusyTimeoutMs;
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

// A decimal integer from the environment; anything else gives the fall-back.
int EnvIntOr(const char* name, int fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  errno = 0;
  char* end = nullptr;
  long parsed = std::strtol(value, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT_MIN || parsed > INT_MAX) return fallback;
  return static_cast<int>(parsed);
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
  int seconds = Get().remoteTimeout ? *Get().remoteTimeout : EnvIntOr("TZ_REMOTE_TIMEOUT", 300);
  return seconds < 1 ? 1 : seconds;
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
  return EnvIntOr("TZ_DEBUG_LEVEL", 0);
}

void SetStoreBusyTimeout(int milliseconds) {
  std::lock_guard<std::mutex> lock(Get().mu);
  Get().storeBusyTimeoutMs = milliseconds < 0 ? 0 : milliseconds;
}

int StoreBusyTimeout() {
  std::lock_guard<std::mutex> lock(Get().mu);
  return Get().storeBusyTimeoutMs ? *Get().storeBusyTimeoutMs : 30000;
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
  s.storeBusyTimeoutMs.reset();
  s.identity.reset();
}

}  // namespace tzplatform
