// Every exported operation of libTzDagApi.so.
//
// All operations are synchronous on the caller's thread and keep no state
// between calls. Ids: orbalId (the managed installation), clientId (the DAG
// client) and appId (a subclient, 0 = none) are unsigned 32-bit; jobId is
// signed 64-bit, 0 = none. Answer records are owned by the caller; the
// library replaces their list fields wholesale at the end of each stage, so a
// stage that fails leaves the record as the previous stage left it. Failures
// are reported by the result and the log; exceptions of the platform pass
// through after the call's own objects are released.
#ifndef TZDAG_TZDAGAPI_H_
#define TZDAG_TZDAGAPI_H_

#include <cstdint>
#include <string>
#include <vector>

#include <tzplatform/CTzNetwork.h>

#include "tzdag/DagDiscoverAgent.h"
#include "tzdag/export.h"
#include "tzdag/frame.h"
#include "tzdag/records.h"

// --- Direct DAG discovery -------------------------------------------------

// Every DAG with every member server.
TZDAG_API bool DiscoverDag(const char* adServerName, const char* userName,
                           const char* encryptedPassword, Uvo::DAGDiscoverResp& resp);
// The member servers of one DAG.
TZDAG_API bool DiscoverDag(const char* adServerName, const char* userName,
                           const char* encryptedPassword, const char* dagName,
                           Uvo::DAGMemberServersResp& resp);
// As DiscoverDag, with only the member servers that can still join a DAG client.
TZDAG_API bool DiscoverDagWithNewMembers(const char* adServerName, const char* userName,
                                         const char* encryptedPassword,
                                         Uvo::DAGDiscoverResp& resp);
TZDAG_API bool DiscoverDagWithNewMembers(const char* adServerName, const char* userName,
                                         const char* encryptedPassword, const char* dagName,
                                         Uvo::DAGMemberServersResp& resp);

// --- DAG discovery through the remote tool ----------------------------------

// With a null or empty proxyServer: DiscoverDagWithNewMembers.
TZDAG_API bool DiscoverDagWithProxy(const char* adServerName, const char* userName,
                                    const char* encryptedPassword, const char* proxyServer,
                                    Uvo::DAGDiscoverResp& resp);
TZDAG_API bool DiscoverDagWithProxy(const char* adServerName, const char* userName,
                                    const char* encryptedPassword, const char* dagName,
                                    const char* proxyServer, Uvo::DAGMemberServersResp& resp);
TZDAG_API bool LaunchPshimForDagNodeDiscover(CTzNetwork& session, const char* proxyServer,
                                             const char* adServerName, const char* userName,
                                             const char* encryptedPassword, const char* dagName);
TZDAG_API bool ReceiveNodeDiscoverRespsonse(CTzNetwork& session, Uvo::DAGDiscoverResp& resp);
TZDAG_API bool ReceiveNodeDiscoverRespsonse(CTzNetwork& session,
                                            Uvo::DAGMemberServersResp& resp);

// --- Member server selection ------------------------------------------------

// Member servers selected for the DAG client that carry the database agent,
// in configuration order.
TZDAG_API std::vector<std::string> GetRemoteServer(uint32_t clientId);
// Member servers selected for the DAG client, in configuration order.
TZDAG_API std::vector<std::string> GetSelectedServers(uint32_t clientId);

// --- Database discovery ---------------------------------------------------

TZDAG_API bool LaunchPshimFrom(CTzNetwork& session, const std::string& server, uint32_t clientId,
                               bool preferActive, bool useActiveIfNoPassive,
                               bool useLastActivationPref, int64_t jobId);
TZDAG_API bool IsPreferActive(uint32_t orbalId, uint32_t appId);
TZDAG_API bool UseActiveIfNoPassive(uint32_t orbalId, uint32_t appId);
TZDAG_API bool UseLastActivationPref(uint32_t orbalId, uint32_t appId);

TZDAG_API bool DiscoverExDatabase(uint32_t orbalId, uint32_t clientId, uint32_t appId,
                                  std::string& remoteServer, Uvo::DAGDBResp& resp,
                                  int64_t jobId);
TZDAG_API bool DiscoverExDatabase(uint32_t orbalId, uint32_t clientId, uint32_t appId,
                                  Uvo::DAGDBResp& resp, int64_t jobId);
TZDAG_API bool ReceiveRespsonse(CTzNetwork& session, Uvo::DAGDBResp& resp);

TZDAG_API bool FilterResponceForClient(uint32_t clientId, Uvo::DAGDBResp& response);

TZDAG_API bool GetSubclientsDbList(uint32_t orbalId, uint32_t appId,
                                   std::vector<std::string>& defaultSubclientDbs,
                                   std::vector<std::string>& customSubclientDbs);
TZDAG_API bool GetSubclientContent(uint32_t orbalId, uint32_t appId, bool& isDefault,
                                   std::vector<std::string>& content);
TZDAG_API bool FilterResponceForSubClient(uint32_t orbalId, uint32_t appId,
                                          Uvo::DAGDBResp& response);

// --- Subclient maintenance -------------------------------------------------

TZDAG_API bool IsManualSubclient(uint32_t orbalId, uint32_t appId);
// 0 = updated; -3 = updated, circular logging found; -1 = nothing changed
// (lookup failed) or a store write failed.
TZDAG_API int UpdateSubclient(uint32_t orbalId, uint32_t appId, const Uvo::DAGDBResp& resp,
                              bool markForceFull);

TZDAG_API bool DiscoverUnassociatedExDatabase(uint32_t orbalId, uint32_t clientId,
                                              Uvo::DAGDBResp& resp);

#endif  // TZDAG_TZDAGAPI_H_
