// tzdag clients and tzdag subclients: what the configuration store holds,
// with the ids the other commands take.
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <tzplatform/inventory.h>
#include <tzplatform/settings.h>

#include "commands.h"
#include "id_check.h"
#include "id_option.h"
#include "output.h"

namespace tzdag_tool {
namespace {

// For the bash completion: "<id>\t<name>" a line, the name shown as in
// tables.
void PrintIds(const std::vector<std::pair<uint32_t, std::string>>& ids) {
  for (const auto& [id, name] : ids) std::cout << id << "\t" << DisplayText(name) << "\n";
}

CLI::Option* AddIdListFlag(CLI::App* app, bool& target) {
  // Hidden: for the completion, not for people.
  return app->add_flag("--id-list", target, "ids and names only")->group("");
}

struct ClientsOptions {
  uint32_t orbal = 0;
  bool orbalGiven = false;
  bool idList = false;
};

int RunClients(const ClientsOptions& options, const GlobalOptions& global) {
  std::optional<uint32_t> orbal;
  if (options.orbalGiven) {
    CheckInstallation(options.orbal);
    orbal = options.orbal;
  }
  const std::vector<tzplatform::InventoryClient> clients =
      tzplatform::ReadDagClients(tzplatform::StorePath(), orbal);
  if (options.idList) {
    std::vector<std::pair<uint32_t, std::string>> ids;
    for (const tzplatform::InventoryClient& c : clients) ids.emplace_back(c.id, c.name);
    PrintIds(ids);
  } else if (global.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const tzplatform::InventoryClient& c : clients) {
      list.push_back({{"id", c.id},
                      {"name", c.name},
                      {"host", c.host},
                      {"memberServers", c.memberServers},
                      {"selected", c.selected},
                      {"selectedWithAgent", c.selectedWithAgent},
                      {"subclients", c.subclients}});
    }
    PrintJson({{"ok", true}, {"clients", list}});
  } else if (clients.empty() && TableFormatOf(global.format) == TableFormat::kTable) {
    std::cout << (orbal ? "Installation " + std::to_string(*orbal) + " has no DAG client.\n"
                        : std::string("The configuration store holds no DAG client.\n"));
  } else {
    std::vector<std::vector<std::string>> rows;
    for (const tzplatform::InventoryClient& c : clients) {
      rows.push_back({std::to_string(c.id), c.name, c.host, std::to_string(c.memberServers),
                      std::to_string(c.selected), std::to_string(c.selectedWithAgent),
                      std::to_string(c.subclients)});
    }
    PrintRows(std::cout, TableFormatOf(global.format),
              {"ID", "NAME", "HOST", "MEMBER SERVERS", "SELECTED", "WITH AGENT", "SUBCLIENTS"},
              rows);
  }
  return kExitOk;
}

struct SubclientsOptions {
  uint32_t client = 0;
  uint32_t orbal = 0;
  bool orbalGiven = false;
  bool idList = false;
};

int RunSubclients(const SubclientsOptions& options, const GlobalOptions& global) {
  CheckClient(options.client);
  if (options.orbalGiven) CheckInstallation(options.orbal);
  std::vector<tzplatform::InventorySubclient> subclients;
  for (const tzplatform::InventorySubclient& s :
       tzplatform::ReadClientSubclients(tzplatform::StorePath(), options.client)) {
    if (!options.orbalGiven || s.orbalId == options.orbal) subclients.push_back(s);
  }
  if (options.idList) {
    std::vector<std::pair<uint32_t, std::string>> ids;
    for (const tzplatform::InventorySubclient& s : subclients) ids.emplace_back(s.id, s.name);
    PrintIds(ids);
  } else if (global.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const tzplatform::InventorySubclient& s : subclients) {
      list.push_back({{"id", s.id},
                      {"orbalId", s.orbalId},
                      {"name", s.name},
                      {"default", s.isDefault},
                      {"automatic", s.automatic},
                      {"deleted", s.deleted},
                      {"backupFromPassive", s.backupFromPassive},
                      {"useActiveIfNoPassive", s.useActiveIfNoPassive},
                      {"useLastActivationPreference", s.useLastActivationPreference},
                      {"content", s.content},
                      {"associations", s.associations}});
    }
    PrintJson({{"ok", true}, {"clientId", options.client}, {"subclients", list}});
  } else if (subclients.empty() && TableFormatOf(global.format) == TableFormat::kTable) {
    std::cout << "Client " << options.client << " has no subclient"
              << (options.orbalGiven ? " in installation " + std::to_string(options.orbal) : "")
              << ".\n";
  } else {
    std::vector<std::vector<std::string>> rows;
    for (const tzplatform::InventorySubclient& s : subclients) {
      rows.push_back({std::to_string(s.id), s.name, std::to_string(s.orbalId), YesNo(s.isDefault),
                      s.automatic ? "automatic" : "manual", YesNo(s.deleted),
                      YesNo(s.backupFromPassive), YesNo(s.useActiveIfNoPassive),
                      YesNo(s.useLastActivationPreference), std::to_string(s.content),
                      std::to_string(s.associations)});
    }
    PrintRows(std::cout, TableFormatOf(global.format),
              {"ID", "NAME", "INSTALLATION", "DEFAULT", "SELECTION", "DELETED", "FROM PASSIVE",
               "ACTIVE IF NO PASSIVE", "LAST PREFERENCE", "CONTENT", "ASSOCIATIONS"},
              rows);
  }
  return kExitOk;
}

}  // namespace

Command AddClientsCommand(CLI::App* sub, const GlobalOptions& global) {
  auto options = std::make_shared<ClientsOptions>();
  CLI::Option* orbal = AddIdOption(sub, "--orbal", options->orbal,
                                   "only DAG clients with subclients of this installation");
  AddIdListFlag(sub, options->idList);
  sub->footer(
      "A DAG client is a client with member server entries. WITH AGENT counts the selected "
      "member servers marked as carrying the database agent: those database discovery may run "
      "on.\n"
      "Example: tzdag clients --orbal 1");
  Command command{sub, [options, orbal, &global] {
                    options->orbalGiven = orbal->count() > 0;
                    return RunClients(*options, global);
                  }};
  command.writes = StoreWrites::kNever;
  command.printsTables = true;
  return command;
}

Command AddSubclientsCommand(CLI::App* sub, const GlobalOptions& global) {
  auto options = std::make_shared<SubclientsOptions>();
  AddIdOption(sub, "--client", options->client, "client id")->required();
  CLI::Option* orbal =
      AddIdOption(sub, "--orbal", options->orbal, "only subclients of this installation");
  AddIdListFlag(sub, options->idList);
  sub->footer(
      "Every subclient of the client in the store's order, deleted ones too, with its copy "
      "preferences and how many content entries and associations it has.\n"
      "Example: tzdag subclients --client 2");
  Command command{sub, [options, orbal, &global] {
                    options->orbalGiven = orbal->count() > 0;
                    return RunSubclients(*options, global);
                  }};
  command.writes = StoreWrites::kNever;
  command.printsTables = true;
  return command;
}

}  // namespace tzdag_tool
