#include "discovery_runs.h"

#include <chrono>

#include <tzplatform/CTzNetwork.h>
#include <tzplatform/parallel.h>

#include "internal.h"
#include "tzdag/TzDagApi.h"

namespace {

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// One attempt on run.server: the launch and, when it started, the receipt.
void Attempt(DiscoveryRun& run, uint32_t clientId, int64_t jobId) {
  CTzNetwork session;
  const CopyPreferences& p = run.preferences;
  run.started =
      LaunchDatabaseDiscovery(session, run.server, clientId, p.preferActive, p.useActiveIfNoPassive,
                              p.useLastActivationPref, jobId, &run.problem);
  if (run.started) run.answered = ReceiveDatabaseAnswer(session, run.answer, &run.problem);
}  // the session ends its tool before the caller takes the time

void RunOne(DiscoveryRun& run, uint32_t clientId) {
  const auto start = std::chrono::steady_clock::now();
  Attempt(run, clientId, 0);
  run.milliseconds = MillisecondsSince(start);
}

}  // namespace

CopyPreferences ReadCopyPreferences(uint32_t orbalId, uint32_t appId) {
  CopyPreferences preferences;
  preferences.preferActive = IsPreferActive(orbalId, appId);
  preferences.useActiveIfNoPassive = UseActiveIfNoPassive(orbalId, appId);
  preferences.useLastActivationPref = UseLastActivationPref(orbalId, appId);
  return preferences;
}

void RunDiscoveries(std::vector<DiscoveryRun>& runs, uint32_t clientId, unsigned atOnce) {
  tzplatform::RunAtOnce(runs.size(), atOnce, [&](size_t index) { RunOne(runs[index], clientId); });
}

bool DiscoverOnFirstServer(const char* logName, const std::vector<std::string>& servers,
                           uint32_t clientId, int64_t jobId, DiscoveryRun& run) {
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& server : servers) {
    run.server = server;
    run.problem.clear();
    Attempt(run, clientId, jobId);
    if (run.started) break;
    event.debug("[%s]: Failed to launch PshimProxy on server %s, trying another one.", logName,
                server.c_str());
  }
  if (servers.empty()) run.problem = "no member server to run the tool on";
  run.milliseconds = MillisecondsSince(start);
  return run.answered;
}
