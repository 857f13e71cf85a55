// The message records on the wire: their identities and field numbers, and
// the XML texts they are read from and written as.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include <tzdag/records.h>
#include <tzplatform/codec.h>

#include "records_support.h"
#include "temp_dir.h"

namespace {

using Request = CNSession::tzsExecuteRemoteCommandType;

TEST(Records, FieldNumbersAreTheWireOnes) {
  struct Field {
    const tzdag::FieldId& id;
    int field, slot;
    uint32_t classKey, fieldKey;
  } fields[] = {
      {Uvo::DAGDiscoverResp::kDags, 1, 1, 384415715, 1521088},
      {Uvo::DAGSetup::kDagName, 1, 1, 372135219, 4562229},
      {Uvo::DAGSetup::kMemberServers, 2, 5, 372135219, 1622572},
      {Uvo::DAGMemberServer::kServerName, 1, 1, 383014663, 2606190},
      {Uvo::DAGMemberServer::kUvoInstalled, 2, 5, 383014663, 14342474},
      {Uvo::DAGMemberServersResp::kMemberServers, 1, 1, 381113404, 1622572},
      {Uvo::DAGDBResp::kDatabases, 2, 2, 369539416, 2842603},
      {Uvo::DAGDB::kDbName, 1, 1, 383573352, 9634460},
      {Uvo::DAGDB::kBackupServer, 2, 5, 383573352, 3366598},
      {Uvo::DAGDB::kCopyServers, 4, 13, 383573352, 4438416},
      {Uvo::DAGDB::kCircularLogging, 5, 14, 383573352, 16287629},
      {Request::kField1, 1, 1, 150995217, 7634917},
      {Request::kExecutable, 2, 2, 150995217, 7933915},
      {Request::kArguments, 3, 6, 150995217, 959324},
      {Request::kField4, 4, 10, 150995217, 2090299},
      {Request::kField5, 5, 11, 150995217, 9836683},
      {ProxyErrorMessage::kErrorText, 2, 2, 16778224, 12053727},
  };
  for (const Field& f : fields) {
    SCOPED_TRACE(f.fieldKey);
    EXPECT_EQ(f.id.field, f.field);
    EXPECT_EQ(f.id.slot, f.slot);
    EXPECT_EQ(f.id.classKey, f.classKey);
    EXPECT_EQ(f.id.fieldKey, f.fieldKey);
  }
  EXPECT_EQ(Uvo::DAGDB().getTagID(), 383573352u);
  EXPECT_EQ(Request().getTagID(), 150995217u);
}

TEST(Records, FixedTextsOfEveryKindDecodeIntoTheirFields) {
  struct Case {
    const char* kind;
    uint32_t classKey;
    const char* fields;
  } cases[] = {
      {"DAGDiscoverResp", 384415715,
       "{dags=[{dagName='DAG01' members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0}]},"
       "{dagName='DAG02' members=[{server='MBX11' uvo=-}]},{dagName='DAG03' members=[]}]}"},
      {"DAGMemberServersResp", 381113404,
       "{members=[{server='MBX01' uvo=1},{server='mbx02.corp.example' uvo=0}]}"},
      {"DAGDBResp", 369539416,
       "{databases=[{db='First\\DB01' backup='MBX02' copies=['MBX01','MBX02'] circular=0},"
       "{db='Second\\DB & Archive' backup='N/A' copies=['MBX03'] circular=1}]}"},
      {"DAGSetup", 372135219, "{dagName='DAG01' members=[{server='MBX01' uvo=1}]}"},
      {"DAGMemberServer", 383014663, "{server='MBX07' uvo=1}"},
      {"DAGDB", 383573352, "{db='Third\\DB09' backup='MBX09' copies=[] circular=1}"},
      {"tzsExecuteRemoteCommandType", 150995217,
       "{f1=0 exe='PshimProxy.exe' args='-dag 0 -ua -cid 2 -hn MBX01' f4=1 f5=0}"},
      {"ProxyErrorMessage", 16778224, "{error='No DAG named DAG09 was found'}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::unique_ptr<CNMessageBase> message = tztest::Decode(
        tztest::ReadFile(std::string(TZ_TEST_DATA_DIR) + "/records/" + c.kind + ".xml"));
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(message->getTagID(), c.classKey);
    EXPECT_EQ(tztest::Fields(*message), c.fields);
  }
}

}  // namespace
