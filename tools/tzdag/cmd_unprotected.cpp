// tzdag unprotected: the databases of a DAG client that no subclient of the
// client protects.
#include <iostream>
#include <memory>
#include <string>

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

struct UnprotectedOptions {
  uint32_t orbal = 0;
  uint32_t client = 0;
};

int RunUnprotected(const UnprotectedOptions& options, const GlobalOptions& global) {
  CheckInstallation(options.orbal);
  CheckClient(options.client);
  tzplatform::LogCapture capture;
  Uvo::DAGDBResp resp;
  if (!DiscoverUnassociatedExDatabase(options.orbal, options.client, resp)) {
    const std::string summary = "the unprotected databases of client " +
                                std::to_string(options.client) + " could not be found";
    if (global.json) {
      nlohmann::json answer = {{"ok", false}, {"error", summary}};
      AddCapturedLog(answer, capture);
      PrintJson(answer);
    }
    ReportFailure(std::cerr, summary, capture);
    return kExitFailed;
  }
  const TableFormat format = TableFormatOf(global.format);
  if (global.json) {
    PrintJsonText(DatabasesAnswerJson(resp, nullptr));
  } else if (format != TableFormat::kTable) {
    PrintDatabaseTable(std::cout, resp, format);
  } else if (resp.getDatabases().empty()) {
    std::cout << "Every database of client " << options.client << " is protected by a subclient.\n";
  } else {
    PrintDatabaseTable(std::cout, resp);
  }
  return kExitOk;
}

}  // namespace

Command AddUnprotectedCommand(CLI::App& root, const GlobalOptions& global) {
  auto options = std::make_shared<UnprotectedOptions>();
  CLI::App* sub =
      root.add_subcommand("unprotected", "List the databases that no subclient protects");
  AddIdOption(sub, "--orbal", options->orbal, "installation id")->required();
  AddIdOption(sub, "--client", options->client, "DAG client id")->required();
  AddTimeoutOption(sub);
  sub->footer("Example: tzdag unprotected --orbal 1 --client 2");
  Command command{sub, [options, &global] { return RunUnprotected(*options, global); }};
  command.runsTool = true;
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
