// tzdag discover-dbs: database discovery for a DAG client, optionally
// narrowed to one subclient and to the databases of one member server.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <tzplatform/log.h>

#include <boost/algorithm/string/join.hpp>

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
  std::string server;  // --server: only databases with a copy there; empty = all
};

// The member server --server names, as the store spells it: one selected for
// the client, its name compared as the library compares server names.
std::string MemberServer(uint32_t clientId, const std::string& name) {
  const std::vector<std::string> servers = GetSelectedServers(clientId);
  const auto found = std::find_if(servers.begin(), servers.end(), iStrEqual(name));
  if (found != servers.end()) return *found;
  throw UsageError("--server: " + name + " is not a member server selected for client " +
                   std::to_string(clientId) +
                   (servers.empty() ? " (it has none)"
                                    : " (its selected member servers: " +
                                          boost::algorithm::join(servers, ", ") + ")"));
}

// Keeps the databases with a copy on `server`.
void KeepCopiesOn(const std::string& server, Uvo::DAGDBResp& resp) {
  CNMessageList& databases = resp.getDatabases();
  databases.erase(std::remove_if(databases.begin(), databases.end(),
                                 [&server](const CNMessageBase& db) {
                                   const CNStringList& copies =
                                       tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers);
                                   return std::none_of(copies.begin(), copies.end(),
                                                       iStrEqual(server));
                                 }),
                  databases.end());
}

int RunDiscoverDbs(const DiscoverDbsOptions& options, const GlobalOptions& global) {
  CheckInstallation(options.orbalId);
  CheckClient(options.clientId);
  // Application 0 stands for none.
  if (options.appId != 0) CheckSubclient(options.orbalId, options.clientId, options.appId);
  const std::string onServer =
      options.server.empty() ? std::string() : MemberServer(options.clientId, options.server);
  Uvo::DAGDBResp resp;
  std::string server;
  // Only what this call wrote: the lines explain a failure.
  tzplatform::LogCapture capture;
  bool ok = DiscoverExDatabase(options.orbalId, options.clientId, options.appId, server, resp,
                               options.jobId);
  if (ok && !onServer.empty()) KeepCopiesOn(onServer, resp);

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
  const TableFormat format = TableFormatOf(global.format);
  if (format == TableFormat::kTable) {
    std::cout << "Discovered on member server " << DisplayText(server);
    if (!onServer.empty()) {
      std::cout << "; the databases with a copy on " << DisplayText(onServer);
    }
    std::cout << "\n\n";
  }
  PrintDatabaseTable(std::cout, resp, format);
  return kExitOk;
}

}  // namespace

Command AddDiscoverDbsCommand(CLI::App* app, const GlobalOptions& global) {
  auto options = std::make_shared<DiscoverDbsOptions>();
  AddIdOption(app, "--orbal", options->orbalId, "installation id")->required();
  AddIdOption(app, "--client", options->clientId, "DAG client id")->required();
  AddIdOption(app, "--app", options->appId, "subclient (application) id; 0 = the whole client");
  AddJobIdOption(app, "--job", options->jobId, "job id passed to the discovery tool; 0 = none");
  app->add_option("--server", options->server,
                  "only the databases with a copy on this member server (letter case ignored)")
      ->type_name("NAME")
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a name" : ""; }, ""));
  AddTimeoutOption(app);
  app->footer("Example: tzdag discover-dbs --orbal 1 --client 2 --app 11");
  Command command{app, [options, &global] { return RunDiscoverDbs(*options, global); }};
  command.runsTool = true;
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
