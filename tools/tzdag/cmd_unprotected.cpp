// tzdag unprotected: the databases of a DAG client that no subclient of the
// client protects.
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
  // The list goes by content alone; the default subclient backs up what
  // no other subclient names, so some of it may well be backed up.
  std::vector<std::string> byDefault;
  const bool told = DefaultSubclientBacksUp(options.orbal, options.client, resp, byDefault);
  const size_t listed = resp.getDatabases().size();
  const TableFormat format = TableFormatOf(global.format);
  if (global.json) {
    const size_t count = byDefault.size();
    PrintJsonText(DatabasesAnswerJson(resp, nullptr, told ? &count : nullptr));
  } else if (format != TableFormat::kTable) {
    // Records only: a program reads them.
    PrintDatabaseTable(std::cout, resp, format);
  } else if (listed == 0) {
    std::cout << "Every database of client " << options.client << " is protected by a subclient.\n";
  } else {
    PrintDatabaseTable(std::cout, resp);
    if (told && byDefault.empty()) {
      std::cout << "None of them is backed up by the default subclient.\n";
    } else if (told) {
      std::cout << byDefault.size() << " of the " << listed << " database"
                << (listed == 1 ? "" : "s") << " listed " << (byDefault.size() == 1 ? "is" : "are")
                << " still backed up by the default subclient (it backs up every database no "
                   "other subclient names).\n";
    }
  }
  if (!told && listed > 0) {
    std::cerr << "tzdag: how many of them the default subclient backs up cannot be told: the "
                 "client's subclients cannot be read (see the log)\n";
  }
  return kExitOk;
}

}  // namespace

Command AddUnprotectedCommand(CLI::App* sub, const GlobalOptions& global) {
  auto options = std::make_shared<UnprotectedOptions>();
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
