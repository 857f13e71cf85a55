// Runs of database discovery's tool: side by side (the probes of the health
// check), or one server after another as DiscoverExDatabase tries them; each
// on its own session.
#ifndef TZDAG_SRC_DISCOVERY_RUNS_H_
#define TZDAG_SRC_DISCOVERY_RUNS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tzdag/TzDagApi.h"
#include "tzdag/records.h"

// How the tool is to choose the copy it names for backup.
using CopyPreferences = _tagCopyPreferences;

// What DiscoverExDatabase reads for (orbalId, appId), with its lines.
CopyPreferences ReadCopyPreferences(uint32_t orbalId, uint32_t appId);

// One start of the tool for database discovery and its answer.
struct DiscoveryRun {
  std::string server;           // the member server to run it on
  CopyPreferences preferences;  // its command line's copy switches
  bool started = false;         // the session started the tool
  bool answered = false;        // the tool answered with a database list
  std::string problem;          // why not, for people; empty when answered
  int64_t milliseconds = 0;     // launch and receipt
  Uvo::DAGDBResp answer;        // the database list as received, unfiltered
};

// Runs every run of `runs` as DiscoverExDatabase runs one attempt for DAG
// client `clientId` (no job): LaunchPshimFrom, then ReceiveRespsonse, each on
// a session of its own and with their log lines. At most `atOnce` (0 counts
// as 1) run at a time: on the calling thread and on up to atOnce - 1 threads
// of its own, all joined before it returns (fewer when the system gives no
// more). Each run ends within the session's time limit. An exception of a
// platform call in a run is passed on once every run has ended (the first,
// when several threw); the other runs are kept.
void RunDiscoveries(std::vector<DiscoveryRun>& runs, uint32_t clientId, unsigned atOnce);

// Runs the tool with `run.preferences` and `jobId` as DiscoverExDatabase
// does for DAG client `clientId`: on each of `servers` in turn until it
// starts on one (a failed start is logged under `logName` and the next
// server tried; nothing else moves on), then receives its answer there.
// `run.server` names the server it started on (or the last one tried);
// `run.milliseconds` covers every attempt. True when it answered.
bool DiscoverOnFirstServer(const char* logName, const std::vector<std::string>& servers,
                           uint32_t clientId, int64_t jobId, DiscoveryRun& run);

#endif  // TZDAG_SRC_DISCOVERY_RUNS_H_
