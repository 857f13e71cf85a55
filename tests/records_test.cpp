// The message records on the wire: their identities and field numbers, and
// the XML texts they are read from and written as.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tzdag/records.h>
#include <tzplatform/codec.h>

#include "records_support.h"
#include "temp_dir.h"

namespace {

using tzdag::FieldId;
using Request = CNSession::tzsExecuteRemoteCommandType;

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
      {"tzsExecuteRemoteCommandType", [] { return Request().getTagID(); }, 150995217},
      {"ProxyErrorMessage", [] { return ProxyErrorMessage().getTagID(); }, 16778224},
  };
  for (const auto& identity : identities) {
    EXPECT_EQ(identity.tagOfNew(), identity.classKey) << identity.name;
  }
  // The family is the high byte of the class key.
  EXPECT_EQ(Uvo::DAGDB().getTagID() >> 24, 22u);
  EXPECT_EQ(Request().getTagID() >> 24, 9u);
  EXPECT_EQ(ProxyErrorMessage().getTagID() >> 24, 1u);

  struct Field {
    const char* name;
    const FieldId& id;
    int field, slot;
    uint32_t classKey, fieldKey;
  } fields[] = {
      {"dags", Uvo::DAGDiscoverResp::kDags, 1, 1, 384415715, 1521088},
      {"dagName", Uvo::DAGSetup::kDagName, 1, 1, 372135219, 4562229},
      {"DAGSetup.memberServers", Uvo::DAGSetup::kMemberServers, 2, 5, 372135219, 1622572},
      {"serverName", Uvo::DAGMemberServer::kServerName, 1, 1, 383014663, 2606190},
      {"uvoInstalled", Uvo::DAGMemberServer::kUvoInstalled, 2, 5, 383014663, 14342474},
      {"DAGMemberServersResp.memberServers", Uvo::DAGMemberServersResp::kMemberServers, 1, 1,
       381113404, 1622572},
      {"databases", Uvo::DAGDBResp::kDatabases, 2, 2, 369539416, 2842603},
      {"dbName", Uvo::DAGDB::kDbName, 1, 1, 383573352, 9634460},
      {"backupServer", Uvo::DAGDB::kBackupServer, 2, 5, 383573352, 3366598},
      {"copyServers", Uvo::DAGDB::kCopyServers, 4, 13, 383573352, 4438416},
      {"circularLogging", Uvo::DAGDB::kCircularLogging, 5, 14, 383573352, 16287629},
      {"field 1", Request::kField1, 1, 1, 150995217, 7634917},
      {"executable", Request::kExecutable, 2, 2, 150995217, 7933915},
      {"arguments", Request::kArguments, 3, 6, 150995217, 959324},
      {"field 4", Request::kField4, 4, 10, 150995217, 2090299},
      {"field 5", Request::kField5, 5, 11, 150995217, 9836683},
      {"errorText", ProxyErrorMessage::kErrorText, 2, 2, 16778224, 12053727},
  };
  for (const Field& f : fields) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(f.id.field, f.field);
    EXPECT_EQ(f.id.slot, f.slot);
    EXPECT_EQ(f.id.classKey, f.classKey);
    EXPECT_EQ(f.id.fieldKey, f.fieldKey);
  }
}

TEST(Records, FixedTextsOfEveryKindDecodeIntoTheirFields) {
  struct Case {
    const char* file;
    const char* fields;
  } cases[] = {
      {"DAGDiscoverResp.xml",
       "{dags=[{dagName='DAG01' members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0}]},"
       "{dagName='DAG02' members=[{server='MBX11' uvo=-}]},{dagName='DAG03' members=[]}]}"},
      {"DAGMemberServersResp.xml",
       "{members=[{server='MBX01' uvo=1},{server='mbx02.corp.example' uvo=0}]}"},
      {"DAGDBResp.xml",
       "{databases=[{db='First\\DB01' backup='MBX02' copies=['MBX01','MBX02'] circular=0},"
       "{db='Second\\DB & Archive' backup='N/A' copies=['MBX03'] circular=1}]}"},
      {"DAGSetup.xml", "{dagName='DAG01' members=[{server='MBX01' uvo=1}]}"},
      {"DAGMemberServer.xml", "{server='MBX07' uvo=1}"},
      {"DAGDB.xml", "{db='Third\\DB09' backup='MBX09' copies=[] circular=1}"},
      {"tzsExecuteRemoteCommandType.xml",
       "{f1=0 exe='PshimProxy.exe' args='-dag 0 -ua -cid 2 -hn MBX01' f4=1 f5=0}"},
      {"ProxyErrorMessage.xml", "{error='No DAG named DAG09 was found'}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    std::unique_ptr<CNMessageBase> message =
        tztest::Decode(tztest::ReadFile(std::string(TZ_TEST_DATA_DIR) + "/records/" + c.file));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(tztest::Fields(*message), c.fields);
  }
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

// Built records go to text and back with every field, what was left unset,
// and list order; the text read back writes the same text again.
TEST(Records, BuiltRecordsSurviveSerializeAndDecode) {
  Uvo::DAGSetup dag1;
  dag1.setDagName("DAG01");
  dag1.setMemberServers(
      {tztest::MemberRecord("MBX01", true), tztest::MemberRecord("MBX02", false)});
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
  members.setMemberServers(
      {tztest::MemberRecord("MBX03", true), noFlag, tztest::MemberRecord("MBX04", false)});

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

  Request request;
  request.setField1(0);
  request.setExecutable("PshimProxy.exe");
  request.setArguments("-dagNode -dagn DAG01");
  request.setField4(1);
  request.setField5(0);
  Request extremes;
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
      std::unique_ptr<CNMessageBase> decoded = tztest::Decode(text);
      ASSERT_NE(decoded, nullptr);
      EXPECT_EQ(decoded->getTagID(), record->getTagID());
      EXPECT_EQ(tztest::Fields(*decoded), tztest::Fields(*record));
      std::string again;
      decoded->serialize(again, pretty);
      EXPECT_EQ(again, text);
    }
  }
}

}  // namespace
