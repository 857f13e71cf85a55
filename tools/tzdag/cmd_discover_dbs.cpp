// tzdag discover-dbs: database discovery for a DAG client, optionally
// narrowed to one subclient.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <tzplatform/log.h>

#include "commands.h"
#include "id_check.h"
#include "id_option.h"
#include "log_report.h"
#include "output.h"
#include "tool_options.h"
#include "tzdag/TzDagApi.h"

namespace tzdag_tool {
namespace {

struct DiscoverDbsOptions {
  uint32_t orbalId = 0;
  uint32_t clientId = 0;
  uint32_t appId = 0;
  int64_t jobId = 0;
};

int RunDiscoverDbs(const DiscoverDbsOptions& options, const GlobalOptions& global) {
  CheckInstallation(options.orbalId);
  CheckClient(options.clientId);
  // Application 0 stands for none.
  if (options.appId != 0) CheckSubclient(options.orbalId, options.clientId, options.appId);
  Uvo::DAGDBResp resp;
  std::string server;
  // Only what this call wrote: the lines explain a failure.
  tzplatform::LogCapture capture;
  bool ok = DiscoverExDatabase(options.orbalId, options.clientId, options.appId, server, resp,
                               options.jobId);

  std::string summary = "database discovery failed for client " + std::to_string(options.clientId);
  if (options.appId != 0) summary += ", application " + std::to_string(options.appId);
  if (global.json) {
    if (ok) {
      PrintJsonText(DatabasesAnswerJson(resp, &server));
      return kExitOk;
    }
    nlohmann::json answer = {{"ok", ok}, {"server", server}};
    answer["error"] = summary;
    AddCapturedLog(answer, capture);
    PrintJson(answer);
    return kExitFailed;
  }

  if (!ok) {
    ReportFailure(std::cerr, summary, capture);
    return kExitFailed;
  }
  std::cout << "Discovered on member server " << DisplayText(server) << "\n\n";
  PrintDatabaseTable(std::cout, resp);
  return kExitOk;
}

}  // namespace

Command AddDiscoverDbsCommand(CLI::App& root, const GlobalOptions& global) {
  auto options = std::make_shared<DiscoverDbsOptions>();
  CLI::App* app = root.add_subcommand(
      "discover-dbs", "Discover the Exchange databases of a DAG client (DiscoverExDatabase)");
  AddIdOption(app, "--orbal", options->orbalId, "installation id")->required();
  AddIdOption(app, "--client", options->clientId, "DAG client id")->required();
  AddIdOption(app, "--app", options->appId, "subclient (application) id; 0 = the whole client");
  AddJobIdOption(app, "--job", options->jobId, "job id passed to the discovery tool; 0 = none");
  AddTimeoutOption(app);
  app->footer("Example: tzdag discover-dbs --orbal 1 --client 2 --app 11");
  Command command{app, [options, &global] { return RunDiscoverDbs(*options, global); }};
  command.runsTool = true;
  return command;
}

}  // namespace tzdag_tool
