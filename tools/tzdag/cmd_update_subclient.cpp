// tzdag update-subclient: rewrite a subclient's database content and server
// associations from a fresh database discovery of its DAG client, and show
// what changed.
#include <algorithm>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <tzplatform/ApplicationId.h>
#include <tzplatform/ClientApplicationList.h>
#include <tzplatform/Properties.h>
#include <tzplatform/StoreTransaction.h>
#include <tzplatform/Subclient.h>
#include <tzplatform/log.h>

#include "commands.h"
#include "id_option.h"
#include "log_report.h"
#include "output.h"
#include "signals.h"
#include "tool_options.h"
#include "tzdag/TzDagApi.h"

namespace tzdag_tool {
namespace {

struct UpdateOptions {
  uint32_t orbal = 0;
  uint32_t client = 0;
  uint32_t app = 0;
  bool forceFull = false;
  bool dryRun = false;
};

const char kAssociationSuffix[] = "0x12";

struct ContentEntry {
  std::string name;  // as the store named it
  std::string path;  // description, backslash, store name
  bool forceFull = false;
};

struct Association {
  std::string name;
  std::string server;
};

// What the store holds for a subclient, in the store's order.
struct SubclientState {
  bool read = false;
  std::vector<ContentEntry> content;
  std::vector<Association> associations;
};

struct Reassociation {
  std::string database;
  std::optional<std::string> from;  // none: the database had no association
  std::string to;
};

struct Changes {
  std::vector<std::string> removed;
  std::vector<std::string> added;
  std::vector<Reassociation> reassociated;
  std::vector<std::string> marked;

  bool empty() const {
    return removed.empty() && added.empty() && reassociated.empty() && marked.empty();
  }
};

SubclientState ReadSubclientState(uint32_t appId) {
  SubclientState state;
  MsExchangeSubclient subclient(appId, false);
  PropertiesList properties;
  if (subclient.getProperties(properties, nullptr) != 0) return state;
  state.read = true;
  for (const ApplProperty* property : properties) {
    if (const auto* entry = dynamic_cast<const ExchangeDBProperty*>(property)) {
      state.content.push_back({entry->getName(),
                               std::string(entry->getDescription()) + "\\" + entry->getStoreName(),
                               entry->isForceFullOnNextBackup()});
    } else if (const auto* association = dynamic_cast<const DAGDBProperty*>(property)) {
      state.associations.push_back({association->getName(), association->getAssociatedServer()});
    }
  }
  return state;
}

// A content entry is the same entry before and after when the store name and
// the path agree (the store may give a freed name to a new entry).
const ContentEntry* FindEntry(const std::vector<ContentEntry>& entries, const ContentEntry& entry) {
  for (const ContentEntry& candidate : entries) {
    if (candidate.name == entry.name && candidate.path == entry.path) return &candidate;
  }
  return nullptr;
}

std::string DatabaseOfAssociation(const std::string& name) {
  const size_t suffix = sizeof(kAssociationSuffix) - 1;
  if (name.size() >= suffix &&
      name.compare(name.size() - suffix, suffix, kAssociationSuffix) == 0) {
    return name.substr(0, name.size() - suffix);
  }
  return name;
}

Changes CompareStates(const SubclientState& before, const SubclientState& after) {
  Changes changes;
  for (const ContentEntry& entry : before.content) {
    if (FindEntry(after.content, entry) == nullptr) changes.removed.push_back(entry.path);
  }
  for (const ContentEntry& entry : after.content) {
    const ContentEntry* old = FindEntry(before.content, entry);
    if (old == nullptr) {
      changes.added.push_back(entry.path);
    } else if (!old->forceFull && entry.forceFull) {
      changes.marked.push_back(entry.path);
    }
  }
  // Associations are compared by database, so that one stored under another
  // spelling of its name (with or without the suffix) still counts as the
  // database's previous server.
  std::map<std::string, std::string> previousServers;
  for (const Association& association : before.associations) {
    previousServers[DatabaseOfAssociation(association.name)] = association.server;
  }
  for (const Association& association : after.associations) {
    Reassociation change;
    change.database = DatabaseOfAssociation(association.name);
    change.to = association.server;
    auto previous = previousServers.find(change.database);
    if (previous != previousServers.end()) {
      if (previous->second == association.server) continue;
      change.from = previous->second;
    }
    changes.reassociated.push_back(change);
  }
  return changes;
}

// The application must be a subclient of the client whose databases are
// discovered, or the update would give it another DAG's databases. An
// application the store does not know is left to the update to report.
void CheckSubclientOfClient(const UpdateOptions& options) {
  ApplicationId application(options.orbal, options.app);
  if (application.getApplicationId(nullptr) != 0) return;
  std::vector<uint64_t> ids;
  std::vector<std::string> names;
  ClientApplicationList applications;
  if (applications.getSubclientList(ids, names, static_cast<uint64_t>(options.client), 0, 0, 0,
                                    nullptr, 15) != 0) {
    return;
  }
  if (std::find(ids.begin(), ids.end(), options.app) == ids.end()) {
    throw UsageError("application " + std::to_string(options.app) +
                     " is not a subclient of client " + std::to_string(options.client));
  }
}

const char* ResultMeaning(int result) {
  switch (result) {
    case 0:
      return "updated";
    case -3:
      return "updated, circular logging found";
    default:
      return "failed";
  }
}

nlohmann::json ChangesJson(const Changes& changes) {
  nlohmann::json reassociated = nlohmann::json::array();
  for (const Reassociation& r : changes.reassociated) {
    reassociated.push_back({{"database", r.database},
                            {"from", r.from ? nlohmann::json(*r.from) : nlohmann::json()},
                            {"to", r.to}});
  }
  return {{"removed", changes.removed},
          {"added", changes.added},
          {"reassociated", reassociated},
          {"marked", changes.marked}};
}

void PrintChanges(std::ostream& out, const Changes& changes) {
  if (changes.empty()) {
    out << "No changes.\n";
    return;
  }
  std::vector<std::vector<std::string>> rows;
  for (const std::string& path : changes.removed) rows.push_back({"removed", path});
  for (const std::string& path : changes.added) rows.push_back({"added", path});
  for (const Reassociation& r : changes.reassociated) {
    rows.push_back({"reassociated", r.database, r.from ? *r.from : "(none)", r.to});
  }
  for (const std::string& path : changes.marked) rows.push_back({"marked full", path});
  PrintTable(out, {"CHANGE", "DATABASE", "FROM", "TO"}, rows);
}

// What one update did: the subclient before and after it, read inside the
// update's own transaction so that they show exactly this update's writes.
struct UpdateOutcome {
  bool locked = false;  // the transaction began
  std::string lockError;
  int result = -1;
  SubclientState before;
  SubclientState after;
};

// The update and the two reads around it in one store transaction, begun only
// after discovery so that the write lock is never held while a tool runs. A
// dry run rolls it back; so does a failed update.
UpdateOutcome UpdateInTransaction(const UpdateOptions& options, const Uvo::DAGDBResp& resp) {
  UpdateOutcome outcome;
  tzplatform::StoreTransaction transaction;
  if (transaction.status() != 0) {
    outcome.lockError = transaction.errorString();
    return outcome;
  }
  outcome.locked = true;
  outcome.before = ReadSubclientState(options.app);
  outcome.result = UpdateSubclient(options.orbal, options.app, resp, options.forceFull);
  outcome.after = ReadSubclientState(options.app);
  if (options.dryRun || outcome.result == -1) return outcome;
  if (transaction.Commit() != 0) {
    outcome.result = -1;
    outcome.lockError = transaction.errorString();
    outcome.after = outcome.before;
  }
  return outcome;
}

int RunUpdateSubclient(const UpdateOptions& options, const GlobalOptions& global) {
  CheckSubclientOfClient(options);

  tzplatform::LogCapture capture;
  Uvo::DAGDBResp resp;
  std::string server;
  bool discovered = DiscoverExDatabase(options.orbal, options.client, 0, server, resp, 0);
  // Asked to stop while the tool ran: the store is not touched any more.
  if (SignalWatch::Received() != 0) return kExitFailed;
  UpdateOutcome outcome;
  if (discovered) outcome = UpdateInTransaction(options, resp);
  const int result = outcome.result;

  // Changes are what the store shows; a failed update was rolled back.
  Changes changes;
  if (result != -1 && outcome.before.read && outcome.after.read) {
    changes = CompareStates(outcome.before, outcome.after);
  }

  const bool ok = discovered && result != -1;
  // Why it failed, in one line.
  std::string summary;
  if (!discovered) {
    summary = "database discovery for client " + std::to_string(options.client) +
              " failed; subclient " + std::to_string(options.app) + " left unchanged";
  } else if (!outcome.locked) {
    summary = "subclient " + std::to_string(options.app) +
              " left unchanged: the configuration store could not be locked for the update: " +
              outcome.lockError;
  } else if (result == -1) {
    summary = "update of subclient " + std::to_string(options.app) + " failed" +
              (outcome.lockError.empty() ? "" : ": " + outcome.lockError);
  }
  if (global.json) {
    nlohmann::json answer = {{"ok", ok}, {"result", result}, {"changes", ChangesJson(changes)}};
    if (!ok) {
      answer["error"] = summary;
      AddCapturedLog(answer, capture);
    }
    PrintJson(answer);
  } else if (discovered) {
    std::cout << "Subclient " << options.app << ", databases discovered on " << DisplayText(server)
              << "\n";
    PrintChanges(std::cout, changes);
    std::cout << "Result: " << result << " (" << ResultMeaning(result) << ")\n";
    if (options.dryRun) std::cout << "Dry run: the store was left as it was.\n";
  }
  if (!ok) {
    ReportFailure(std::cerr, summary, capture);
  } else if (!outcome.before.read || !outcome.after.read) {
    std::cerr << "tzdag: the properties of subclient " << options.app
              << " could not be read around the update; changes are not shown\n";
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

Command AddUpdateSubclientCommand(CLI::App& root, const GlobalOptions& global) {
  auto options = std::make_shared<UpdateOptions>();
  CLI::App* sub = root.add_subcommand(
      "update-subclient",
      "Rewrite a subclient's databases and server associations from a fresh discovery");
  AddIdOption(sub, "--orbal", options->orbal, "installation id")->required();
  AddIdOption(sub, "--client", options->client, "DAG client id (the subclient's client)")
      ->required();
  AddIdOption(sub, "--app", options->app, "application (subclient) id")->required();
  sub->add_flag("--force-full", options->forceFull,
                "mark kept databases with circular logging for a full backup");
  sub->add_flag("--dry-run", options->dryRun, "show the changes without storing them");
  AddTimeoutOption(sub);
  sub->footer("Example: tzdag update-subclient --orbal 1 --client 2 --app 11 --dry-run");
  Command command{sub, [options, &global] { return RunUpdateSubclient(*options, global); }};
  command.writes = StoreWrites::kChanges;
  return command;
}

}  // namespace tzdag_tool
