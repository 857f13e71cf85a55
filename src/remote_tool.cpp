// Launch and receipt of the remote discovery tool, shared by DAG node
// discovery and database discovery.
#include <cstring>
#include <string>

#include <tzplatform/TZClient.h>
#include <tzplatform/TZPlatformInfo.h>
#include <tzplatform/codec.h>

#include "internal.h"
#include "tzdag/frame.h"

namespace {

const char kToolExecutable[] = "PshimProxy.exe";
// The session's own meaning; the library always passes it.
const int kAttachTimeoutHint = 120;

}  // namespace

const char* ToolArgumentProblem(const std::string& value) {
  if (value.empty()) return "is empty";
  if (value[0] == '-') return "starts with '-'";
  for (unsigned char c : value) {
    if (c == ' ') return "holds a blank";
    if (c < 0x20 || c == 0x7F) return "holds a control character";
  }
  return nullptr;
}

bool CheckToolArgument(const char* logName, const char* option, const std::string& value,
                       std::string* problem) {
  const char* what = ToolArgumentProblem(value);
  if (what == nullptr) return true;
  // The value itself stays out of the line: it may be a password, or hold
  // what would break the log's lines.
  event.debug("[%s]: The value of %s %s; PshimProxy not launched.", logName, option, what);
  if (problem != nullptr) {
    *problem = std::string("the value of ") + option + " " + what +
               ", which the tool's command line cannot carry";
  }
  return false;
}

std::string LocalClientName() {
  char name[256] = {};
  TZPlatformInfo platform;
  if (platform.getTZPlatformType() & 1u) {
    platform.getCorehostClientName(name, sizeof(name));
    name[sizeof(name) - 1] = '\0';
  } else {
    std::string physical = platform.getPhysicalMachine();
    std::strncpy(name, physical.c_str(), sizeof(name) - 1);
  }
  return name;
}

bool LaunchRemoteTool(CTzNetwork& session, const char* logName, const std::string& clientName,
                      bool clientFlag, const std::string& arguments, std::string* problem) {
  CNSession::tzsExecuteRemoteCommandType request;
  request.setField1(0);
  request.setField4(1);
  request.setField5(0);
  request.setExecutable(kToolExecutable);
  request.setArguments(arguments);

  // The id itself is not needed: a client without one cannot be reached.
  TZClient client(clientName, clientFlag, 0);
  uint64_t clientId = 0;
  if (client.getClientId(clientId, nullptr) != 0) {
    event.debug("[%s]: Get client Id failed", logName);
    if (problem != nullptr) *problem = "the configuration store knows no client of that name";
    return false;
  }
  std::string host;
  if (client.getNetworkHostnameMangled(host, nullptr) != 0) {
    event.debug("[%s]: Get client managed name failed", logName);
    if (problem != nullptr) *problem = "the configuration store gives the client no host name";
    return false;
  }

  std::string localClient = LocalClientName();
  bool flag = false;
  CWqError result = session.Attach_RemoteCommand(host.c_str(), request, nullptr,
                                                 localClient.c_str(), kAttachTimeoutHint, flag);
  if (result.IsError()) {
    std::string text = "From " + host + " failed. Error:[" + result.AsString() + "]";
    event.debug("[%s]: Launch PshimProxy [%s]", logName, text.c_str());
    if (problem != nullptr) *problem = result.AsString();
    return false;
  }
  event.debug("[%s]: Launch PshimProxy From '%s' succeed.", logName, host.c_str());
  return true;
}

RemoteReceipt ReceiveRemoteRecord(CTzNetwork& session, const char* logName, uint32_t expectedKey) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();

  RemoteReceipt receipt;
  CNMessageBase* raw = nullptr;
  bool flag = false;
  CWqError result = session.ReceiveXMLMessage(nullptr, &raw, nullptr, 0, -1, flag);
  std::unique_ptr<CNMessageBase> received(raw);
  if (result.IsError()) {
    receipt.sessionFailed = true;
    receipt.sessionError = result.AsString();
    return receipt;
  }
  // A session that reports success must hand back a record; one that does not
  // is a failed receipt, not something to read from.
  if (!received) {
    event.debug("[%s]: Received no message from PshimProxy.", logName);
    receipt.problem = "the session handed back no message";
    return receipt;
  }
  event.debug("[%s]: Received response from PshimProxy.", logName);

  uint32_t tag = received->getTagID();
  if (tag == expectedKey) {
    receipt.record = std::move(received);
  } else if (tag == ProxyErrorMessage::kClassKey) {
    std::string errorText = tzdag::GetString(*received, ProxyErrorMessage::kErrorText);
    event.debug("[%s]: PshimProxy returned error: %s", logName, errorText.c_str());
    receipt.problem = "the tool answered with an error: " + errorText;
  } else {
    event.debug("[%s]: Received a wrong message. TagID: %ld", logName, static_cast<long>(tag));
    receipt.problem =
        "the tool answered with a record of another kind (tag id " + std::to_string(tag) + ")";
  }
  return receipt;
}

std::string RecordXml(const CNMessageBase& record) {
  std::string xml;
  record.serialize(xml, false);
  return xml;
}
