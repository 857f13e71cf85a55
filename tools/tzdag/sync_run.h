// One run of `tzdag sync`: DAG clients brought up to date N at once, and
// what came of each, kept for whichever output shows it (the table, JSON).
#ifndef TZDAG_TOOL_SYNC_RUN_H_
#define TZDAG_TOOL_SYNC_RUN_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "progress.h"
#include "tzdag/TzDagApi.h"

namespace tzdag_tool {

// How one client, or the whole run, went: every subclient brought up to
// date; warnings only (circular logging found, or databases that no subclient
// names); or a failure (a subclient failed or was held back, or the client as
// a whole failed).
enum class SyncStatus { kOk, kWarn, kFail };

const char* SyncStatusName(SyncStatus status);  // "ok", "warn", "fail"

struct SyncCounts {
  size_t clients = 0;
  size_t updated = 0;
  size_t unchanged = 0;
  size_t heldBack = 0;
  size_t failed = 0;
  size_t added = 0;
  size_t removed = 0;
  size_t reassociated = 0;
  size_t marked = 0;
  size_t circularLogging = 0;  // discovered databases with circular logging
  size_t unprotected = 0;      // discovered databases no live subclient names

  void Add(const SyncCounts& other);
};

struct SyncedClient {
  uint32_t id = 0;
  std::string name;
  _tagClientSync sync;  // without the change lists unless the run keeps them
  SyncCounts counts;
  SyncStatus status = SyncStatus::kOk;
  int64_t milliseconds = 0;
};

struct SyncRequest {
  uint32_t orbalId = 0;
  struct Client {
    uint32_t id = 0;
    std::string name;
  };
  std::vector<Client> clients;
  unsigned jobs = 4;
  _tagSyncOptions options;
  // Whether each subclient's change lists are kept for the output (a
  // held-back one's always are); without them a run's memory does not grow
  // with what it changed.
  bool keepChanges = true;
};

struct SyncReport {
  uint32_t orbalId = 0;
  bool dryRun = false;
  std::vector<SyncedClient> clients;  // in the order asked for
  SyncCounts totals;
  SyncStatus status = SyncStatus::kOk;
};

// Brings the clients of `request` up to date, `request.jobs` at once (each
// with SyncDagClient on a thread of its own), showing `progress`. Once a
// stop signal came, no further client is begun and no further subclient
// updated. Clients not begun are not in the report.
SyncReport RunSync(const SyncRequest& request, ProgressLine& progress);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_SYNC_RUN_H_
