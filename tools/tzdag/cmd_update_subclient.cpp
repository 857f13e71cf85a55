// tzdag update-subclient: rewrite a subclient's database content and server
// associations from a fresh database discovery of its DAG client with the
// subclient's own copy preferences, and show what changed.
#include <iostream>
#include <memory>
#include <string>

#include <tzplatform/log.h>

#include "changes_output.h"
#include "commands.h"
#include "id_check.h"
#include "id_option.h"
#include "log_report.h"
#include "output.h"
#include "removal_option.h"
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
  RemovalOptions removal;
};

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

int RunUpdateSubclient(const UpdateOptions& options, const GlobalOptions& global) {
  CheckInstallation(options.orbal);
  CheckClient(options.client);
  CheckSubclient(options.orbal, options.client, options.app);

  tzplatform::LogCapture capture;
  _tagSyncOptions syncOptions = options.removal.SyncOptions();
  syncOptions.dryRun = options.dryRun;
  syncOptions.markForceFull = options.forceFull;
  // Asked to stop while the tool ran: the store is not touched any more.
  syncOptions.stopRequested = [] { return SignalWatch::Received() != 0; };
  _tagSubclientSync sync;
  const bool ok = SyncSubclient(options.orbal, options.client, options.app, syncOptions, sync);
  if (SignalWatch::Received() != 0) return kExitFailed;

  const bool heldBack = sync.outcome == kSubclientHeldBack;
  const bool discovered = sync.discovered;
  // A failed update was rolled back: there are no changes to show.
  const _tagSubclientChanges shown = ok || heldBack ? sync.changes : _tagSubclientChanges();
  std::string summary;
  if (heldBack) {
    summary = "update of subclient " + std::to_string(options.app) + " held back: " + sync.error +
              " (" + RemovalOptions::HowToAllow(sync.changes.removed.size(), sync.contentBefore) +
              ")";
  } else if (!discovered) {
    summary = "database discovery for client " + std::to_string(options.client) +
              " failed; subclient " + std::to_string(options.app) + " left unchanged";
  } else if (!ok) {
    summary = "update of subclient " + std::to_string(options.app) + " failed: " + sync.error;
  }

  const ChangeTotals totals = TotalsOf(shown, sync.contentBefore);
  const TableFormat format = TableFormatOf(global.format);
  if (global.json) {
    nlohmann::json answer = {{"ok", ok},
                             {"result", sync.result},
                             {"changes", ChangesJson(shown)},
                             {"totals", TotalsJson(totals)}};
    if (heldBack) answer["heldBack"] = true;
    if (!ok) answer["error"] = summary;
    if (!ok && !heldBack) AddCapturedLog(answer, capture);
    PrintJson(answer);
  } else if (discovered && format != TableFormat::kTable) {
    PrintChanges(std::cout, shown, format);
  } else if (discovered) {
    std::cout << "Subclient " << options.app << ", databases discovered on "
              << DisplayText(sync.server) << "\n";
    PrintChanges(std::cout, shown);
    std::cout << TotalsLine(totals) << "\n";
    if (heldBack) {
      std::cout << "Held back: nothing was stored.\n";
    } else {
      std::cout << "Result: " << sync.result << " (" << ResultMeaning(sync.result) << ")\n";
      if (options.dryRun) std::cout << "Dry run: the store was left as it was.\n";
    }
  }
  // Held back is the rail doing its work, not a fault: its reason is enough.
  if (heldBack) {
    std::cerr << "tzdag: " << DisplayText(summary) << "\n";
  } else if (!ok) {
    ReportFailure(std::cerr, summary, capture);
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

Command AddUpdateSubclientCommand(CLI::App* sub, const GlobalOptions& global) {
  auto options = std::make_shared<UpdateOptions>();
  AddIdOption(sub, "--orbal", options->orbal, "installation id")->required();
  AddIdOption(sub, "--client", options->client, "DAG client id (the subclient's client)")
      ->required();
  AddIdOption(sub, "--app", options->app, "application (subclient) id")->required();
  sub->add_flag("--force-full", options->forceFull,
                "mark kept databases with circular logging for a full backup");
  sub->add_flag("--dry-run", options->dryRun, "show the changes without storing them");
  options->removal.Add(sub);
  AddTimeoutOption(sub);
  sub->footer(
      "Discovers the databases of the client with the subclient's own copy preferences, then "
      "updates the subclient, unless that would remove more than --max-removal of its content.\n"
      "Example: tzdag update-subclient --orbal 1 --client 2 --app 11 --dry-run");
  Command command{sub, [options, &global] { return RunUpdateSubclient(*options, global); }};
  command.runsTool = true;
  command.writes = StoreWrites::kChanges;
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
