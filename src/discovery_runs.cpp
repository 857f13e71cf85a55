#include "discovery_runs.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include <tzplatform/CTzNetwork.h>

#include "internal.h"
#include "tzdag/TzDagApi.h"

namespace {

void RunOne(DiscoveryRun& run, uint32_t clientId) {
  const auto start = std::chrono::steady_clock::now();
  {
    CTzNetwork session;
    const CopyPreferences& p = run.preferences;
    run.started =
        LaunchDatabaseDiscovery(session, run.server, clientId, p.preferActive,
                                p.useActiveIfNoPassive, p.useLastActivationPref, 0, &run.problem);
    if (run.started) run.answered = ReceiveDatabaseAnswer(session, run.answer, &run.problem);
  }  // the session ends its tool before the time is taken
  run.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
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
  if (runs.empty()) return;
  std::atomic<size_t> next{0};
  std::mutex failureLock;
  std::exception_ptr failure;
  auto work = [&] {
    for (size_t index = next++; index < runs.size(); index = next++) {
      try {
        RunOne(runs[index], clientId);
      } catch (...) {
        std::lock_guard<std::mutex> hold(failureLock);
        if (!failure) failure = std::current_exception();
      }
    }
  };

  const size_t workers = std::min<size_t>(std::max(atOnce, 1u), runs.size());
  std::vector<std::thread> helpers;
  helpers.reserve(workers - 1);
  for (size_t i = 1; i < workers; ++i) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the runs left are shared among the threads there are
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}
