// Bringing subclients up to date: database discovery with each subclient's
// own copy preferences, then UpdateSubclient for each subclient in a store
// transaction of its own, with what it changed read around it, an update
// that would remove too much held back, and each committed change journaled.
#include <algorithm>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include <tzplatform/ApplicationId.h>
#include <tzplatform/ClientApplicationList.h>
#include <tzplatform/Journal.h>
#include <tzplatform/StoreTransaction.h>
#include <tzplatform/Subclient.h>

#include "discovery_runs.h"
#include "internal.h"
#include "live_subclients.h"
#include "name_lookup.h"
#include "subclient_changes.h"
#include "tzdag/TzDagApi.h"

namespace {

const char kClientLog[] = "SyncDagClient";
const char kSubclientLog[] = "SyncSubclient";
// The store's own value for the subclient list query.
const int kSubclientListFlags = 15;
const char kStopped[] = "not updated: the sync was stopped";

void Fail(const char* logName, _tagSubclientSync& sync, const std::string& why) {
  sync.outcome = kSubclientFailed;
  sync.error = why;
  event.debug("[%s]: Subclient %u left unchanged: %s", logName, sync.appId, why.c_str());
}

bool Stopped(const _tagSyncOptions& options) {
  return options.stopRequested && options.stopRequested();
}

// "33.3%": a share as a person reads it, whole when it is whole.
std::string Percent(size_t part, size_t whole) {
  if (part * 100 % whole == 0) return std::to_string(part * 100 / whole) + "%";
  char text[32];
  std::snprintf(text, sizeof(text), "%.1f%%",
                static_cast<double>(part) * 100.0 / static_cast<double>(whole));
  return text;
}

// Whether removing `removed` of `before` content entries goes past the share
// an update may remove.
bool RemovesTooMuch(size_t removed, size_t before, const _tagSyncOptions& options) {
  return !options.allowRemoval && removed * 100 > size_t{options.maxRemovalPercent} * before;
}

tzplatform::JournalEntry JournalEntryOf(uint32_t orbalId, uint32_t clientId,
                                        const _tagSubclientSync& sync) {
  tzplatform::JournalEntry entry;
  entry.orbalId = orbalId;
  entry.clientId = clientId;
  entry.subclientId = sync.appId;
  entry.server = sync.server;
  entry.result = sync.result;
  using Kind = tzplatform::JournalChangeKind;
  auto add = [&entry](Kind kind, const std::string& database) {
    tzplatform::JournalChange change;
    change.kind = kind;
    change.database = database;
    entry.changes.push_back(std::move(change));
  };
  for (const std::string& path : sync.changes.removed) add(Kind::kRemoved, path);
  for (const std::string& path : sync.changes.added) add(Kind::kAdded, path);
  for (const _tagReassociation& moved : sync.changes.reassociated) {
    add(Kind::kReassociated, moved.database);
    entry.changes.back().hadServer = moved.hadServer;
    entry.changes.back().from = moved.from;
    entry.changes.back().to = moved.to;
  }
  for (const std::string& path : sync.changes.marked) add(Kind::kMarked, path);
  return entry;
}

// Updates subclient sync.appId from `answer` in a store transaction of its
// own, begun only now that discovery is over. `content` receives the
// subclient's content paths after the update when it was made (or, a dry
// run, would be); it is left alone otherwise.
void UpdateFromAnswer(const char* logName, uint32_t orbalId, uint32_t clientId,
                      const Uvo::DAGDBResp& answer, const _tagSyncOptions& options,
                      _tagSubclientSync& sync, std::vector<std::string>& content) {
  tzplatform::StoreTransaction transaction;
  if (transaction.status() != 0) {
    Fail(
        logName, sync,
        "the configuration store could not be locked for the update: " + transaction.errorString());
    return;
  }
  const StoredSubclient before = ReadStoredSubclient(sync.appId);
  if (!before.read) {
    Fail(logName, sync, "its content cannot be read from the configuration store");
    return;
  }
  sync.contentBefore = before.content.size();
  sync.result = UpdateSubclient(orbalId, sync.appId, answer, options.markForceFull);
  if (sync.result == -1) {
    Fail(logName, sync, "the update failed (the lines of UpdateSubclient in the log say why)");
    return;
  }
  const StoredSubclient after = ReadStoredSubclient(sync.appId);
  if (!after.read) {
    Fail(logName, sync, "its content cannot be read from the configuration store after the update");
    return;
  }
  sync.changes = CompareStoredSubclients(before, after);

  // A discovery answer that lost databases must not strip the subclient of
  // them: the transaction ends here, rolled back.
  const size_t removed = sync.changes.removed.size();
  if (RemovesTooMuch(removed, before.content.size(), options)) {
    sync.outcome = kSubclientHeldBack;
    sync.error = "the update would remove " + std::to_string(removed) + " of its " +
                 std::to_string(before.content.size()) + " databases (" +
                 Percent(removed, before.content.size()) + ", more than the " +
                 std::to_string(options.maxRemovalPercent) + "% allowed); nothing was stored";
    event.debug("[%s]: Update of subclient %u held back: %s", logName, sync.appId,
                sync.error.c_str());
    return;
  }
  sync.outcome = sync.changes.empty() ? kSubclientUnchanged : kSubclientUpdated;
  if (options.dryRun) {
    event.debug("[%s]: Dry run: the update of subclient %u is rolled back", logName, sync.appId);
    content = after.Paths();
    return;
  }
  if (!sync.changes.empty()) {
    tzplatform::JournalEntry entry = JournalEntryOf(orbalId, clientId, sync);
    if (int status = tzplatform::RecordJournalEntry(entry)) {
      Fail(logName, sync,
           "its journal entry could not be written (status " + std::to_string(status) +
               "); nothing was stored");
      return;
    }
    sync.journalEntry = entry.id;
  }
  if (transaction.Commit() != 0) {
    sync.journalEntry = 0;
    Fail(logName, sync, "the update could not be committed: " + transaction.errorString());
    return;
  }
  content = after.Paths();
  event.debug("[%s]: Subclient %u %s: %zu removed, %zu added, %zu reassociated, %zu marked",
              logName, sync.appId, sync.outcome == kSubclientUpdated ? "updated" : "unchanged",
              sync.changes.removed.size(), sync.changes.added.size(),
              sync.changes.reassociated.size(), sync.changes.marked.size());
}

// Database discovery for the client with one set of copy preferences, narrowed
// to its selected member servers. `run.problem` says why it failed;
// `timedOut`, when given, whether because the tool did not end in time.
bool DiscoverFor(const char* logName, const std::vector<std::string>& servers, uint32_t clientId,
                 int64_t jobId, DiscoveryRun& run, bool* timedOut = nullptr) {
  if (!DiscoverOnFirstServer(logName, servers, clientId, jobId, run)) {
    if (timedOut != nullptr) {
      *timedOut =
          run.started && run.problem.rfind(std::to_string(CWqError::kTimedOut) + ":", 0) == 0;
    }
    if (!run.started) {
      run.problem =
          "the tool could not be started on any selected member server with the agent"
          " (on " +
          run.server + ": " + run.problem + ")";
    } else {
      run.problem = "the tool on " + run.server + " gave no answer: " + run.problem;
    }
    return false;
  }
  if (!FilterResponceForClient(clientId, run.answer)) {
    run.answered = false;
    run.problem = "the answer cannot be narrowed to the client: no member server is selected";
    return false;
  }
  return true;
}

// The member servers discovery may run on; none raises what discovery
// raises then (unless a dry run, which leaves the store as it was).
std::vector<std::string> ServersToRunOn(const char* logName, uint32_t clientId,
                                        const _tagSyncOptions& options) {
  std::vector<std::string> servers = GetRemoteServer(clientId);
  if (servers.empty()) {
    if (options.dryRun) {
      event.debug("[%s]: Did not find an exchange server with UVO installed", logName);
    } else {
      ReportNoExchangeServer(logName);
    }
  }
  return servers;
}

std::string NoServerText(uint32_t clientId) {
  return "no selected member server of client " + std::to_string(clientId) +
         " carries the database agent: database discovery cannot run";
}

// Why the application cannot be brought up to date as a subclient of the
// client; empty when it can. Another client's subclient would be given this
// client's databases.
std::string SubclientProblem(uint32_t orbalId, uint32_t clientId, _tagSubclientSync& sync) {
  ApplicationId application(orbalId, sync.appId);
  MsExchangeSubclient* subclient = LookUpSubclient(application, kSubclientLog);
  if (subclient == nullptr) {
    const std::string why = application.getErrorString();
    return why.empty() ? "its subclient cannot be read" : why;
  }
  std::vector<uint64_t> ids;
  std::vector<std::string> names;
  ClientApplicationList list;
  if (int status = list.getSubclientList(ids, names, static_cast<uint64_t>(clientId), 0, 0, 0,
                                         nullptr, kSubclientListFlags)) {
    return "the subclients of client " + std::to_string(clientId) + " cannot be read (status " +
           std::to_string(status) + ")";
  }
  auto found = std::find(ids.begin(), ids.end(), uint64_t{sync.appId});
  if (found == ids.end()) {
    return "application " + std::to_string(sync.appId) + " is not a subclient of client " +
           std::to_string(clientId);
  }
  sync.name = names[static_cast<size_t>(found - ids.begin())];
  bool automatic = true;
  if (subclient->isselectionTypeAutomatic(automatic, nullptr) != 0) {
    return "its selection type cannot be read";
  }
  sync.automatic = automatic;
  return "";
}

// The discoveries of one client: one run per distinct set of copy preferences,
// in the order its subclients first ask for them, and which were tried.
struct ClientDiscoveries {
  std::vector<DiscoveryRun> runs;
  std::vector<bool> tried;

  DiscoveryRun& For(const _tagCopyPreferences& preferences) {
    return *std::find_if(runs.begin(), runs.end(),
                         [&](const DiscoveryRun& run) { return run.preferences == preferences; });
  }
};

// Runs discovery once for each distinct set of copy preferences among the
// subclients of `sync`, one after the other, recording each in
// `sync.discoveries`. After a tool that did not answer within the time limit
// the other sets are not tried: they would keep the client waiting as long.
ClientDiscoveries DiscoverEachPreferenceSet(const std::vector<std::string>& servers,
                                            uint32_t clientId, const _tagSyncOptions& options,
                                            _tagClientSync& sync) {
  ClientDiscoveries discoveries;
  if (servers.empty()) return discoveries;
  for (const _tagSubclientSync& subclient : sync.subclients) {
    auto same = [&](const DiscoveryRun& run) { return run.preferences == subclient.preferences; };
    if (std::any_of(discoveries.runs.begin(), discoveries.runs.end(), same)) continue;
    discoveries.runs.emplace_back();
    discoveries.runs.back().preferences = subclient.preferences;
  }
  discoveries.tried.assign(discoveries.runs.size(), false);
  const DiscoveryRun* timedOut = nullptr;
  for (size_t r = 0; r < discoveries.runs.size(); ++r) {
    DiscoveryRun& run = discoveries.runs[r];
    if (Stopped(options)) {
      run.problem = kStopped;
      continue;
    }
    if (timedOut != nullptr) {
      run.problem = "the tool on " + timedOut->server +
                    " did not answer within the time limit with other copy preferences";
    } else {
      discoveries.tried[r] = true;
      bool late = false;
      DiscoverFor(kClientLog, servers, clientId, options.jobId, run, &late);
      if (late) timedOut = &run;
    }
    _tagSyncDiscovery discovery;
    discovery.preferences = run.preferences;
    discovery.server = run.server;
    discovery.answered = run.answered;
    discovery.error = run.problem;
    discovery.milliseconds = run.milliseconds;
    if (run.answered) discovery.databases = run.answer.getDatabases().size();
    sync.discoveries.push_back(std::move(discovery));
  }
  return discoveries;
}

// Updates each live subclient of `sync` from the answer of its preferences
// and hands back the database paths (folded) their content names after it.
std::unordered_set<std::string> UpdateEachSubclient(uint32_t orbalId, uint32_t clientId,
                                                    const LiveSubclients& read,
                                                    ClientDiscoveries& discoveries,
                                                    const _tagSyncOptions& options,
                                                    _tagClientSync& sync) {
  std::unordered_set<std::string> named;
  for (size_t i = 0; i < read.live.size(); ++i) {
    _tagSubclientSync& subclient = sync.subclients[i];
    std::vector<std::string> content = read.live[i].content;
    if (!sync.error.empty()) {
      Fail(kClientLog, subclient, sync.error);
    } else if (Stopped(options)) {
      Fail(kClientLog, subclient, kStopped);
    } else {
      const DiscoveryRun& run = discoveries.For(subclient.preferences);
      const bool tried = discoveries.tried[static_cast<size_t>(&run - discoveries.runs.data())];
      if (run.answered) {
        subclient.server = run.server;
        subclient.discovered = true;
        UpdateFromAnswer(kClientLog, orbalId, clientId, run.answer, options, subclient, content);
      } else {
        if (run.started) subclient.server = run.server;
        Fail(kClientLog, subclient,
             run.problem == kStopped
                 ? run.problem
                 : std::string("database discovery with its copy preferences ") +
                       (tried ? "failed: " : "was not tried: ") + run.problem);
      }
    }
    for (const std::string& path : content) named.insert(FoldName(path));
  }
  return named;
}

// Every database any answer names, once: how many, with circular logging,
// and named by no live subclient's content.
void CountDatabases(const std::vector<DiscoveryRun>& runs,
                    const std::unordered_set<std::string>& named, _tagClientSync& sync) {
  std::unordered_set<std::string> seen;
  for (const DiscoveryRun& run : runs) {
    if (!run.answered) continue;
    for (const CNMessageBase& record : run.answer.getDatabases()) {
      const std::string name = FoldName(tzdag::GetString(record, Uvo::DAGDB::kDbName));
      if (!seen.insert(name).second) continue;
      ++sync.databases;
      if (tzdag::GetInt64(record, Uvo::DAGDB::kCircularLogging) != 0) ++sync.circularLogging;
      if (named.count(name) == 0) ++sync.unprotected;
    }
  }
}

}  // namespace

bool SyncSubclient(uint32_t orbalId, uint32_t clientId, uint32_t appId,
                   const _tagSyncOptions& options, _tagSubclientSync& sync) {
  sync = _tagSubclientSync();
  sync.appId = appId;
  event.debug("[%s]: Bring subclient %u of DAG client %u, installation %u, up to date%s",
              kSubclientLog, appId, clientId, orbalId, options.dryRun ? " (dry run)" : "");
  const std::string problem = SubclientProblem(orbalId, clientId, sync);
  if (!problem.empty()) {
    Fail(kSubclientLog, sync, problem);
    return false;
  }
  sync.preferences = ReadCopyPreferences(orbalId, appId);
  const std::vector<std::string> servers = ServersToRunOn(kSubclientLog, clientId, options);
  if (servers.empty()) {
    Fail(kSubclientLog, sync, NoServerText(clientId));
    return false;
  }
  DiscoveryRun run;
  run.preferences = sync.preferences;
  const bool discovered = DiscoverFor(kSubclientLog, servers, clientId, options.jobId, run);
  if (run.started) sync.server = run.server;
  sync.discovered = discovered;
  if (!discovered) {
    Fail(kSubclientLog, sync, "database discovery failed: " + run.problem);
    return false;
  }
  if (Stopped(options)) {
    Fail(kSubclientLog, sync, kStopped);
    return false;
  }
  std::vector<std::string> content;
  UpdateFromAnswer(kSubclientLog, orbalId, clientId, run.answer, options, sync, content);
  return sync.outcome == kSubclientUpdated || sync.outcome == kSubclientUnchanged;
}

bool SyncDagClient(uint32_t orbalId, uint32_t clientId, const _tagSyncOptions& options,
                   _tagClientSync& sync) {
  sync = _tagClientSync();
  sync.orbalId = orbalId;
  sync.clientId = clientId;
  event.debug("[%s]: Bring the subclients of DAG client %u of installation %u up to date%s",
              kClientLog, clientId, orbalId, options.dryRun ? " (dry run)" : "");
  const LiveSubclients read = ReadLiveSubclients(kClientLog, orbalId, clientId);
  if (read.listStatus != 0) {
    sync.error = "its subclients cannot be read from the configuration store (status " +
                 std::to_string(read.listStatus) + ")";
    event.debug("[%s]: DAG client %u left unchanged: %s", kClientLog, clientId, sync.error.c_str());
    return false;
  }
  if (read.live.empty() && read.unreadable.empty()) {
    event.debug("[%s]: DAG client %u has no live subclient of installation %u", kClientLog,
                clientId, orbalId);
    return true;
  }
  for (const LiveSubclient& subclient : read.live) {
    _tagSubclientSync one;
    one.appId = subclient.id;
    one.name = subclient.name;
    one.automatic = subclient.automatic;
    one.preferences = subclient.preferences;
    sync.subclients.push_back(std::move(one));
  }

  const std::vector<std::string> servers = ServersToRunOn(kClientLog, clientId, options);
  if (servers.empty()) sync.error = NoServerText(clientId);
  ClientDiscoveries discoveries = DiscoverEachPreferenceSet(servers, clientId, options, sync);
  const std::unordered_set<std::string> named =
      UpdateEachSubclient(orbalId, clientId, read, discoveries, options, sync);
  for (const LiveSubclient& unreadable : read.unreadable) {
    _tagSubclientSync one;
    one.appId = unreadable.id;
    one.name = unreadable.name;
    Fail(kClientLog, one, "it cannot be read from the configuration store");
    sync.subclients.push_back(std::move(one));
  }
  CountDatabases(discoveries.runs, named, sync);

  size_t done = 0;
  for (const _tagSubclientSync& subclient : sync.subclients) {
    if (subclient.outcome == kSubclientUpdated || subclient.outcome == kSubclientUnchanged) ++done;
  }
  event.debug("[%s]: DAG client %u: %zu of %zu subclients brought up to date", kClientLog, clientId,
              done, sync.subclients.size());
  return done == sync.subclients.size() && sync.error.empty();
}
