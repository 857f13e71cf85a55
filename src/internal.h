// Operations of the library that are not exported. Tests reach them through
// the object library.
#ifndef TZDAG_SRC_INTERNAL_H_
#define TZDAG_SRC_INTERNAL_H_

#include <string>
#include <vector>

#include "tzdag/records.h"

using AgentInstalledPredicate = bool (*)(_tagExServer&);

// Directory helpers.
std::string FormDomainPostfix(const std::string& distinguishedName);
void FindAndReplace(std::string& text, const std::string& pattern, const std::string& replacement);

// Answer builders of direct DAG discovery.
void ConstructDagDiscoverResp(std::vector<_tagDagServer>& dags, Uvo::DAGDiscoverResp& resp,
                              AgentInstalledPredicate predicate);
void ConstructDagDiscoverWithNewMembersResp(std::vector<_tagDagServer>& dags,
                                            Uvo::DAGDiscoverResp& resp,
                                            AgentInstalledPredicate predicate);
void ConstructDagMeberServersResp(_tagDagServer& dag, Uvo::DAGMemberServersResp& resp,
                                  AgentInstalledPredicate predicate);
void ConstructDagMeberServersWithNewMembersResp(_tagDagServer& dag,
                                                Uvo::DAGMemberServersResp& resp,
                                                AgentInstalledPredicate predicate);

// Whether the Exchange database agent (package 151) is installed on a server.
bool HasExDbAgentInstalled(const char* serverName);
bool HasExDbAgentInstalled(_tagExServer& server);

// Overwrite every member server's uvoInstalled from the configuration.
void ResetUvoInstalledField(Uvo::DAGDiscoverResp& resp);
void ResetUvoInstalledField(Uvo::DAGMemberServersResp& resp);

#endif  // TZDAG_SRC_INTERNAL_H_
