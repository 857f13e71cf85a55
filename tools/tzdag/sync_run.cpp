#include "sync_run.h"

#include <algorithm>
#include <chrono>
#include <memory>

#include <tzplatform/parallel.h>

#include "signals.h"

namespace tzdag_tool {
namespace {

SyncCounts CountsOf(const _tagClientSync& sync) {
  SyncCounts counts;
  counts.clients = 1;
  for (const _tagSubclientSync& subclient : sync.subclients) {
    switch (subclient.outcome) {
      case kSubclientUpdated:
        ++counts.updated;
        break;
      case kSubclientUnchanged:
        ++counts.unchanged;
        break;
      case kSubclientHeldBack:
        ++counts.heldBack;
        break;
      default:
        ++counts.failed;
        break;
    }
    // What a held-back or failed update would have done was not done.
    if (subclient.outcome != kSubclientUpdated) continue;
    counts.added += subclient.changes.added.size();
    counts.removed += subclient.changes.removed.size();
    counts.reassociated += subclient.changes.reassociated.size();
    counts.marked += subclient.changes.marked.size();
  }
  counts.circularLogging = sync.circularLogging;
  counts.unprotected = sync.unprotected;
  return counts;
}

SyncStatus StatusOf(const _tagClientSync& sync, const SyncCounts& counts) {
  if (!sync.error.empty() || counts.failed > 0 || counts.heldBack > 0) return SyncStatus::kFail;
  const bool circularLoggingFound =
      std::any_of(sync.subclients.begin(), sync.subclients.end(),
                  [](const _tagSubclientSync& subclient) { return subclient.result == -3; });
  if (circularLoggingFound || counts.unprotected > 0) return SyncStatus::kWarn;
  return SyncStatus::kOk;
}

}  // namespace

const char* SyncStatusName(SyncStatus status) {
  switch (status) {
    case SyncStatus::kFail:
      return "fail";
    case SyncStatus::kWarn:
      return "warn";
    default:
      return "ok";
  }
}

void SyncCounts::Add(const SyncCounts& other) {
  clients += other.clients;
  updated += other.updated;
  unchanged += other.unchanged;
  heldBack += other.heldBack;
  failed += other.failed;
  added += other.added;
  removed += other.removed;
  reassociated += other.reassociated;
  marked += other.marked;
  circularLogging += other.circularLogging;
  unprotected += other.unprotected;
}

SyncReport RunSync(const SyncRequest& request, ProgressLine& progress) {
  SyncReport report;
  report.orbalId = request.orbalId;
  report.dryRun = request.options.dryRun;
  std::vector<std::unique_ptr<SyncedClient>> done(request.clients.size());
  _tagSyncOptions options = request.options;
  options.stopRequested = [] { return SignalWatch::Received() != 0; };

  tzplatform::RunAtOnce(request.clients.size(), request.jobs, [&](size_t index) {
    if (SignalWatch::Received() != 0) return;
    const SyncRequest::Client& client = request.clients[index];
    progress.Started(
        index, std::to_string(client.id) + (client.name.empty() ? "" : " (" + client.name + ")"));
    auto synced = std::make_unique<SyncedClient>();
    synced->id = client.id;
    synced->name = client.name;
    const auto start = std::chrono::steady_clock::now();
    SyncDagClient(request.orbalId, client.id, options, synced->sync);
    synced->milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    synced->counts = CountsOf(synced->sync);
    synced->status = StatusOf(synced->sync, synced->counts);
    if (!request.keepChanges) {
      // A held-back update is reported with what it would have removed.
      for (_tagSubclientSync& subclient : synced->sync.subclients) {
        if (subclient.outcome != kSubclientHeldBack) subclient.changes = _tagSubclientChanges();
      }
    }
    done[index] = std::move(synced);
    progress.Finished(index);
  });

  for (std::unique_ptr<SyncedClient>& client : done) {
    if (!client) continue;
    report.totals.Add(client->counts);
    report.status = std::max(report.status, client->status);
    report.clients.push_back(std::move(*client));
  }
  return report;
}

}  // namespace tzdag_tool
