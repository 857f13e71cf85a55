// Start of the discovery tool for database discovery, and the subclient's
// copy preferences that shape its command line.
#include <string>

#include <tzplatform/ApplicationId.h>

#include "internal.h"
#include "tzdag/TzDagApi.h"

namespace {

// The tool's database discovery command line.
std::string DatabaseDiscoveryArguments(const std::string& server, uint32_t clientId,
                                       bool preferActive, bool useActiveIfNoPassive,
                                       bool useLastActivationPref, int64_t jobId) {
  std::string arguments = preferActive ? "-dag 1" : "-dag 0";
  if (useActiveIfNoPassive) arguments += " -ua";
  if (useLastActivationPref) arguments += " -la";
  if (jobId != 0) arguments += " -j " + std::to_string(jobId);
  // The tool reads the client id as a signed 32-bit number.
  arguments += " -cid " + std::to_string(static_cast<int32_t>(clientId));
  // The name goes as the caller gave it (LaunchPshimFrom refuses one that
  // the tool would read as more than one word).
  arguments += " -hn " + server;
  return arguments;
}

using SubclientFlagQuery = int (MsExchangeSubclient::*)(bool&, void*);

// What the three preference queries share: read one flag of the subclient
// that (orbalId, appId) names. `flag` enters with the query's preset value
// and keeps it when the subclient cannot be reached (false is returned
// then, after the line that says why) or when the query leaves it alone.
bool ReadSubclientFlag(const char* logName, uint32_t orbalId, uint32_t appId,
                       SubclientFlagQuery query, bool& flag) {
  ApplicationId application(orbalId, appId);
  MsExchangeSubclient* subclient = LookUpSubclient(application, logName);
  if (subclient == nullptr) return false;
  // A failed query leaves the preset in place, which is the default wanted.
  (subclient->*query)(flag, nullptr);
  return true;
}

}  // namespace

bool LaunchDatabaseDiscovery(CTzNetwork& session, const std::string& server, uint32_t clientId,
                             bool preferActive, bool useActiveIfNoPassive,
                             bool useLastActivationPref, int64_t jobId, std::string* problem) {
  static const char kLogName[] = "LaunchPshimFrom";
  // The name comes from the store: one that would change the tool's command
  // line (another switch, a second word) starts nothing.
  if (!CheckToolArgument(kLogName, "-hn", server, problem)) return false;
  std::string arguments = DatabaseDiscoveryArguments(
      server, clientId, preferActive, useActiveIfNoPassive, useLastActivationPref, jobId);
  return LaunchRemoteTool(session, kLogName, server, true, arguments, problem);
}

bool LaunchPshimFrom(CTzNetwork& session, const std::string& server, uint32_t clientId,
                     bool preferActive, bool useActiveIfNoPassive, bool useLastActivationPref,
                     int64_t jobId) {
  return LaunchDatabaseDiscovery(session, server, clientId, preferActive, useActiveIfNoPassive,
                                 useLastActivationPref, jobId, nullptr);
}

bool IsPreferActive(uint32_t orbalId, uint32_t appId) {
  static const char kLogName[] = "IsPreferActive";
  bool passive = true;
  if (!ReadSubclientFlag(kLogName, orbalId, appId,
                         &MsExchangeSubclient::isDAGBackupFromPassiveCopySet, passive)) {
    return passive;
  }
  bool preferActive = !passive;
  event.debug(preferActive ? "[%s]: Prefer backup from active node"
                           : "[%s]: Prefer backup from passive node",
              kLogName);
  return preferActive;
}

bool UseActiveIfNoPassive(uint32_t orbalId, uint32_t appId) {
  static const char kLogName[] = "UseActiveIfNoPassive";
  bool useActive = true;
  if (!ReadSubclientFlag(kLogName, orbalId, appId, &MsExchangeSubclient::isDAGBackupFromActiveCopy,
                         useActive)) {
    return useActive;
  }
  event.debug(useActive ? "[%s]: Use active copy if no passive copy available."
                        : "[%s]: Don't use active copy if no passive copy available.",
              kLogName);
  return useActive;
}

bool UseLastActivationPref(uint32_t orbalId, uint32_t appId) {
  static const char kLogName[] = "UseLastActivationPref";
  bool useLast = false;
  if (!ReadSubclientFlag(kLogName, orbalId, appId,
                         &MsExchangeSubclient::isDAGUseLastActivationPreferenceSet, useLast)) {
    return useLast;
  }
  event.debug(useLast ? "[%s]: Use last activation preference for database discovery."
                      : "[%s]: Use first activation preference for database discovery.",
              kLogName);
  return useLast;
}
