// The message records on the wire: their identities and field numbers, and
// the XML texts they are read from and written as.
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include <tzdag/records.h>
#include <tzplatform/codec.h>

namespace {

using tzdag::FieldId;
using tzdag::GetInt64;
using tzdag::GetList;
using tzdag::GetString;
using tzdag::GetStringList;
using tzdag::IsSet;

std::string ReadRecordFile(const std::string& name) {
  std::ifstream in(std::string(TZ_TEST_DATA_DIR) + "/records/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void ExpectField(const FieldId& actual, int field, int slot, uint32_t classKey, uint32_t fieldKey,
                 const char* what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(actual.field, field);
  EXPECT_EQ(actual.slot, slot);
  EXPECT_EQ(actual.classKey, classKey);
  EXPECT_EQ(actual.fieldKey, fieldKey);
}

TEST(Records, IdentitiesAndFieldNumbersAreTheWireOnes) {
  struct Identity {
    const char* name;
    std::function<uint32_t()> tagOfNew;
    uint32_t classKey;
  } identities[] = {
      {"DAGDiscoverResp", [] { return Uvo::DAGDiscoverResp().getTagID(); }, 384415715},
      {"DAGSetup", [] { return Uvo::DAGSetup().getTagID(); }, 372135219},
      {"DAGMemberServer", [] { return Uvo::DAGMemberServer().getTagID(); }, 383014663},
      {"DAGMemberServersResp", [] { return Uvo::DAGMemberServersResp().getTagID(); }, 381113404},
      {"DAGDBResp", [] { return Uvo::DAGDBResp().getTagID(); }, 369539416},
      {"DAGDB", [] { return Uvo::DAGDB().getTagID(); }, 383573352},
      {"tzsExecuteRemoteCommandType",
       [] { return CNSession::tzsExecuteRemoteCommandType().getTagID(); }, 150995217},
      {"ProxyErrorMessage", [] { return ProxyErrorMessage().getTagID(); }, 16778224},
  };
  for (const auto& identity : identities) {
    EXPECT_EQ(identity.tagOfNew(), identity.classKey) << identity.name;
  }
  // The family is the high byte of the class key.
  EXPECT_EQ(Uvo::DAGDB().getTagID() >> 24, 22u);
  EXPECT_EQ(CNSession::tzsExecuteRemoteCommandType().getTagID() >> 24, 9u);
  EXPECT_EQ(ProxyErrorMessage().getTagID() >> 24, 1u);

  ExpectField(Uvo::DAGDiscoverResp::kDags, 1, 1, 384415715, 1521088, "dags");
  ExpectField(Uvo::DAGSetup::kDagName, 1, 1, 372135219, 4562229, "dagName");
  ExpectField(Uvo::DAGSetup::kMemberServers, 2, 5, 372135219, 1622572, "DAGSetup.memberServers");
  ExpectField(Uvo::DAGMemberServer::kServerName, 1, 1, 383014663, 2606190, "serverName");
  ExpectField(Uvo::DAGMemberServer::kUvoInstalled, 2, 5, 383014663, 14342474, "uvoInstalled");
  ExpectField(Uvo::DAGMemberServersResp::kMemberServers, 1, 1, 381113404, 1622572,
              "DAGMemberServersResp.memberServers");
  ExpectField(Uvo::DAGDBResp::kDatabases, 2, 2, 369539416, 2842603, "databases");
  ExpectField(Uvo::DAGDB::kDbName, 1, 1, 383573352, 9634460, "dbName");
  ExpectField(Uvo::DAGDB::kBackupServer, 2, 5, 383573352, 3366598, "backupServer");
  ExpectField(Uvo::DAGDB::kCopyServers, 4, 13, 383573352, 4438416, "copyServers");
  ExpectField(Uvo::DAGDB::kCircularLogging, 5, 14, 383573352, 16287629, "circularLogging");
  using Request = CNSession::tzsExecuteRemoteCommandType;
  ExpectField(Request::kField1, 1, 1, 150995217, 7634917, "field 1");
  ExpectField(Request::kExecutable, 2, 2, 150995217, 7933915, "executable");
  ExpectField(Request::kArguments, 3, 6, 150995217, 959324, "arguments");
  ExpectField(Request::kField4, 4, 10, 150995217, 2090299, "field 4");
  ExpectField(Request::kField5, 5, 11, 150995217, 9836683, "field 5");
  ExpectField(ProxyErrorMessage::kErrorText, 2, 2, 16778224, 12053727, "errorText");
}

std::unique_ptr<CNMessageBase> DecodeFile(const std::string& name) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();
  std::unique_ptr<CNMessageBase> message;
  tzplatform::DecodeResult result = tzplatform::DecodeMessage(ReadRecordFile(name), message);
  EXPECT_TRUE(result.ok) << name << ": " << result.error;
  return message;
}

// The fixed texts read back through the typed accessors, whose numbers are
// checked above, field by field.
TEST(Records, FixedTextsOfEveryKindDecodeIntoTheirFields) {
  struct Case {
    const char* file;
    uint32_t classKey;
    std::function<void(CNMessageBase&)> check;
  } cases[] = {
      {"DAGDiscoverResp.xml", Uvo::DAGDiscoverResp::kClassKey,
       [](CNMessageBase& m) {
         const CNMessageList& dags = GetList(m, Uvo::DAGDiscoverResp::kDags);
         ASSERT_EQ(dags.size(), 3u);
         EXPECT_EQ(dags[0].getTagID(), Uvo::DAGSetup::kClassKey);
         EXPECT_EQ(GetString(dags[0], Uvo::DAGSetup::kDagName), "DAG01");
         const CNMessageList& members1 = GetList(dags[0], Uvo::DAGSetup::kMemberServers);
         ASSERT_EQ(members1.size(), 2u);
         EXPECT_EQ(members1[0].getTagID(), Uvo::DAGMemberServer::kClassKey);
         EXPECT_EQ(GetString(members1[0], Uvo::DAGMemberServer::kServerName), "MBX01");
         EXPECT_EQ(GetInt64(members1[0], Uvo::DAGMemberServer::kUvoInstalled), 1);
         EXPECT_EQ(GetString(members1[1], Uvo::DAGMemberServer::kServerName), "MBX02");
         EXPECT_EQ(GetInt64(members1[1], Uvo::DAGMemberServer::kUvoInstalled), 0);
         EXPECT_TRUE(IsSet(members1[1], Uvo::DAGMemberServer::kUvoInstalled));
         EXPECT_EQ(GetString(dags[1], Uvo::DAGSetup::kDagName), "DAG02");
         const CNMessageList& members2 = GetList(dags[1], Uvo::DAGSetup::kMemberServers);
         ASSERT_EQ(members2.size(), 1u);
         EXPECT_EQ(GetString(members2[0], Uvo::DAGMemberServer::kServerName), "MBX11");
         EXPECT_FALSE(IsSet(members2[0], Uvo::DAGMemberServer::kUvoInstalled));
         EXPECT_EQ(GetString(dags[2], Uvo::DAGSetup::kDagName), "DAG03");
         EXPECT_TRUE(IsSet(dags[2], Uvo::DAGSetup::kMemberServers));
         EXPECT_TRUE(GetList(dags[2], Uvo::DAGSetup::kMemberServers).empty());
       }},
      {"DAGMemberServersResp.xml", Uvo::DAGMemberServersResp::kClassKey,
       [](CNMessageBase& m) {
         const CNMessageList& members = GetList(m, Uvo::DAGMemberServersResp::kMemberServers);
         ASSERT_EQ(members.size(), 2u);
         EXPECT_EQ(members[0].getTagID(), Uvo::DAGMemberServer::kClassKey);
         EXPECT_EQ(GetString(members[0], Uvo::DAGMemberServer::kServerName), "MBX01");
         EXPECT_EQ(GetInt64(members[0], Uvo::DAGMemberServer::kUvoInstalled), 1);
         EXPECT_EQ(GetString(members[1], Uvo::DAGMemberServer::kServerName), "mbx02.corp.example");
         EXPECT_EQ(GetInt64(members[1], Uvo::DAGMemberServer::kUvoInstalled), 0);
       }},
      {"DAGDBResp.xml", Uvo::DAGDBResp::kClassKey,
       [](CNMessageBase& m) {
         const CNMessageList& dbs = GetList(m, Uvo::DAGDBResp::kDatabases);
         ASSERT_EQ(dbs.size(), 2u);
         EXPECT_EQ(dbs[0].getTagID(), Uvo::DAGDB::kClassKey);
         EXPECT_EQ(GetString(dbs[0], Uvo::DAGDB::kDbName), "First\\DB01");
         EXPECT_EQ(GetString(dbs[0], Uvo::DAGDB::kBackupServer), "MBX02");
         EXPECT_EQ(GetStringList(dbs[0], Uvo::DAGDB::kCopyServers),
                   (CNStringList{"MBX01", "MBX02"}));
         EXPECT_EQ(GetInt64(dbs[0], Uvo::DAGDB::kCircularLogging), 0);
         EXPECT_EQ(GetString(dbs[1], Uvo::DAGDB::kDbName), "Second\\DB & Archive");
         EXPECT_EQ(GetString(dbs[1], Uvo::DAGDB::kBackupServer), "N/A");
         EXPECT_EQ(GetStringList(dbs[1], Uvo::DAGDB::kCopyServers), (CNStringList{"MBX03"}));
         EXPECT_EQ(GetInt64(dbs[1], Uvo::DAGDB::kCircularLogging), 1);
       }},
      {"DAGSetup.xml", Uvo::DAGSetup::kClassKey,
       [](CNMessageBase& m) {
         EXPECT_EQ(GetString(m, Uvo::DAGSetup::kDagName), "DAG01");
         const CNMessageList& members = GetList(m, Uvo::DAGSetup::kMemberServers);
         ASSERT_EQ(members.size(), 1u);
         EXPECT_EQ(GetString(members[0], Uvo::DAGMemberServer::kServerName), "MBX01");
         EXPECT_EQ(GetInt64(members[0], Uvo::DAGMemberServer::kUvoInstalled), 1);
       }},
      {"DAGMemberServer.xml", Uvo::DAGMemberServer::kClassKey,
       [](CNMessageBase& m) {
         EXPECT_EQ(GetString(m, Uvo::DAGMemberServer::kServerName), "MBX07");
         EXPECT_EQ(GetInt64(m, Uvo::DAGMemberServer::kUvoInstalled), 1);
       }},
      {"DAGDB.xml", Uvo::DAGDB::kClassKey,
       [](CNMessageBase& m) {
         EXPECT_EQ(GetString(m, Uvo::DAGDB::kDbName), "Third\\DB09");
         EXPECT_EQ(GetString(m, Uvo::DAGDB::kBackupServer), "MBX09");
         EXPECT_EQ(GetInt64(m, Uvo::DAGDB::kCircularLogging), 1);
         EXPECT_TRUE(IsSet(m, Uvo::DAGDB::kCopyServers));
         EXPECT_TRUE(GetStringList(m, Uvo::DAGDB::kCopyServers).empty());
       }},
      {"tzsExecuteRemoteCommandType.xml", CNSession::tzsExecuteRemoteCommandType::kClassKey,
       [](CNMessageBase& m) {
         using R = CNSession::tzsExecuteRemoteCommandType;
         EXPECT_EQ(GetInt64(m, R::kField1), 0);
         EXPECT_EQ(GetString(m, R::kExecutable), "PshimProxy.exe");
         EXPECT_EQ(GetString(m, R::kArguments), "-dag 0 -ua -cid 2 -hn MBX01");
         EXPECT_EQ(GetInt64(m, R::kField4), 1);
         EXPECT_EQ(GetInt64(m, R::kField5), 0);
         EXPECT_TRUE(IsSet(m, R::kField5));
       }},
      {"ProxyErrorMessage.xml", ProxyErrorMessage::kClassKey,
       [](CNMessageBase& m) {
         EXPECT_EQ(GetString(m, ProxyErrorMessage::kErrorText), "No DAG named DAG09 was found");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::unique_ptr<CNMessageBase> message = DecodeFile(c.file);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->getTagID(), c.classKey);
    c.check(*message);
  }
}

Uvo::DAGMemberServer Member(const std::string& name, bool agent) {
  Uvo::DAGMemberServer member;
  member.setServerName(name);
  member.setUvoInstalled(agent);
  return member;
}

Uvo::DAGDB Database(const std::string& name, const std::string& backup, const CNStringList& copies,
                    bool circular) {
  Uvo::DAGDB db;
  db.setDbName(name);
  db.setBackupServer(backup);
  db.setCopyServers(copies);
  db.setCircularLogging(circular);
  return db;
}

// Every field of every record, compared after the record went to text and
// back: what was written, what was left unset, and list order.
void ExpectSameRecord(const CNMessageBase& expected, const CNMessageBase& actual);

void ExpectSameMember(const CNMessageBase& e, const CNMessageBase& a) {
  using M = Uvo::DAGMemberServer;
  EXPECT_EQ(a.getTagID(), M::kClassKey);
  EXPECT_EQ(tzdag::GetString(a, M::kServerName), tzdag::GetString(e, M::kServerName));
  EXPECT_EQ(tzdag::IsSet(a, M::kServerName), tzdag::IsSet(e, M::kServerName));
  EXPECT_EQ(tzdag::GetInt64(a, M::kUvoInstalled), tzdag::GetInt64(e, M::kUvoInstalled));
  EXPECT_EQ(tzdag::IsSet(a, M::kUvoInstalled), tzdag::IsSet(e, M::kUvoInstalled));
}

void ExpectSameList(const CNMessageBase& e, const CNMessageBase& a, const FieldId& f,
                    void (*same)(const CNMessageBase&, const CNMessageBase&)) {
  EXPECT_EQ(tzdag::IsSet(a, f), tzdag::IsSet(e, f));
  const CNMessageList& expected = tzdag::GetList(e, f);
  const CNMessageList& actual = tzdag::GetList(a, f);
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) same(expected[i], actual[i]);
}

void ExpectSameDatabase(const CNMessageBase& e, const CNMessageBase& a) {
  using D = Uvo::DAGDB;
  EXPECT_EQ(a.getTagID(), D::kClassKey);
  for (const FieldId* f : {&D::kDbName, &D::kBackupServer}) {
    EXPECT_EQ(tzdag::GetString(a, *f), tzdag::GetString(e, *f));
    EXPECT_EQ(tzdag::IsSet(a, *f), tzdag::IsSet(e, *f));
  }
  EXPECT_EQ(tzdag::GetStringList(a, D::kCopyServers), tzdag::GetStringList(e, D::kCopyServers));
  EXPECT_EQ(tzdag::IsSet(a, D::kCopyServers), tzdag::IsSet(e, D::kCopyServers));
  EXPECT_EQ(tzdag::GetInt64(a, D::kCircularLogging), tzdag::GetInt64(e, D::kCircularLogging));
  EXPECT_EQ(tzdag::IsSet(a, D::kCircularLogging), tzdag::IsSet(e, D::kCircularLogging));
}

void ExpectSameDag(const CNMessageBase& e, const CNMessageBase& a) {
  EXPECT_EQ(a.getTagID(), Uvo::DAGSetup::kClassKey);
  EXPECT_EQ(tzdag::GetString(a, Uvo::DAGSetup::kDagName),
            tzdag::GetString(e, Uvo::DAGSetup::kDagName));
  ExpectSameList(e, a, Uvo::DAGSetup::kMemberServers, ExpectSameMember);
}

void ExpectSameRecord(const CNMessageBase& e, const CNMessageBase& a) {
  ASSERT_EQ(a.getTagID(), e.getTagID());
  switch (e.getTagID()) {
    case Uvo::DAGDiscoverResp::kClassKey:
      ExpectSameList(e, a, Uvo::DAGDiscoverResp::kDags, ExpectSameDag);
      break;
    case Uvo::DAGMemberServersResp::kClassKey:
      ExpectSameList(e, a, Uvo::DAGMemberServersResp::kMemberServers, ExpectSameMember);
      break;
    case Uvo::DAGDBResp::kClassKey:
      ExpectSameList(e, a, Uvo::DAGDBResp::kDatabases, ExpectSameDatabase);
      break;
    case Uvo::DAGSetup::kClassKey:
      ExpectSameDag(e, a);
      break;
    case Uvo::DAGMemberServer::kClassKey:
      ExpectSameMember(e, a);
      break;
    case Uvo::DAGDB::kClassKey:
      ExpectSameDatabase(e, a);
      break;
    case CNSession::tzsExecuteRemoteCommandType::kClassKey: {
      using R = CNSession::tzsExecuteRemoteCommandType;
      for (const FieldId* f : {&R::kField1, &R::kField4, &R::kField5}) {
        EXPECT_EQ(tzdag::GetInt64(a, *f), tzdag::GetInt64(e, *f));
        EXPECT_EQ(tzdag::IsSet(a, *f), tzdag::IsSet(e, *f));
      }
      for (const FieldId* f : {&R::kExecutable, &R::kArguments}) {
        EXPECT_EQ(tzdag::GetString(a, *f), tzdag::GetString(e, *f));
        EXPECT_EQ(tzdag::IsSet(a, *f), tzdag::IsSet(e, *f));
      }
      break;
    }
    case ProxyErrorMessage::kClassKey:
      EXPECT_EQ(tzdag::GetString(a, ProxyErrorMessage::kErrorText),
                tzdag::GetString(e, ProxyErrorMessage::kErrorText));
      break;
    default:
      ADD_FAILURE() << "no comparison for class key " << e.getTagID();
  }
}

TEST(Records, BuiltRecordsSurviveSerializeAndDecode) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();

  Uvo::DAGSetup dag1;
  dag1.setDagName("DAG01");
  dag1.setMemberServers({Member("MBX01", true), Member("MBX02", false)});
  Uvo::DAGSetup dag2;  // no members found: an empty list that is set
  dag2.setDagName("DAG02");
  dag2.setMemberServers({});
  Uvo::DAGSetup dag3;  // members never looked at: the list stays unset
  dag3.setDagName("DAG03");
  Uvo::DAGDiscoverResp discover;
  discover.setDags({dag1, dag2, dag3});

  Uvo::DAGMemberServer noFlag;  // built without the agent check
  noFlag.setServerName("MBX05");
  Uvo::DAGMemberServersResp members;
  members.setMemberServers({Member("MBX03", true), noFlag, Member("MBX04", false)});

  Uvo::DAGDBResp databases;
  databases.setDatabases({
      Database("First\\DB01", "MBX02", {"MBX01", "MBX02", "MBX03"}, false),
      Database("Second\\<DB> & \"quoted\" 'x'", "N/A", {"MBX03"}, true),
      Database("Third\\DB03", "MBX01", {}, false),
      Database("  blanks\tand\nbreaks\r\n ", "MBX01", {" ", "", "MBX\t01\n"}, false),
      Database("Fourth\\Dатабаза", "MBX01", {"MBX01"}, true),
  });
  Uvo::DAGDBResp noDatabases;
  noDatabases.setDatabases({});
  Uvo::DAGDBResp untouched;

  CNSession::tzsExecuteRemoteCommandType request;
  request.setField1(0);
  request.setExecutable("PshimProxy.exe");
  request.setArguments("-dagNode -dagn DAG01");
  request.setField4(1);
  request.setField5(0);
  CNSession::tzsExecuteRemoteCommandType extremes;
  extremes.setField1(INT64_MIN);
  extremes.setField4(INT64_MAX);
  extremes.setField5(-1);

  ProxyErrorMessage error;
  error.setErrorText("Invalid argument: -x");

  const CNMessageBase* records[] = {&discover,
                                    &dag1,
                                    &members,
                                    &noFlag,
                                    &databases,
                                    &noDatabases,
                                    &untouched,
                                    &request,
                                    &extremes,
                                    &error,
                                    &databases.getDatabases()[1]};
  for (const CNMessageBase* record : records) {
    for (bool pretty : {false, true}) {
      std::string text;
      record->serialize(text, pretty);
      SCOPED_TRACE(text);
      std::unique_ptr<CNMessageBase> decoded;
      tzplatform::DecodeResult result = tzplatform::DecodeMessage(text, decoded);
      ASSERT_TRUE(result.ok) << result.error;
      ExpectSameRecord(*record, *decoded);
      std::string again;
      decoded->serialize(again, pretty);
      EXPECT_EQ(again, text);
    }
  }
}

}  // namespace
