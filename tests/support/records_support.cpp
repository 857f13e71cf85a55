#include "records_support.h"

#include <gtest/gtest.h>

#include "tzplatform/codec.h"

namespace tztest {

std::string Xml(const CNMessageBase& record) {
  std::string text;
  record.serialize(text, false);
  return text;
}

std::unique_ptr<CNMessageBase> Decode(const std::string& text) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();
  std::unique_ptr<CNMessageBase> message;
  tzplatform::DecodeResult result = tzplatform::DecodeMessage(text, message);
  if (!result.ok) ADD_FAILURE() << "not a record: " << result.error << "\n" << text;
  return message;
}

std::string ErrorXml(const std::string& text) {
  ProxyErrorMessage error;
  error.setErrorText(text);
  return Xml(error);
}

std::string PrintingTool(const std::string& text, const std::string& before) {
  return "#!/bin/sh\n" + before + "cat <<'END_OF_ANSWER'\n" + text + "\nEND_OF_ANSWER\n";
}

void PrintTo(const Member& member, std::ostream* out) {
  *out << member.name << "=" << member.uvoInstalled;
}

std::vector<Member> Members(const CNMessageList& list) {
  std::vector<Member> members;
  for (const CNMessageBase& m : list) {
    members.push_back({tzdag::GetString(m, Uvo::DAGMemberServer::kServerName),
                       tzdag::IsSet(m, Uvo::DAGMemberServer::kUvoInstalled)
                           ? tzdag::GetInt64(m, Uvo::DAGMemberServer::kUvoInstalled)
                           : -1});
  }
  return members;
}

Uvo::DAGMemberServer MemberRecord(const std::string& name, bool installed) {
  Uvo::DAGMemberServer member;
  member.setServerName(name);
  member.setUvoInstalled(installed);
  return member;
}

}  // namespace tztest
