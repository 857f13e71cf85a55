// Operations of the library that are not exported. Tests reach them through
// the object library.
#ifndef TZDAG_SRC_INTERNAL_H_
#define TZDAG_SRC_INTERNAL_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <tzplatform/CNMessageBase.h>
#include <tzplatform/CTzNetwork.h>

#include "tzdag/records.h"

using AgentInstalledPredicate = bool (*)(_tagExServer&);

// Directory helpers.
std::string FormDomainPostfix(const std::string& distinguishedName);
void FindAndReplace(std::string& text, const std::string& pattern, const std::string& replacement);

// Why the directory cannot hold a DAG named `name` ("is longer than 64
// bytes", "holds a control character", "is not UTF-8"); null when it can.
// The empty name stands for every DAG.
const char* DagNameProblem(const std::string& name);

// Answer builders of direct DAG discovery.
void ConstructDagDiscoverResp(std::vector<_tagDagServer>& dags, Uvo::DAGDiscoverResp& resp,
                              AgentInstalledPredicate predicate);
void ConstructDagDiscoverWithNewMembersResp(std::vector<_tagDagServer>& dags,
                                            Uvo::DAGDiscoverResp& resp,
                                            AgentInstalledPredicate predicate);
void ConstructDagMeberServersResp(_tagDagServer& dag, Uvo::DAGMemberServersResp& resp,
                                  AgentInstalledPredicate predicate);
void ConstructDagMeberServersWithNewMembersResp(_tagDagServer& dag, Uvo::DAGMemberServersResp& resp,
                                                AgentInstalledPredicate predicate);

// Whether the Exchange database agent (package 151) is installed on a server.
bool HasExDbAgentInstalled(const char* serverName);
bool HasExDbAgentInstalled(_tagExServer& server);

// Overwrite every member server's uvoInstalled from the configuration.
void ResetUvoInstalledField(Uvo::DAGDiscoverResp& resp);
void ResetUvoInstalledField(Uvo::DAGMemberServersResp& resp);

// Why `value` cannot follow a switch on the tool's command line, which the
// session splits at blanks and the tool reads switch by switch: "is empty",
// "starts with '-'", "holds a blank" or "holds a control character"; null when
// it can.
const char* ToolArgumentProblem(const std::string& value);

// Writes the refusal line under `logName`, naming `option`, and returns false
// when `value` cannot follow `option` (ToolArgumentProblem). `problem`, when
// not null, receives the same in a sentence for people.
bool CheckToolArgument(const char* logName, const char* option, const std::string& value,
                       std::string* problem = nullptr);

// The skeleton shared by the two launches of the remote tool: build the
// request for "PshimProxy.exe" with `arguments`, resolve `clientName` (a
// TZClient made with `clientFlag`) to its network host name and attach the
// session to the tool there. Writes its lines under `logName`; on false,
// `problem` (when not null) receives why in words for people: the session's
// "<code>: <text>" when it could not start the tool.
bool LaunchRemoteTool(CTzNetwork& session, const char* logName, const std::string& clientName,
                      bool clientFlag, const std::string& arguments,
                      std::string* problem = nullptr);

// What one receipt of the tool's answer brought.
struct RemoteReceipt {
  bool sessionFailed = false;             // the session reported an error; nothing was logged yet
  std::string sessionError;               // its text, for the caller's own line
  std::unique_ptr<CNMessageBase> record;  // the expected record, or null
  std::string problem;                    // without a record: why, in words for people
};

// The skeleton shared by the receipts of the tool's answer: registers the
// record families, receives one record and hands it back when its tag id is
// `expectedKey`. A session error is left to the caller to report in its own
// words. For anything else that came instead (no record, the tool's error
// record, a wrong record) it writes the line under `logName`, frees what was
// received and hands back no record.
RemoteReceipt ReceiveRemoteRecord(CTzNetwork& session, const char* logName, uint32_t expectedKey);

// LaunchPshimFrom and ReceiveRespsonse, with their lines, that also say why
// they failed (`problem`, when not null) for a report to people.
bool LaunchDatabaseDiscovery(CTzNetwork& session, const std::string& server, uint32_t clientId,
                             bool preferActive, bool useActiveIfNoPassive,
                             bool useLastActivationPref, int64_t jobId, std::string* problem);
bool ReceiveDatabaseAnswer(CTzNetwork& session, Uvo::DAGDBResp& resp, std::string* problem);

// What database discovery does when no member server qualifies: the line
// "Did not find an exchange server with UVO installed" under `logName` and
// critical event 0x48000097 with its one text argument.
void ReportNoExchangeServer(const char* logName);

// The subclient that `application` names, owned by `application`; null when
// the application cannot be read or has no subclient, after the line that
// says so under `logName`.
class ApplicationId;
class MsExchangeSubclient;
MsExchangeSubclient* LookUpSubclient(ApplicationId& application, const char* logName);

// The name of the machine the library runs on, as the session wants it: at
// most 255 characters.
std::string LocalClientName();

// The record as XML text, for the log.
std::string RecordXml(const CNMessageBase& record);

// Sets a list field of `record` to `values` as the list setter does (the
// list is then set, even when empty), taking the items over instead of
// copying them: a large answer's databases are not copied once more on the
// way out. `values` must hold records of the list's kind.
inline void ReplaceList(CNMessageBase& record, const tzdag::FieldId& field,
                        CNMessageList&& values) {
  tzdag::SetList(record, field, CNMessageList());
  tzdag::GetList(record, field).swap(values);
}

#endif  // TZDAG_SRC_INTERNAL_H_
