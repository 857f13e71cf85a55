#include "id_check.h"

#include <algorithm>
#include <string>
#include <vector>

#include <tzplatform/inventory.h>
#include <tzplatform/settings.h>

#include "commands.h"

namespace tzdag_tool {
namespace {

// Lists longer than this are counted, not spelled out.
constexpr size_t kShownAtMost = 8;

std::string Named(uint32_t id, const std::string& name) {
  return name.empty() ? std::to_string(id) : std::to_string(id) + " (" + name + ")";
}

std::string Joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text;
}

}  // namespace

void CheckInstallation(uint32_t orbalId) {
  const std::vector<uint32_t> installations =
      tzplatform::ReadInstallations(tzplatform::StorePath());
  if (std::find(installations.begin(), installations.end(), orbalId) != installations.end()) return;
  std::string known;
  if (installations.empty()) {
    known = "it has no subclient of any installation";
  } else if (installations.size() > kShownAtMost) {
    known = std::to_string(installations.size()) + " installations";
  } else {
    std::vector<std::string> ids;
    for (uint32_t id : installations) ids.push_back(std::to_string(id));
    known = "installations: " + Joined(ids);
  }
  throw UsageError("--orbal: installation " + std::to_string(orbalId) +
                   " is not in the configuration store (" + known + ")");
}

void CheckClient(uint32_t clientId) {
  const std::string store = tzplatform::StorePath();
  if (tzplatform::HasClient(store, clientId)) return;
  const std::vector<tzplatform::InventoryClient> clients = tzplatform::ReadDagClients(store);
  std::string known;
  if (clients.empty()) {
    known = "it has no DAG client";
  } else if (clients.size() > kShownAtMost) {
    known = std::to_string(clients.size()) + " DAG clients: tzdag clients lists them";
  } else {
    std::vector<std::string> names;
    for (const tzplatform::InventoryClient& client : clients) {
      names.push_back(Named(client.id, client.name));
    }
    known = "DAG clients: " + Joined(names);
  }
  throw UsageError("--client: client " + std::to_string(clientId) +
                   " is not in the configuration store (" + known + ")");
}

void CheckSubclient(uint32_t orbalId, uint32_t clientId, uint32_t appId) {
  std::vector<std::string> names;
  for (const tzplatform::InventorySubclient& subclient :
       tzplatform::ReadClientSubclients(tzplatform::StorePath(), clientId)) {
    if (subclient.orbalId != orbalId) continue;
    if (subclient.id == appId) return;
    names.push_back(Named(subclient.id, subclient.name));
  }
  std::string known;
  if (names.empty()) {
    known = "the client has none there";
  } else if (names.size() > kShownAtMost) {
    known = std::to_string(names.size()) + " subclients there: tzdag subclients --client " +
            std::to_string(clientId) + " lists them";
  } else {
    known = "its subclients there: " + Joined(names);
  }
  throw UsageError("--app: application " + std::to_string(appId) +
                   " is not a subclient of client " + std::to_string(clientId) +
                   " in installation " + std::to_string(orbalId) + " (" + known + ")");
}

}  // namespace tzdag_tool
