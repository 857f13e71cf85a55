// Database discovery: run the tool on a member server of the DAG, receive its
// database list and narrow it to the DAG client and the subclient.
#include <string>
#include <utility>
#include <vector>

#include "internal.h"
#include "tzdag/TzDagApi.h"

namespace {

const uint32_t kNoExchangeServerEvent = 0x48000097;

}  // namespace

void ReportNoExchangeServer(const char* logName) {
  event.debug("[%s]: Did not find an exchange server with UVO installed", logName);
  event << " Did not find an exchange server with UVO installed, No Exchange Server available ";
  event.CriticalEvent(kNoExchangeServerEvent, 0, 0);
}

bool ReceiveDatabaseAnswer(CTzNetwork& session, Uvo::DAGDBResp& resp, std::string* problem) {
  static const char kLogName[] = "ReceiveRespsonse";
  RemoteReceipt receipt = ReceiveRemoteRecord(session, kLogName, Uvo::DAGDBResp::kClassKey);
  if (receipt.sessionFailed) {
    event.debug("[%s]: Received failed from PshimProxy. Error:[%s]", kLogName,
                receipt.sessionError.c_str());
    if (problem != nullptr) *problem = receipt.sessionError;
    return false;
  }
  if (!receipt.record) {  // the skeleton said what came instead
    if (problem != nullptr) *problem = receipt.problem;
    return false;
  }

  // The received record is dropped right after, so its list is taken over
  // rather than copied.
  ReplaceList(resp, Uvo::DAGDBResp::kDatabases,
              std::move(tzdag::GetList(*receipt.record, Uvo::DAGDBResp::kDatabases)));
  receipt.record.reset();
  // The whole answer as text is costly for a large DAG; only made when written.
  if (event.isLevelEnabled(1)) {
    event.debugLvl(1, "[%s]: Response xml: %s", kLogName, RecordXml(resp).c_str());
  }
  return true;
}

bool ReceiveRespsonse(CTzNetwork& session, Uvo::DAGDBResp& resp) {
  return ReceiveDatabaseAnswer(session, resp, nullptr);
}

bool DiscoverExDatabase(uint32_t orbalId, uint32_t clientId, uint32_t appId,
                        std::string& remoteServer, Uvo::DAGDBResp& resp, int64_t jobId) {
  // Its lines carry the prefix of DAG discovery, not its own name.
  static const char kLogName[] = "DiscoverDag";
  event.debug("[%s]: Discover exchange database with orbalId: %d; clientId: %d, appId: %d",
              kLogName, static_cast<int>(orbalId), static_cast<int>(clientId),
              static_cast<int>(appId));
  remoteServer.clear();

  std::vector<std::string> servers = GetRemoteServer(clientId);
  if (servers.empty()) {
    ReportNoExchangeServer(kLogName);
    return false;
  }

  bool preferActive = IsPreferActive(orbalId, appId);
  bool useActiveIfNoPassive = UseActiveIfNoPassive(orbalId, appId);
  bool useLastActivationPref = UseLastActivationPref(orbalId, appId);

  for (uint32_t index = 0; index < servers.size(); ++index) {
    const std::string& server = servers[index];
    // A session carries one tool run; each server gets its own.
    CTzNetwork session;
    if (!LaunchPshimFrom(session, server, clientId, preferActive, useActiveIfNoPassive,
                         useLastActivationPref, jobId)) {
      event.debug("[%s]: Failed to launch PshimProxy on server %s, trying another one.", kLogName,
                  server.c_str());
      continue;
    }
    // Only a launch that failed moves on; a tool that ran and answered badly
    // ends the request.
    if (!ReceiveRespsonse(session, resp)) {
      event.debug("[%s]: Failed to receive response", kLogName);
      return false;
    }
    remoteServer = server;

    if (!FilterResponceForClient(clientId, resp)) {
      event.debug("[%s]: Filter response for client falied", kLogName);
      return false;
    }
    if (appId != 0 && !FilterResponceForSubClient(orbalId, appId, resp)) {
      event.debug("[%s]: Filter response for subclient falied", kLogName);
      return false;
    }
    if (event.isLevelEnabled(1)) {
      event.debugLvl(1, "[%s]: Response xml after filtering by client and subclient: %s", kLogName,
                     RecordXml(resp).c_str());
    }
    event.debug("[%s]: Discover exchange database successfully", kLogName);
    return true;
  }
  event.debug("[%s]: Failed to launch PshimProxy all servers.", kLogName);
  return false;
}

bool DiscoverExDatabase(uint32_t orbalId, uint32_t clientId, uint32_t appId, Uvo::DAGDBResp& resp,
                        int64_t jobId) {
  std::string remoteServer;
  return DiscoverExDatabase(orbalId, clientId, appId, remoteServer, resp, jobId);
}
