// Member server selection: which member servers of a DAG client the
// discovery tool may run on, and which are selected for the client at all.
#include <tzplatform/Properties.h>
#include <tzplatform/Subclient.h>

#include "tzdag/TzDagApi.h"
#include "tzdag/frame.h"

namespace {

// Walks the DAG client's member server entries in configuration order and
// hands each to `visit`. A failed read is logged and the walk goes on over
// whatever the list holds.
template <typename Visit>
void ForEachMemberServer(uint32_t clientId, const char* function, Visit&& visit) {
  PropertiesList properties;
  ClientProperties clientProperties(static_cast<uint64_t>(clientId));
  int status = clientProperties.getProperties(properties, nullptr);
  if (status != 0) {
    event.debug("[%s]: Failed to get client property. ErrCode = %d.", function, status);
  }
  for (ApplProperty* property : properties) {
    if (property->getType() != DAGMemberServerProperty::kType) continue;
    // An entry of the member server type is always that class when it comes
    // from the store; anything else is not a member server.
    auto* member = dynamic_cast<DAGMemberServerProperty*>(property);
    if (member != nullptr) visit(*member);
  }
}

}  // namespace

std::vector<std::string> GetRemoteServer(uint32_t clientId) {
  static constexpr char kFunction[] = "GetRemoteServer";
  std::vector<std::string> servers;
  ForEachMemberServer(clientId, kFunction, [&](const DAGMemberServerProperty& member) {
    std::string name = member.getName();
    bool selected = member.isSelectedForDAGClient();
    bool agentInstalled = member.isExchDBuVOInstalled();
    if (selected && agentInstalled) {
      event.debug("[%s]: Found exchange server: %s with Uvo installed.", kFunction, name.c_str());
      servers.push_back(name);
    }
  });
  return servers;
}

std::vector<std::string> GetSelectedServers(uint32_t clientId) {
  static constexpr char kFunction[] = "GetSelectedServers";
  std::vector<std::string> servers;
  ForEachMemberServer(clientId, kFunction, [&](const DAGMemberServerProperty& member) {
    std::string name = member.getName();
    if (member.isSelectedForDAGClient()) servers.push_back(name);
  });
  return servers;
}
