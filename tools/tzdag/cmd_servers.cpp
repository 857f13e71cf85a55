// tzdag servers --client ID [--selected]: the member servers of a DAG client
// that database discovery may run on, or that are selected for it.
#include <iostream>
#include <memory>

#include <tzdag/TzDagApi.h>

#include "commands.h"
#include "id_check.h"
#include "id_option.h"
#include "output.h"

namespace tzdag_tool {
namespace {

struct ServersOptions {
  uint32_t clientId = 0;
  bool selected = false;
};

int RunServers(const ServersOptions& options, const GlobalOptions& global) {
  CheckClient(options.clientId);
  std::vector<std::string> servers =
      options.selected ? GetSelectedServers(options.clientId) : GetRemoteServer(options.clientId);
  // The library's callers treat an empty list as their failure.
  const bool ok = !servers.empty();
  const std::string none =
      "member server of client " + std::to_string(options.clientId) +
      (options.selected ? " is selected" : " is selected and has the database agent installed");
  if (global.json) {
    nlohmann::json answer = {{"ok", ok}, {"servers", servers}};
    if (!ok) answer["error"] = "No " + none + ".";
    PrintJson(answer);
  } else {
    // A program reads the records (an empty list is the header alone); the
    // reason of a failure goes where every other one goes.
    const TableFormat format = TableFormatOf(global.format);
    if (ok || format != TableFormat::kTable) {
      std::vector<std::vector<std::string>> rows;
      for (const std::string& server : servers) rows.push_back({server});
      PrintRows(std::cout, format, {"SERVER"}, rows);
    }
    if (!ok) std::cerr << "tzdag: no " << none << std::endl;
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

Command AddServersCommand(CLI::App* app, const GlobalOptions& global) {
  auto options = std::make_shared<ServersOptions>();
  AddIdOption(app, "--client", options->clientId, "id of the DAG client")->required();
  app->add_flag("--selected", options->selected,
                "every member server selected for the client, agent or not");
  app->footer("Example: tzdag servers --client 2 --selected");
  Command command{app, [options, &global] { return RunServers(*options, global); }};
  command.writes = StoreWrites::kNever;
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
