// DAG and member server discovery through the remote tool on a proxy client.
#include <string>

#include "internal.h"
#include "tzdag/TzDagApi.h"

namespace {

// Appends one switch with its value; an absent value sends neither. A value
// that would change the command line (an empty one, one that the tool would
// read as a switch or as more than one word) is refused: false, after the line
// that names the switch.
bool AppendSwitch(std::string& arguments, const char* logName, const char* option,
                  const char* value) {
  if (value == nullptr) return true;
  if (!CheckToolArgument(logName, option, value)) return false;
  arguments += " ";
  arguments += option;
  arguments += " ";
  arguments += value;
  return true;
}

// The agent flag of one member server, from the backup configuration.
void ResetMemberFlags(CNMessageList& members) {
  for (CNMessageBase& member : members) {
    std::string serverName = tzdag::GetString(member, Uvo::DAGMemberServer::kServerName);
    tzdag::SetInt64(member, Uvo::DAGMemberServer::kUvoInstalled,
                    HasExDbAgentInstalled(serverName.c_str()) ? 1 : 0);
  }
}

// The calling order of both answer shapes: launch on the proxy, then receive.
template <typename Answer>
bool DiscoverThroughProxy(const char* adServerName, const char* userName,
                          const char* encryptedPassword, const char* dagName,
                          const char* proxyServer, Answer& resp) {
  static const char kLogName[] = "DiscoverDagWithProxy";
  CTzNetwork session;
  if (!LaunchPshimForDagNodeDiscover(session, proxyServer, adServerName, userName,
                                     encryptedPassword, dagName)) {
    // Choosing another proxy is the caller's work, whatever the line says.
    event.debug("[%s]: Failed to launch PshimProxy on server %s, trying another one.", kLogName,
                proxyServer);
    return false;
  }
  if (!ReceiveNodeDiscoverRespsonse(session, resp)) {
    event.debug("[%s]: Failed to receive response", kLogName);
    return false;
  }
  return true;
}

}  // namespace

void ResetUvoInstalledField(Uvo::DAGDiscoverResp& resp) {
  for (CNMessageBase& dag : resp.getDags()) {
    ResetMemberFlags(tzdag::GetList(dag, Uvo::DAGSetup::kMemberServers));
  }
}

void ResetUvoInstalledField(Uvo::DAGMemberServersResp& resp) {
  ResetMemberFlags(resp.getMemberServers());
}

bool DiscoverDagWithProxy(const char* adServerName, const char* userName,
                          const char* encryptedPassword, const char* proxyServer,
                          Uvo::DAGDiscoverResp& resp) {
  if (proxyServer == nullptr || proxyServer[0] == '\0') {
    return DiscoverDagWithNewMembers(adServerName, userName, encryptedPassword, resp);
  }
  // Only the member-server shape names a DAG.
  return DiscoverThroughProxy(adServerName, userName, encryptedPassword, nullptr, proxyServer,
                              resp);
}

bool DiscoverDagWithProxy(const char* adServerName, const char* userName,
                          const char* encryptedPassword, const char* dagName,
                          const char* proxyServer, Uvo::DAGMemberServersResp& resp) {
  if (proxyServer == nullptr || proxyServer[0] == '\0') {
    return DiscoverDagWithNewMembers(adServerName, userName, encryptedPassword, dagName, resp);
  }
  return DiscoverThroughProxy(adServerName, userName, encryptedPassword, dagName, proxyServer,
                              resp);
}

bool LaunchPshimForDagNodeDiscover(CTzNetwork& session, const char* proxyServer,
                                   const char* adServerName, const char* userName,
                                   const char* encryptedPassword, const char* dagName) {
  static const char kLogName[] = "LaunchPshimForDagNodeDiscover";
  // Values go as they are, unquoted: the password in its encrypted form.
  std::string arguments = "-dagNode";
  if (!AppendSwitch(arguments, kLogName, "-ad", adServerName) ||
      !AppendSwitch(arguments, kLogName, "-dagu", userName) ||
      !AppendSwitch(arguments, kLogName, "-dagp", encryptedPassword) ||
      !AppendSwitch(arguments, kLogName, "-dagn", dagName)) {
    return false;
  }
  return LaunchRemoteTool(session, kLogName, proxyServer != nullptr ? proxyServer : "", false,
                          arguments);
}

bool ReceiveNodeDiscoverRespsonse(CTzNetwork& session, Uvo::DAGDiscoverResp& resp) {
  static const char kLogName[] = "ReceiveNodeDiscoverRespsonse";
  RemoteReceipt receipt = ReceiveRemoteRecord(session, kLogName, Uvo::DAGDiscoverResp::kClassKey);
  if (receipt.sessionFailed) {
    event.debug("[%s]: Received response failed. Error:[%s]", kLogName,
                receipt.sessionError.c_str());
    return false;
  }
  if (!receipt.record) return false;

  // The flags are corrected on a copy, so that the caller's record changes in
  // one step, or not at all when the configuration cannot be read.
  Uvo::DAGDiscoverResp answer;
  answer.setDags(tzdag::GetList(*receipt.record, Uvo::DAGDiscoverResp::kDags));
  receipt.record.reset();
  ResetUvoInstalledField(answer);
  resp.setDags(answer.getDags());
  if (event.isLevelEnabled(1)) {
    event.debugLvl(1, "[%s]: Response xml: %s", kLogName, RecordXml(resp).c_str());
  }
  return true;
}

bool ReceiveNodeDiscoverRespsonse(CTzNetwork& session, Uvo::DAGMemberServersResp& resp) {
  static const char kLogName[] = "ReceiveNodeDiscoverRespsonse";
  RemoteReceipt receipt =
      ReceiveRemoteRecord(session, kLogName, Uvo::DAGMemberServersResp::kClassKey);
  if (receipt.sessionFailed) {
    event.debug("[%s]: Received response is failed. Error:[%s]", kLogName,
                receipt.sessionError.c_str());
    return false;
  }
  if (!receipt.record) return false;

  Uvo::DAGMemberServersResp answer;
  answer.setMemberServers(
      tzdag::GetList(*receipt.record, Uvo::DAGMemberServersResp::kMemberServers));
  receipt.record.reset();
  ResetUvoInstalledField(answer);
  resp.setMemberServers(answer.getMemberServers());
  if (event.isLevelEnabled(1)) {
    event.debugLvl(1, "[%s]: Response xml: %s", kLogName, RecordXml(resp).c_str());
  }
  return true;
}
