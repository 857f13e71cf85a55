// The message records on the wire: their identities and field numbers.

#include <gtest/gtest.h>

#include <tzdag/records.h>

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
    EXPECT_EQ(std::tie(f.id.field, f.id.slot, f.id.classKey, f.id.fieldKey),
              std::tie(f.field, f.slot, f.classKey, f.fieldKey));
  }
  EXPECT_EQ(Uvo::DAGDB().getTagID(), 383573352u);
  EXPECT_EQ(Request().getTagID(), 150995217u);
}

}  // namespace
