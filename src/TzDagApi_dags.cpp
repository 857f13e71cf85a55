// Direct DAG discovery through the directory agent, the answer builders, the
// new-member filter and the agent-installed check.
#include <cstdint>

#include <tzplatform/TZClient.h>
#include <tzplatform/TZInstalledPackages.h>

#include "internal.h"
#include "tzdag/TzDagApi.h"

namespace {

// The Exchange database agent.
constexpr int kExDbAgentPackage = 151;
// Releases up to this one cannot join a DAG client.
constexpr uint32_t kLastReleaseWithoutDagSupport = 13;

const char* OrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

// Whether a member server can still be added to a DAG client: it is no client
// yet, or a client of a recent release that belongs to no DAG.
bool IsNewMember(const std::string& serverName) {
  TZClient client(serverName, true, 0);
  if (client.lookup(nullptr) != 0) return true;
  // The statuses of these two are not examined: a call that wrote nothing
  // leaves the server judged on the initial values.
  bool dagAssociated = false;
  client.isDAGAssociatedClient(dagAssociated, nullptr);
  if (dagAssociated) return false;
  uint32_t release = 0;
  client.getReleaseId(release, nullptr);
  return release > kLastReleaseWithoutDagSupport;
}

using MemberFilter = bool (*)(const std::string&);

CNMessageList BuildMemberList(std::vector<_tagExServer>& servers, MemberFilter filter,
                              AgentInstalledPredicate predicate) {
  CNMessageList members;
  for (_tagExServer& server : servers) {
    if (filter != nullptr && !filter(server.name)) continue;
    Uvo::DAGMemberServer member;
    member.setServerName(server.name);
    if (predicate != nullptr) member.setUvoInstalled(predicate(server));
    members.push_back(member);
  }
  return members;
}

void BuildDagDiscoverResp(std::vector<_tagDagServer>& dags, Uvo::DAGDiscoverResp& resp,
                          MemberFilter filter, AgentInstalledPredicate predicate) {
  CNMessageList dagList;
  for (_tagDagServer& dag : dags) {
    Uvo::DAGSetup setup;
    setup.setDagName(dag.name);
    setup.setMemberServers(BuildMemberList(dag.servers, filter, predicate));
    dagList.push_back(setup);
  }
  resp.setDags(dagList);
}

void BuildMemberServersResp(_tagDagServer& dag, Uvo::DAGMemberServersResp& resp,
                            MemberFilter filter, AgentInstalledPredicate predicate) {
  resp.setMemberServers(BuildMemberList(dag.servers, filter, predicate));
}

// Searches the directory; the agent and the search list live for this call.
bool SearchDags(const char* adServerName, const char* userName, const char* encryptedPassword,
                const char* dagName, std::vector<_tagDagServer>& dags) {
  DagDiscoverAgent agent(adServerName, userName, encryptedPassword, dagName);
  return agent.SearchDag(dags);
}

bool DiscoverAllDags(const char* logName, const char* adServerName, const char* userName,
                     const char* encryptedPassword, Uvo::DAGDiscoverResp& resp,
                     MemberFilter filter) {
  adServerName = OrEmpty(adServerName);
  userName = OrEmpty(userName);
  encryptedPassword = OrEmpty(encryptedPassword);
  event.debug("[%s]: Discover Dag. adServerName=%s; userName=%s; encryptedPassword=%s", logName,
              adServerName, userName, encryptedPassword);
  std::vector<_tagDagServer> dags;
  if (!SearchDags(adServerName, userName, encryptedPassword, nullptr, dags)) {
    event.debug("[%s]: Discover dag failed!", logName);
    return false;
  }
  BuildDagDiscoverResp(dags, resp, filter, HasExDbAgentInstalled);
  return true;
}

bool DiscoverOneDag(const char* logName, const char* adServerName, const char* userName,
                    const char* encryptedPassword, const char* dagName,
                    Uvo::DAGMemberServersResp& resp, MemberFilter filter) {
  adServerName = OrEmpty(adServerName);
  userName = OrEmpty(userName);
  encryptedPassword = OrEmpty(encryptedPassword);
  event.debug("[%s]: Discover Dag. adServerName=%s; userName=%s; encryptedPassword=%s; dagName=%s",
              logName, adServerName, userName, encryptedPassword, OrEmpty(dagName));
  std::vector<_tagDagServer> dags;
  if (!SearchDags(adServerName, userName, encryptedPassword, dagName, dags)) {
    event.debug("[%s]: Discover dag failed!", logName);
    return false;
  }
  // Choosing the DAG is the search's work; a search that found none answers
  // with no member servers, as the all-DAG shape answers with no DAGs.
  _tagDagServer none;
  BuildMemberServersResp(dags.empty() ? none : dags.front(), resp, filter, HasExDbAgentInstalled);
  return true;
}

}  // namespace

bool DiscoverDag(const char* adServerName, const char* userName, const char* encryptedPassword,
                 Uvo::DAGDiscoverResp& resp) {
  return DiscoverAllDags("DiscoverDag", adServerName, userName, encryptedPassword, resp, nullptr);
}

bool DiscoverDag(const char* adServerName, const char* userName, const char* encryptedPassword,
                 const char* dagName, Uvo::DAGMemberServersResp& resp) {
  return DiscoverOneDag("DiscoverDag", adServerName, userName, encryptedPassword, dagName, resp,
                        nullptr);
}

bool DiscoverDagWithNewMembers(const char* adServerName, const char* userName,
                               const char* encryptedPassword, Uvo::DAGDiscoverResp& resp) {
  return DiscoverAllDags("DiscoverDagWithNewMembers", adServerName, userName, encryptedPassword,
                         resp, IsNewMember);
}

bool DiscoverDagWithNewMembers(const char* adServerName, const char* userName,
                               const char* encryptedPassword, const char* dagName,
                               Uvo::DAGMemberServersResp& resp) {
  return DiscoverOneDag("DiscoverDagWithNewMembers", adServerName, userName, encryptedPassword,
                        dagName, resp, IsNewMember);
}

void ConstructDagDiscoverResp(std::vector<_tagDagServer>& dags, Uvo::DAGDiscoverResp& resp,
                              AgentInstalledPredicate predicate) {
  BuildDagDiscoverResp(dags, resp, nullptr, predicate);
}

void ConstructDagDiscoverWithNewMembersResp(std::vector<_tagDagServer>& dags,
                                            Uvo::DAGDiscoverResp& resp,
                                            AgentInstalledPredicate predicate) {
  BuildDagDiscoverResp(dags, resp, IsNewMember, predicate);
}

void ConstructDagMeberServersResp(_tagDagServer& dag, Uvo::DAGMemberServersResp& resp,
                                  AgentInstalledPredicate predicate) {
  BuildMemberServersResp(dag, resp, nullptr, predicate);
}

void ConstructDagMeberServersWithNewMembersResp(_tagDagServer& dag, Uvo::DAGMemberServersResp& resp,
                                                AgentInstalledPredicate predicate) {
  BuildMemberServersResp(dag, resp, IsNewMember, predicate);
}

bool HasExDbAgentInstalled(const char* serverName) {
  static const char kLogName[] = "HasExDbAgentInstalled";
  TZClient client(OrEmpty(serverName), true, 0);
  uint64_t clientId = 0;
  if (client.getClientId(clientId, nullptr) != 0) {
    event.debug("[%s]: Get client Id failed", kLogName);
    return false;
  }
  event.debug("[%s]: Client Id: %ld", kLogName, static_cast<long>(clientId));

  bool installed = false;
  try {
    TZInstalledPackages packages(nullptr);
    // The package query takes the id as a signed 32-bit value: the low 32
    // bits of the client id. Its status is not examined; only the flag counts.
    packages.IsPackageInstalled(static_cast<int32_t>(static_cast<uint32_t>(clientId)),
                                kExDbAgentPackage, installed);
  } catch (...) {
    // A broken package query must not stop discovery of the other servers.
    event.debug("[%s]: Exception detected while check uvo installed or not. Continue...", kLogName);
    return false;
  }
  return installed;
}

bool HasExDbAgentInstalled(_tagExServer& server) {
  server.agentInstalled = HasExDbAgentInstalled(server.name.c_str());
  return server.agentInstalled;
}
