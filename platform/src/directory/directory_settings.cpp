// The directory settings, with the environment as the fall-back.
#include "directory/directory_settings.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "tzplatform/DirectorySearch.h"

namespace tzplatform {
namespace {

std::mutex g_mu;
std::optional<DirectorySettings> g_set;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Why `settings` cannot be used, naming `source(field)` for each field; empty
// when they can.
std::string Problem(const DirectorySettings& s, bool fromEnvironment) {
  auto name = [fromEnvironment](const char* variable, const char* field) {
    return std::string(fromEnvironment ? variable : field);
  };
  if (!s.search.empty() && s.search != "ldap") {
    return name("TZ_DIRECTORY_SEARCH", "directory search") + ": '" + s.search +
           "' is not valid (ldap, or unset for no directory search)";
  }
  if (!s.tls.empty() && s.tls != "starttls" && s.tls != "none") {
    return name("TZ_DIRECTORY_TLS", "directory TLS") + ": '" + s.tls +
           "' is not valid (starttls, the default, or none for clear text to ldap:// servers)";
  }
  if (!s.caFile.empty() && access(s.caFile.c_str(), R_OK) != 0) {
    return name("TZ_DIRECTORY_CA_FILE", "directory CA file") + ": '" + s.caFile +
           "' cannot be read";
  }
  if (s.timeoutSeconds < 1) {
    return "directory timeout: " + std::to_string(s.timeoutSeconds) +
           " is not a number of seconds from 1 up";
  }
  if (s.pageSize < 1) {
    return "directory page size: " + std::to_string(s.pageSize) + " is not a number from 1 up";
  }
  return std::string();
}

// TZ_DIRECTORY_TIMEOUT: decimal digits only, from 1 to INT_MAX.
std::optional<int> Seconds(const std::string& text) {
  if (text.empty() || text.size() > 10 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  const long long value = std::stoll(text);
  if (value < 1 || value > INT_MAX) return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace

void SetDirectorySettings(const DirectorySettings& settings) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_set = settings;
}

void ResetDirectorySettings() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_set.reset();
}

DirectorySettings CurrentDirectorySettings(std::string& problem) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    if (g_set) {
      problem = Problem(*g_set, false);
      return *g_set;
    }
  }
  DirectorySettings settings;
  settings.search = Env("TZ_DIRECTORY_SEARCH");
  settings.tls = Env("TZ_DIRECTORY_TLS");
  settings.caFile = Env("TZ_DIRECTORY_CA_FILE");
  const std::string timeout = Env("TZ_DIRECTORY_TIMEOUT");
  problem = Problem(settings, true);
  if (problem.empty() && !timeout.empty()) {
    if (std::optional<int> seconds = Seconds(timeout)) {
      settings.timeoutSeconds = *seconds;
    } else {
      problem = "TZ_DIRECTORY_TIMEOUT: '" + timeout +
                "' is not a number of seconds (a whole number from 1 to " +
                std::to_string(INT_MAX) + ")";
    }
  }
  return settings;
}

bool DirectorySearchEnabled() {
  std::string problem;
  return !CurrentDirectorySettings(problem).search.empty();
}

}  // namespace tzplatform
