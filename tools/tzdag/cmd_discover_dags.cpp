// tzdag discover-dags: DAGs and their member servers, through a proxy client
// or, without one, through the directory.
#include <iostream>
#include <memory>
#include <string>

#include <tzdag/TzDagApi.h>
#include <tzplatform/DirectorySearch.h>
#include <tzplatform/TZPassword.h>
#include <tzplatform/log.h>

#include "../../src/internal.h"
#include "command_line.h"
#include "commands.h"
#include "log_report.h"
#include "output.h"
#include "tool_options.h"

namespace tzdag_tool {
namespace {

struct DiscoverDagsOptions {
  std::string ad;
  std::string user;
  PasswordOptions password;
  std::string dag;
  std::string proxy;
  CLI::Option* adOption = nullptr;
  CLI::Option* userOption = nullptr;
  CLI::Option* dagOption = nullptr;
  CLI::Option* proxyOption = nullptr;
};

// An option that was not given reaches the library as null, not as "".
const char* Given(const CLI::Option* option, const std::string& value) {
  return option->count() > 0 ? value.c_str() : nullptr;
}

int Failed(const GlobalOptions& global, const tzplatform::LogCapture& capture) {
  const std::string summary = "DAG discovery failed";
  if (global.json) {
    nlohmann::json answer = {{"ok", false}, {"error", summary}};
    AddCapturedLog(answer, capture);
    PrintJson(answer);
  } else {
    ReportFailure(std::cerr, summary, capture);
  }
  return kExitFailed;
}

// The values go onto the discovery tool's command line, which the library
// refuses to change: say so before any work, naming the option.
void CheckToolValues(const DiscoverDagsOptions& o, const std::string* password) {
  const std::pair<const CLI::Option*, const std::string*> values[] = {
      {o.adOption, &o.ad},
      {o.userOption, &o.user},
      {o.password.passwordOption(), password},
      {o.dagOption, &o.dag}};
  for (const auto& [option, value] : values) {
    if (option->count() == 0 || value == nullptr) continue;
    if (const char* problem = ToolArgumentProblem(*value)) {
      throw UsageError(option->get_name() + ": the value " + problem +
                       ", which the discovery tool's command line cannot carry");
    }
  }
}

int Run(const GlobalOptions& global, const DiscoverDagsOptions& o) {
  std::string encrypted;
  const bool withPassword = o.password.Encrypted(encrypted);
  const bool throughProxy = o.proxyOption->count() > 0 && !o.proxy.empty();
  if (throughProxy) {
    CheckRemoteRoot(global);
    CheckToolValues(o, withPassword ? &encrypted : nullptr);
  } else if (o.password.GivenEncrypted()) {
    // Direct discovery decrypts it here; one that does not decrypt would
    // reach the directory as an empty password.
    const std::string problem = TZPassword::Problem(encrypted.c_str());
    if (!problem.empty()) throw UsageError("--password: cannot be decrypted: " + problem);
  }
  const char* ad = Given(o.adOption, o.ad);
  const char* user = Given(o.userOption, o.user);
  const char* password = withPassword ? encrypted.c_str() : nullptr;
  const char* proxy = Given(o.proxyOption, o.proxy);
  // The library answers "no DAG" when it has nowhere to look; a person
  // learns why, and the answer stays what it is for the library's callers.
  if (!throughProxy && !tzplatform::DirectorySearchEnabled()) {
    std::cerr << "tzdag: nothing was searched: give --proxy CLIENT to run the discovery tool on "
                 "a client, or set directory_search = \"ldap\" in tzdag.toml (or "
                 "TZ_DIRECTORY_SEARCH=ldap) and give --ad SERVER to search the directory\n";
  }

  tzplatform::LogCapture capture;
  if (o.dagOption->count() > 0) {
    Uvo::DAGMemberServersResp resp;
    if (!DiscoverDagWithProxy(ad, user, password, o.dag.c_str(), proxy, resp)) {
      return Failed(global, capture);
    }
    if (global.json) {
      PrintJson({{"ok", true}, {"memberServers", MemberServersJson(resp)}});
    } else if (TableFormatOf(global.format) != TableFormat::kTable) {
      PrintMemberServerTable(std::cout, resp, TableFormatOf(global.format));
    } else {
      PrintMemberServerTable(std::cout, resp);
      if (resp.getMemberServers().empty()) std::cout << "No member server found.\n";
    }
    return kExitOk;
  }

  Uvo::DAGDiscoverResp resp;
  if (!DiscoverDagWithProxy(ad, user, password, proxy, resp)) {
    return Failed(global, capture);
  }
  if (global.json) {
    PrintJson({{"ok", true}, {"dags", DagsJson(resp)}});
  } else if (TableFormatOf(global.format) != TableFormat::kTable) {
    PrintDagTable(std::cout, resp, TableFormatOf(global.format));
  } else {
    PrintDagTable(std::cout, resp);
    if (resp.getDags().empty()) std::cout << "No DAG found.\n";
  }
  return kExitOk;
}

}  // namespace

Command AddDiscoverDagsCommand(CLI::App* app, const GlobalOptions& global) {
  auto options = std::make_shared<DiscoverDagsOptions>();
  options->adOption =
      app->add_option("--ad", options->ad,
                      "directory server: ldap://host[:port], ldaps://host[:port] or a host name");
  options->userOption =
      app->add_option("--user", options->user, "directory account: a DN or user@domain");
  options->password.Add(app);
  options->dagOption =
      app->add_option("--dag", options->dag, "list the member servers of this DAG");
  options->proxyOption = app->add_option(
      "--proxy", options->proxy,
      "client to run the discovery tool on (without it: the directory --ad names, when "
      "TZ_DIRECTORY_SEARCH=ldap; else nothing is found)");
  AddTimeoutOption(app);
  app->footer(
      "Example: tzdag discover-dags --proxy PROXY01 --user backupadmin --password-file ~/.dagpw");
  Command command{app, [&global, options] { return Run(global, *options); }};
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
