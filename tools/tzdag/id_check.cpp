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

// What the store has, for the message about an id it does not know: `none`
// when it has nothing, the items after `label` when they are few, else how
// many there are and where a person finds them.
std::string WhatTheStoreHas(const std::vector<std::string>& items, const std::string& none,
                            const std::string& label, const std::string& many) {
  if (items.empty()) return none;
  if (items.size() > kShownAtMost) return std::to_string(items.size()) + " " + many;
  std::string text = label + ": ";
  for (size_t i = 0; i < items.size(); ++i) text += (i > 0 ? ", " : "") + items[i];
  return text;
}

}  // namespace

void CheckInstallation(uint32_t orbalId) {
  const std::vector<uint32_t> installations =
      tzplatform::ReadInstallations(tzplatform::StorePath());
  if (std::find(installations.begin(), installations.end(), orbalId) != installations.end()) return;
  std::vector<std::string> ids;
  for (uint32_t id : installations) ids.push_back(std::to_string(id));
  throw UsageError("--orbal: installation " + std::to_string(orbalId) +
                   " is not in the configuration store (" +
                   WhatTheStoreHas(ids, "it has no subclient of any installation", "installations",
                                   "installations") +
                   ")");
}

void CheckClient(uint32_t clientId) {
  const std::string store = tzplatform::StorePath();
  if (tzplatform::HasClient(store, clientId)) return;
  std::vector<std::string> names;
  for (const tzplatform::InventoryClient& client : tzplatform::ReadDagClients(store)) {
    names.push_back(Named(client.id, client.name));
  }
  throw UsageError("--client: client " + std::to_string(clientId) +
                   " is not in the configuration store (" +
                   WhatTheStoreHas(names, "it has no DAG client", "DAG clients",
                                   "DAG clients: tzdag clients lists them") +
                   ")");
}

void CheckSubclient(uint32_t orbalId, uint32_t clientId, uint32_t appId) {
  std::vector<std::string> names;
  for (const tzplatform::InventorySubclient& subclient :
       tzplatform::ReadClientSubclients(tzplatform::StorePath(), clientId)) {
    if (subclient.orbalId != orbalId) continue;
    if (subclient.id == appId) return;
    names.push_back(Named(subclient.id, subclient.name));
  }
  throw UsageError("--app: application " + std::to_string(appId) +
                   " is not a subclient of client " + std::to_string(clientId) +
                   " in installation " + std::to_string(orbalId) + " (" +
                   WhatTheStoreHas(names, "the client has none there", "its subclients there",
                                   "subclients there: tzdag subclients --client " +
                                       std::to_string(clientId) + " lists them") +
                   ")");
}

}  // namespace tzdag_tool
