// tzdag sync: every live subclient of some or all DAG clients brought up to
// date in one run, clients side by side, with a summary and one exit status.
#include <algorithm>
#include <ctime>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <tzplatform/inventory.h>
#include <tzplatform/settings.h>

#include <boost/algorithm/string/join.hpp>

#include "changes_output.h"
#include "commands.h"
#include "id_check.h"
#include "id_option.h"
#include "monitoring.h"
#include "output.h"
#include "progress.h"
#include "removal_option.h"
#include "signals.h"
#include "sync_run.h"
#include "tool_options.h"

namespace tzdag_tool {
namespace {

constexpr unsigned kDefaultJobs = 4;

struct SyncOptions {
  uint32_t orbal = 0;
  std::vector<uint32_t> clients;
  bool all = false;
  unsigned jobs = kDefaultJobs;
  bool dryRun = false;
  bool forceFull = false;
  RemovalOptions removal;
  MonitoringOptions monitoring;
};

const char* OutcomeName(SubclientSyncOutcome outcome) {
  switch (outcome) {
    case kSubclientUpdated:
      return "updated";
    case kSubclientUnchanged:
      return "unchanged";
    case kSubclientHeldBack:
      return "held back";
    default:
      return "failed";
  }
}

std::string ClientLabel(const SyncedClient& client) {
  return "client " + std::to_string(client.id) +
         (client.name.empty() ? "" : " (" + client.name + ")");
}

std::string SubclientLabel(const _tagSubclientSync& subclient) {
  return "subclient " + std::to_string(subclient.appId) +
         (subclient.name.empty() ? "" : " (" + subclient.name + ")");
}

// The clients to bring up to date, in the order asked for, each once.
std::vector<SyncRequest::Client> ClientsToSync(const SyncOptions& options) {
  const std::string store = tzplatform::StorePath();
  std::vector<SyncRequest::Client> clients;
  if (options.all) {
    for (const tzplatform::InventoryClient& client :
         tzplatform::ReadDagClients(store, options.orbal)) {
      clients.push_back({client.id, client.name});
    }
    if (clients.empty()) {
      throw std::runtime_error("installation " + std::to_string(options.orbal) +
                               " has no DAG client (no client with member server entries has "
                               "a subclient of it)");
    }
    return clients;
  }
  const std::vector<tzplatform::InventoryClient> known = tzplatform::ReadDagClients(store);
  for (uint32_t id : options.clients) {
    auto same = [id](const SyncRequest::Client& client) { return client.id == id; };
    if (std::any_of(clients.begin(), clients.end(), same)) continue;
    CheckClient(id);
    auto found = std::find_if(known.begin(), known.end(),
                              [id](const tzplatform::InventoryClient& c) { return c.id == id; });
    clients.push_back({id, found == known.end() ? std::string() : found->name});
  }
  return clients;
}

nlohmann::json CountsJson(const SyncCounts& counts) {
  return {{"updated", counts.updated},
          {"unchanged", counts.unchanged},
          {"heldBack", counts.heldBack},
          {"failed", counts.failed},
          {"added", counts.added},
          {"removed", counts.removed},
          {"reassociated", counts.reassociated},
          {"marked", counts.marked},
          {"circularLogging", counts.circularLogging},
          {"unprotected", counts.unprotected}};
}

nlohmann::json PreferencesJson(const _tagCopyPreferences& preferences) {
  return {{"preferActive", preferences.preferActive},
          {"useActiveIfNoPassive", preferences.useActiveIfNoPassive},
          {"useLastActivationPref", preferences.useLastActivationPref}};
}

nlohmann::json ClientJson(const SyncedClient& client) {
  nlohmann::json discoveries = nlohmann::json::array();
  for (const _tagSyncDiscovery& d : client.sync.discoveries) {
    discoveries.push_back({{"preferences", PreferencesJson(d.preferences)},
                           {"server", d.server},
                           {"answered", d.answered},
                           {"error", d.error},
                           {"databases", d.databases}});
  }
  nlohmann::json subclients = nlohmann::json::array();
  for (const _tagSubclientSync& s : client.sync.subclients) {
    subclients.push_back({{"appId", s.appId},
                          {"name", s.name},
                          {"automatic", s.automatic},
                          {"preferences", PreferencesJson(s.preferences)},
                          {"outcome", OutcomeName(s.outcome)},
                          {"result", s.result},
                          {"discovered", s.discovered},
                          {"server", s.server},
                          {"contentBefore", s.contentBefore},
                          {"changes", ChangesJson(s.changes)},
                          {"journalEntry", s.journalEntry},
                          {"error", s.error}});
  }
  nlohmann::json answer = {{"clientId", client.id},
                           {"clientName", client.name},
                           {"status", SyncStatusName(client.status)},
                           {"error", client.sync.error},
                           {"databases", client.sync.databases},
                           {"discoveries", discoveries},
                           {"subclients", subclients}};
  answer.update(CountsJson(client.counts));
  return answer;
}

// What went wrong, one line each: clients that failed as a whole, then
// subclients held back or failed.
std::vector<std::string> Problems(const SyncReport& report) {
  std::vector<std::string> lines;
  for (const SyncedClient& client : report.clients) {
    if (!client.sync.error.empty()) {
      lines.push_back("failed     " + ClientLabel(client) + ": " + client.sync.error);
    }
    for (const _tagSubclientSync& s : client.sync.subclients) {
      if (s.outcome == kSubclientHeldBack) {
        lines.push_back(
            "held back  " + ClientLabel(client) + ", " + SubclientLabel(s) + ": " + s.error + " (" +
            RemovalOptions::HowToAllow(s.changes.removed.size(), s.contentBefore) + ")");
      } else if (s.outcome == kSubclientFailed && client.sync.error.empty()) {
        lines.push_back("failed     " + ClientLabel(client) + ", " + SubclientLabel(s) + ": " +
                        s.error);
      }
    }
  }
  return lines;
}

std::string ErrorSummary(const SyncReport& report) {
  size_t failedClients = 0;
  for (const SyncedClient& client : report.clients) {
    if (!client.sync.error.empty()) ++failedClients;
  }
  std::vector<std::string> parts;
  if (failedClients > 0) parts.push_back(Plural(failedClients, "DAG client") + " failed");
  if (report.totals.heldBack > 0) {
    parts.push_back(Plural(report.totals.heldBack, "subclient") + " held back");
  }
  if (report.totals.failed > 0)
    parts.push_back(Plural(report.totals.failed, "subclient") + " failed");
  return boost::algorithm::join(parts, ", ");
}

// A table with the problems and totals after it; in CSV or TSV the records
// alone, the problems going to standard error.
void PrintSummary(std::ostream& out, const SyncReport& report, TableFormat format) {
  const bool table = format == TableFormat::kTable;
  std::vector<std::vector<std::string>> rows;
  for (const SyncedClient& c : report.clients) {
    const SyncCounts& n = c.counts;
    rows.push_back({std::to_string(c.id), c.name.empty() && table ? "-" : c.name,
                    std::to_string(n.updated), std::to_string(n.unchanged),
                    std::to_string(n.heldBack), std::to_string(n.failed), std::to_string(n.added),
                    std::to_string(n.removed), std::to_string(n.reassociated),
                    std::to_string(n.circularLogging), std::to_string(n.unprotected)});
  }
  PrintRows(out, format,
            {"CLIENT", "NAME", "UPDATED", "UNCHANGED", "HELD BACK", "FAILED", "ADDED", "REMOVED",
             "REASSOCIATED", "CIRCULAR LOGGING", "UNPROTECTED"},
            rows);
  const std::vector<std::string> problems = Problems(report);
  if (!table) {
    for (const std::string& line : problems) std::cerr << "tzdag: " << DisplayText(line) << "\n";
    return;
  }
  if (!problems.empty()) out << "\n";
  for (const std::string& line : problems) out << DisplayText(line) << "\n";
  const SyncCounts& t = report.totals;
  out << "\nInstallation " << report.orbalId << ", " << Plural(t.clients, "DAG client")
      << ": subclients " << t.updated << " updated, " << t.unchanged << " unchanged, " << t.heldBack
      << " held back, " << t.failed << " failed; databases " << t.added << " added, " << t.removed
      << " removed, " << t.reassociated << " reassociated, " << t.marked << " marked full\n";
  if (report.dryRun) out << "Dry run: the store was left as it was.\n";
}

int RunSyncCommand(const SyncOptions& options, const GlobalOptions& global) {
  CheckInstallation(options.orbal);
  SyncRequest request;
  request.orbalId = options.orbal;
  request.clients = ClientsToSync(options);
  request.jobs = options.jobs;
  request.options = options.removal.SyncOptions();
  request.options.dryRun = options.dryRun;
  request.options.markForceFull = options.forceFull;
  request.keepChanges = global.json;

  SyncReport report;
  {
    ProgressLine progress("Sync", request.clients.size(), !global.json);
    report = RunSync(request, progress);
  }
  // Asked to stop: what was done is in the store and the journal.
  if (SignalWatch::Received() != 0) return kExitFailed;
  const auto metrics = [&report](const std::string& previous) {
    return SyncMetrics(report, previous, std::time(nullptr));
  };
  if (options.monitoring.nagios()) {
    return options.monitoring.Answer(
        SyncPluginAnswer(report, options.monitoring.SecondsSinceStart()), metrics);
  }

  if (global.json) {
    nlohmann::json clients = nlohmann::json::array();
    for (const SyncedClient& client : report.clients) clients.push_back(ClientJson(client));
    nlohmann::json totals = CountsJson(report.totals);
    totals["clients"] = report.totals.clients;
    nlohmann::json answer = {{"ok", report.status != SyncStatus::kFail},
                             {"status", SyncStatusName(report.status)},
                             {"orbalId", report.orbalId},
                             {"dryRun", report.dryRun},
                             {"clients", clients},
                             {"totals", totals}};
    if (report.status == SyncStatus::kFail) answer["error"] = ErrorSummary(report);
    PrintJson(answer);
  } else {
    PrintSummary(std::cout, report, TableFormatOf(global.format));
  }
  options.monitoring.WriteMetrics(metrics);
  switch (report.status) {
    case SyncStatus::kFail:
      return kExitFailed;
    case SyncStatus::kWarn:
      return kExitWarnings;
    default:
      return kExitOk;
  }
}

}  // namespace

Command AddSyncCommand(CLI::App* sub, const GlobalOptions& global) {
  auto options = std::make_shared<SyncOptions>();
  AddIdOption(sub, "--orbal", options->orbal, "installation id")->required();
  CLI::Option* client = AddIdListOption(sub, "--client", options->clients, "DAG client ids");
  CLI::Option* all =
      sub->add_flag("--all", options->all, "every DAG client with subclients of the installation");
  client->excludes(all);
  sub->add_option(
         "--jobs", options->jobs,
         "DAG clients brought up to date at once (default " + std::to_string(kDefaultJobs) + ")")
      ->check(CLI::Range(1, 64))
      ->type_name("N");
  sub->add_flag("--dry-run", options->dryRun, "show what would change without storing it");
  sub->add_flag("--force-full", options->forceFull,
                "mark kept databases with circular logging for a full backup");
  options->removal.Add(sub);
  AddTimeoutOption(sub);
  options->monitoring.Add(sub);
  sub->footer(
      "For each DAG client: one database discovery per distinct set of copy preferences among "
      "its live subclients, then each subclient updated in a store transaction of its own, "
      "unless that would remove more than --max-removal of its content (held back).\n"
      "Exit status: 0 when every subclient was brought up to date, 3 when circular logging "
      "was found or a database is in no subclient's content (warnings only), 1 when a client "
      "or subclient failed or was held back, 2 for a usage or set-up error.\n"
      "Example: tzdag sync --orbal 1 --all --dry-run");
  sub->callback([client, all] {
    if (client->count() == 0 && all->count() == 0) throw CLI::RequiredError("--client or --all");
  });
  Command command{sub, [options, &global] {
                    options->monitoring.Start(global, options->dryRun);
                    return RunSyncCommand(*options, global);
                  }};
  command.runsTool = true;
  // Its own progress line stands for the waits on the tool.
  command.showsWaits = false;
  command.writes = StoreWrites::kChanges;
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
