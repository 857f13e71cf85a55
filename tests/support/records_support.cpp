#include "records_support.h"

#include <gtest/gtest.h>

#include <map>

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

std::string Fields(const CNMessageBase& m) {
  enum Kind { kText, kNumber, kTexts, kRecords };
  using Field = std::tuple<const char*, const tzdag::FieldId*, Kind>;
  static const std::map<uint32_t, std::vector<Field>> kSchema = {
      {Uvo::DAGDiscoverResp::kClassKey, {{"dags", &Uvo::DAGDiscoverResp::kDags, kRecords}}},
      {Uvo::DAGSetup::kClassKey,
       {{"dagName", &Uvo::DAGSetup::kDagName, kText},
        {"members", &Uvo::DAGSetup::kMemberServers, kRecords}}},
      {Uvo::DAGMemberServer::kClassKey,
       {{"server", &Uvo::DAGMemberServer::kServerName, kText},
        {"uvo", &Uvo::DAGMemberServer::kUvoInstalled, kNumber}}},
      {Uvo::DAGMemberServersResp::kClassKey,
       {{"members", &Uvo::DAGMemberServersResp::kMemberServers, kRecords}}},
      {Uvo::DAGDBResp::kClassKey, {{"databases", &Uvo::DAGDBResp::kDatabases, kRecords}}},
      {Uvo::DAGDB::kClassKey,
       {{"db", &Uvo::DAGDB::kDbName, kText},
        {"backup", &Uvo::DAGDB::kBackupServer, kText},
        {"copies", &Uvo::DAGDB::kCopyServers, kTexts},
        {"circular", &Uvo::DAGDB::kCircularLogging, kNumber}}},
      {CNSession::tzsExecuteRemoteCommandType::kClassKey,
       {{"f1", &CNSession::tzsExecuteRemoteCommandType::kField1, kNumber},
        {"exe", &CNSession::tzsExecuteRemoteCommandType::kExecutable, kText},
        {"args", &CNSession::tzsExecuteRemoteCommandType::kArguments, kText},
        {"f4", &CNSession::tzsExecuteRemoteCommandType::kField4, kNumber},
        {"f5", &CNSession::tzsExecuteRemoteCommandType::kField5, kNumber}}},
      {ProxyErrorMessage::kClassKey, {{"error", &ProxyErrorMessage::kErrorText, kText}}},
  };
  auto schema = kSchema.find(m.getTagID());
  if (schema == kSchema.end()) return "unknown record " + std::to_string(m.getTagID());
  std::string out = "{";
  for (const auto& [name, id, kind] : schema->second) {
    out += (out.size() > 1 ? " " : "") + std::string(name) + "=";
    if (!tzdag::IsSet(m, *id)) {
      out += "-";
    } else if (kind == kText) {
      out += "'" + tzdag::GetString(m, *id) + "'";
    } else if (kind == kNumber) {
      out += std::to_string(tzdag::GetInt64(m, *id));
    } else {
      std::string items;
      if (kind == kTexts) {
        for (const std::string& t : tzdag::GetStringList(m, *id)) items += ",'" + t + "'";
      } else {
        for (const CNMessageBase& r : tzdag::GetList(m, *id)) items += "," + Fields(r);
      }
      out += "[" + items.substr(items.empty() ? 0 : 1) + "]";
    }
  }
  return out + "}";
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
