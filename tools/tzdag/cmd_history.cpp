// tzdag history: the journal of committed subclient changes, newest first;
// with --prune-before, the removal of old entries.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <tzplatform/Journal.h>
#include <tzplatform/inventory.h>
#include <tzplatform/settings.h>

#include "changes_output.h"
#include "commands.h"
#include "id_check.h"
#include "id_option.h"
#include "output.h"

namespace tzdag_tool {
namespace {

struct HistoryOptions {
  uint32_t client = 0;
  uint32_t app = 0;
  std::string database;
  std::string since;
  size_t limit = 0;
  std::string pruneBefore;
  // Which of the id options were given.
  CLI::Option* clientOption = nullptr;
  CLI::Option* appOption = nullptr;
  CLI::Option* sinceOption = nullptr;
  CLI::Option* pruneOption = nullptr;
};

std::string TimeOf(const std::string& option, const std::string& text) {
  const std::string time = tzplatform::JournalTime(text);
  if (time.empty()) {
    throw UsageError(option + ": '" + text +
                     "' is not a time (YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS], in UTC)");
  }
  return time;
}

_tagSubclientChanges ChangesOf(const tzplatform::JournalEntry& entry) {
  _tagSubclientChanges changes;
  for (const tzplatform::JournalChange& change : entry.changes) {
    switch (change.kind) {
      case tzplatform::JournalChangeKind::kRemoved:
        changes.removed.push_back(change.database);
        break;
      case tzplatform::JournalChangeKind::kAdded:
        changes.added.push_back(change.database);
        break;
      case tzplatform::JournalChangeKind::kReassociated:
        changes.reassociated.push_back({change.database, change.hadServer, change.from, change.to});
        break;
      case tzplatform::JournalChangeKind::kMarked:
        changes.marked.push_back(change.database);
        break;
    }
  }
  return changes;
}

// An id the store does not know may still be one the journal names (of a
// client or subclient since removed).
void CheckIds(const HistoryOptions& options) {
  const std::string store = tzplatform::StorePath();
  if (options.clientOption->count() > 0 && !tzplatform::HasClient(store, options.client)) {
    tzplatform::JournalQuery query;
    query.clientId = options.client;
    query.limit = 1;
    if (tzplatform::ReadJournal(store, query).empty()) CheckClient(options.client);
  }
  if (options.appOption->count() > 0 && !tzplatform::HasSubclient(store, options.app)) {
    tzplatform::JournalQuery query;
    query.subclientId = options.app;
    query.limit = 1;
    if (tzplatform::ReadJournal(store, query).empty()) {
      throw UsageError("--app: application " + std::to_string(options.app) +
                       " is not in the configuration store, and the journal has no entry of it");
    }
  }
}

int Prune(const HistoryOptions& options, const GlobalOptions& global) {
  if (TableFormatOf(global.format) != TableFormat::kTable) {
    throw UsageError("--format " + global.format + ": history --prune-before prints no table");
  }
  const std::string before = TimeOf("--prune-before", options.pruneBefore);
  const size_t removed = tzplatform::PruneJournal(tzplatform::StorePath(), before);
  if (global.json) {
    PrintJson({{"ok", true}, {"removed", removed}, {"before", before}});
  } else {
    std::cout << "Removed " << removed << " journal entr" << (removed == 1 ? "y" : "ies")
              << " made before " << before << ".\n";
  }
  return kExitOk;
}

int RunHistory(const HistoryOptions& options, const GlobalOptions& global) {
  if (options.pruneOption->count() > 0) return Prune(options, global);
  tzplatform::JournalQuery query;
  if (options.clientOption->count() > 0) query.clientId = options.client;
  if (options.appOption->count() > 0) query.subclientId = options.app;
  query.database = options.database;
  if (options.sinceOption->count() > 0) query.since = TimeOf("--since", options.since);
  query.limit = options.limit;
  CheckIds(options);
  const std::vector<tzplatform::JournalEntry> entries =
      tzplatform::ReadJournal(tzplatform::StorePath(), query);

  if (global.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const tzplatform::JournalEntry& e : entries) {
      list.push_back({{"id", e.id},
                      {"time", e.time},
                      {"orbalId", e.orbalId},
                      {"clientId", e.clientId},
                      {"subclientId", e.subclientId},
                      {"server", e.server},
                      {"result", e.result},
                      {"user", e.user},
                      {"host", e.host},
                      {"changes", ChangesJson(ChangesOf(e))}});
    }
    PrintJson({{"ok", true}, {"entries", list}});
    return kExitOk;
  }
  const TableFormat format = TableFormatOf(global.format);
  if (entries.empty() && format == TableFormat::kTable) {
    std::cout << "The journal has no entry"
              << (query.clientId || query.subclientId || !query.database.empty() ||
                          !query.since.empty()
                      ? " that matches"
                      : "")
              << ".\n";
    return kExitOk;
  }
  // For people the entry's own columns on the row of its first change only;
  // a record for a program stands on its own.
  std::vector<std::vector<std::string>> rows;
  for (const tzplatform::JournalEntry& e : entries) {
    bool first = true;
    for (std::vector<std::string>& change : ChangeRows(ChangesOf(e), format)) {
      std::vector<std::string> row;
      if (first || format != TableFormat::kTable) {
        row = {e.time,   std::to_string(e.clientId), std::to_string(e.subclientId),
               e.server, std::to_string(e.result),   e.user + "@" + e.host};
      } else {
        row.assign(6, "");
      }
      first = false;
      row.insert(row.end(), change.begin(), change.end());
      rows.push_back(std::move(row));
    }
  }
  PrintRows(
      std::cout, format,
      {"TIME", "CLIENT", "SUBCLIENT", "SERVER", "RESULT", "BY", "CHANGE", "DATABASE", "FROM", "TO"},
      rows);
  return kExitOk;
}

}  // namespace

Command AddHistoryCommand(CLI::App* sub, const GlobalOptions& global) {
  auto options = std::make_shared<HistoryOptions>();
  options->clientOption = AddIdOption(sub, "--client", options->client, "only this DAG client");
  options->appOption = AddIdOption(sub, "--app", options->app, "only this subclient");
  CLI::Option* database = sub->add_option("--database", options->database,
                                          "only changes of this database (letter case ignored)")
                              ->type_name("NAME");
  CLI::Option* since = options->sinceOption =
      sub->add_option("--since", options->since, "only entries made at or after this time (UTC)")
          ->type_name("TIME");
  CLI::Option* limit = sub->add_option("--limit", options->limit, "at most this many entries")
                           ->check(CLI::Range(size_t{1}, size_t{1000000000}))
                           ->type_name("N");
  CLI::Option* prune = options->pruneOption =
      sub->add_option("--prune-before", options->pruneBefore,
                      "remove the entries made before this time (UTC) instead")
          ->type_name("TIME");
  for (CLI::Option* filter : {options->clientOption, options->appOption, database, since, limit}) {
    prune->excludes(filter);
  }
  sub->footer(
      "Every committed update of a subclient by update-subclient or sync that changed something, "
      "newest first: when, where the databases were discovered, by whom, and each change. "
      "Times are UTC: YYYY-MM-DD, or YYYY-MM-DDTHH:MM[:SS].\n"
      "Example: tzdag history --database 'First\\DB01' --since 2026-01-01");
  Command command{sub, [options, &global] { return RunHistory(*options, global); }};
  command.writesAsParsed = [prune] {
    return prune->count() > 0 ? StoreWrites::kChanges : StoreWrites::kNever;
  };
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
