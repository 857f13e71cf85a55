// Narrowing of database answers: by the DAG client's selected member servers
// and by one subclient's content, against a real store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db_answers.h"
#include "log_lines.h"
#include "records_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"

namespace {

using tzplatform::LogCapture;
using tztest::DbRespFromXml;
using tztest::DbRow;
using tztest::DbRows;

std::string Db(const std::string& name, const std::string& backup,
               const std::vector<std::string>& copies, const std::string& extra = "") {
  std::string xml =
      "<databases dbName=\"" + name + "\" backupServer=\"" + backup + "\"" + extra + ">";
  for (const std::string& copy : copies) xml += "<copyServers>" + copy + "</copyServers>";
  return xml + "</databases>";
}

std::string Answer(const std::vector<std::string>& databases) {
  std::string xml = "<DAGDBResp>";
  for (const std::string& db : databases) xml += db;
  return xml + "</DAGDBResp>";
}

class FilterTest : public ::testing::Test {
 protected:
  FilterTest() : env_(tztest::DbDiscoveryFixture()) {}
  tztest::TestEnv env_;
};

// Client 21 selects MBX01, mbx03 and MBX04 (spelled so in its configuration);
// MBX02 is a member server it does not select.
TEST_F(FilterTest, ClientFilterNarrowsCopiesAndChoosesBackupServers) {
  Uvo::DAGDBResp resp = DbRespFromXml(Answer({
      Db("A\\DB1", "MBX02", {"MBX01", "MBX02", "MBX03"}),  // backup unselected: first kept
      Db("A\\DB2", "MBX02", {"MBX02"}),                    // no selected copy: dropped
      Db("A\\DB3", "N/A", {"MBX03", "MBX01"}),             // the tool's marker stays
      Db("A\\DB4", "n/a", {"MBX03", "MBX01"}),             // just a name: first kept
      Db("A\\DB5", "mbx04", {"MBX01"}),                    // selected though no copy there
      Db("A\\DB6", "mbx01", {"mbx01"}),                    // the tool's letter case stays
      Db("A\\DB7", "MBX01", {"MBX01", "MBX01", "MBX02"}, " circularLogging=\"5\""),
      Db("A\\DB8", "MBX02", {"MBX02", "MBX03", "MBX01"}, " circularLogging=\"1\""),
  }));

  LogCapture capture;
  ASSERT_TRUE(FilterResponceForClient(21, resp));
  EXPECT_EQ(DbRows(resp), (std::vector<DbRow>{
                              {"A\\DB1", "MBX01", {"MBX01", "MBX03"}, 0},
                              {"A\\DB3", "N/A", {"MBX03", "MBX01"}, 0},
                              {"A\\DB4", "MBX03", {"MBX03", "MBX01"}, 0},
                              {"A\\DB5", "mbx04", {"MBX01"}, 0},
                              {"A\\DB6", "mbx01", {"mbx01"}, 0},
                              {"A\\DB7", "MBX01", {"MBX01", "MBX01"}, 1},
                              {"A\\DB8", "MBX03", {"MBX03", "MBX01"}, 1},
                          }));
  EXPECT_TRUE(capture.Texts().empty());
}

TEST_F(FilterTest, ClientFilterBuildsFreshRecordsOfFourFields) {
  Uvo::DAGDBResp resp = DbRespFromXml(Answer({
      Db("A\\DB1", "MBX01", {"MBX01"}, " circularLogging=\"0\" mountedOn=\"MBX01\""),
  }));
  ASSERT_NE(tztest::DbXml(resp, 0).find("mountedOn"), std::string::npos);

  ASSERT_TRUE(FilterResponceForClient(21, resp));
  std::string xml = tztest::DbXml(resp, 0);
  EXPECT_EQ(xml.find("mountedOn"), std::string::npos) << xml;
  const CNMessageBase& db = resp.getDatabases().at(0);
  for (const tzdag::FieldId& field : {Uvo::DAGDB::kDbName, Uvo::DAGDB::kBackupServer,
                                      Uvo::DAGDB::kCopyServers, Uvo::DAGDB::kCircularLogging}) {
    EXPECT_TRUE(tzdag::IsSet(db, field)) << field.fieldKey;
  }
}

TEST_F(FilterTest, ClientFilterWithNothingLeftOrNothingSelected) {
  // Nothing survives: an empty list that is set.
  for (const std::string& xml : {Answer({}), Answer({Db("A\\DB2", "MBX02", {"MBX02"})})}) {
    Uvo::DAGDBResp resp = DbRespFromXml(xml);
    ASSERT_TRUE(FilterResponceForClient(21, resp)) << xml;
    EXPECT_TRUE(DbRows(resp).empty()) << xml;
    EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases)) << xml;
  }
  // Client 22 selects nothing; 99 is not a client at all: the answer stays.
  for (uint32_t clientId : {22u, 99u}) {
    Uvo::DAGDBResp resp = DbRespFromXml(Answer({Db("A\\DB1", "MBX01", {"MBX01", "MBX02"})}));
    LogCapture capture;
    EXPECT_FALSE(FilterResponceForClient(clientId, resp));
    EXPECT_EQ(DbRows(resp), (std::vector<DbRow>{{"A\\DB1", "MBX01", {"MBX01", "MBX02"}, 0}}));
    EXPECT_EQ(capture.Texts().back(),
              "[FilterResponceForClient]: No member servers found for this DAG client");
  }
}

// Backup set 7 of client 2: default 10 (content Own\DB90), custom 11
// (First\DB01), custom 12 (first\db02, Archive\DB05), deleted 13
// (First\DB03), custom 14 (nothing).
TEST_F(FilterTest, SubclientFilterKeepsWhatTheSubclientProtects) {
  struct Case {
    uint32_t appId;
    std::vector<std::string> answer;
    std::vector<std::string> kept;
  };
  const std::vector<std::string> names = {"First\\DB01",  "FIRST\\DB02", "First\\DB03",
                                          "Own\\DB90",    "first\\db01", "First\\DB01 ",
                                          "Archive\\DB05"};
  const Case cases[] = {
      // Default: everything no live custom subclient names, in any letter
      // case; its own content is not consulted, the deleted one's ignored.
      {10, names, {"First\\DB03", "Own\\DB90", "First\\DB01 "}},
      {11, names, {"First\\DB01", "first\\db01"}},
      {12, names, {"FIRST\\DB02", "Archive\\DB05"}},
      {14, names, {}},
      {10, {}, {}},
      {11, {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> dbs;
    for (const std::string& name : c.answer) dbs.push_back(Db(name, "MBX01", {"MBX01"}));
    Uvo::DAGDBResp resp = DbRespFromXml(Answer(dbs));
    ASSERT_TRUE(FilterResponceForSubClient(1, c.appId, resp)) << c.appId;
    std::vector<std::string> kept;
    for (const DbRow& row : DbRows(resp)) kept.push_back(row.dbName);
    EXPECT_EQ(kept, c.kept) << c.appId;
    EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
  }
}

TEST_F(FilterTest, SubclientFilterKeepsWholeRecords) {
  const std::string record =
      Db("First\\DB01", "n/a", {"MBX09", "mbx01"}, " circularLogging=\"5\" mountedOn=\"MBX09\"");
  Uvo::DAGDBResp resp = DbRespFromXml(Answer({record}));
  std::string before = tztest::DbXml(resp, 0);

  ASSERT_TRUE(FilterResponceForSubClient(1, 11, resp));
  ASSERT_EQ(resp.getDatabases().size(), 1u);
  EXPECT_EQ(tztest::DbXml(resp, 0), before);
  EXPECT_NE(before.find("mountedOn=\"MBX09\""), std::string::npos) << before;
  EXPECT_EQ(DbRows(resp)[0].circularLogging, 5);
}

TEST_F(FilterTest, SubclientListsSeparateDefaultAndCustomContent) {
  std::vector<std::string> defaults = {"left over"};
  std::vector<std::string> customs = {"left over"};
  LogCapture capture;
  ASSERT_TRUE(GetSubclientsDbList(1, 11, defaults, customs));
  EXPECT_EQ(defaults, std::vector<std::string>{"Own\\DB90"});
  EXPECT_EQ(customs, (std::vector<std::string>{"First\\DB01", "first\\db02", "Archive\\DB05"}));
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{
                                 "Found the default Subclient.",
                                 "Found the default Subclient.",
                                 "[GetSubclientsDbList]: *** FOUND A DELETED SUBCLIENT ***",
                             }));
}

TEST_F(FilterTest, SubclientContentIsAppendedWithItsKind) {
  struct Case {
    uint32_t appId;
    bool isDefault;
    std::vector<std::string> content;
    std::vector<std::string> lines;
  };
  const std::string path = "[GetSubclientContent]: Get database path from content tab: ";
  // clang-format off
  const Case cases[] = {
      {12, false, {"kept", "first\\db02", "Archive\\DB05"},
       {"Description: first; StoreName: db02", path + "first\\db02",
        "Description: Archive; StoreName: DB05", path + "Archive\\DB05",
        "[GetSubclientContent]: This is from custom subclient"}},
      {10, true, {"kept", "Own\\DB90"},
       {"Description: Own; StoreName: DB90", path + "Own\\DB90",
        "[GetSubclientContent]: This is from default subclient"}},
      {14, false, {"kept"}, {"[GetSubclientContent]: This is from custom subclient"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    bool isDefault = !c.isDefault;
    std::vector<std::string> content = {"kept"};
    LogCapture capture;
    ASSERT_TRUE(GetSubclientContent(1, c.appId, isDefault, content)) << c.appId;
    EXPECT_EQ(isDefault, c.isDefault) << c.appId;
    EXPECT_EQ(content, c.content) << c.appId;
    EXPECT_EQ(capture.Texts(), c.lines) << c.appId;
  }
}

// Every failure leaves two lines (the gathering operation's and the
// filter's) and the answer as it was.
TEST_F(FilterTest, SubclientFilterFailuresLeaveTheAnswerUnchanged) {
  struct Case {
    uint32_t appId;
    const char* call;  // fault hook, or null
    const char* key;
    bool throws;
    std::string line;  // the gathering operation's line; "*" stands for any text
  };
  const std::string list = "[GetSubclientsDbList]: ";
  const std::string content = "[GetSubclientContent]: ";
  const std::string exception =
      "GetSubclientsDbListGetSubclientsDbList: Exception in comparing with all sublicents";
  // clang-format off
  const Case cases[] = {
      {30, nullptr, "", false, list + "Could not find the default subclient."},
      {99, nullptr, "", false, list + "getApplicationId() failed with error '*'."},
      {11, "ApplicationId::getApplicationId", "11", false,
       list + "getApplicationId() failed with error '*'."},
      {11, "ClientApplicationList::getSubclientList", "53/7", false,
       list + "Error getting subclient list for appType[53] backupSet[7]."},
      {11, "Subclient::isDefaultSubclient", "10", false,
       list + "MsExchange2000Subclient::isDefaultSubclient() failed with error '7'."},
      {11, "Subclient::isDeleted", "12", false,
       list + "MsExchange2000Subclient::isDeleted() failed with error '7'."},
      {11, "ApplProperties::getProperties", "12", false,
       list + "MsExchange2000Subclient::getProperties() failed with error '7'."},
      {11, "ApplProperties::getProperties", "12", true, exception},
      {11, "Subclient::isDefaultSubclient", "14", true, exception},
      {11, "ApplicationId::getSubclient", "11", false, content + "Failed to get subclient"},
      // Subclient 13 is deleted, so only its own content read reaches it.
      {13, "ApplProperties::getProperties", "13", false,
       content + "Subclient configuration lookup failed with error [7]."},
      {13, "Subclient::isDefaultSubclient", "13", false,
       content + "Check subclient is default or not failed with error [7]."},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    tzplatform::FaultInjector faults;
    if (c.call != nullptr && c.throws) faults.Throw(c.call, c.key);
    if (c.call != nullptr && !c.throws) faults.Fail(c.call, c.key, 7);
    Uvo::DAGDBResp resp = DbRespFromXml(
        Answer({Db("First\\DB01", "MBX01", {"MBX01"}), Db("Other\\DB77", "MBX01", {"MBX01"})}));
    const std::string before = tztest::Xml(resp);
    LogCapture capture;
    EXPECT_FALSE(FilterResponceForSubClient(1, c.appId, resp));
    EXPECT_EQ(tztest::Xml(resp), before);

    EXPECT_TRUE(tztest::LinesEndWith(
        capture.Texts(),
        {c.line, c.line.rfind(content, 0) == 0
                     ? "[FilterResponceForSubClient]: GetSubclientContent failed"
                     : "[FilterResponceForSubClient]: GetSubclientsDbList failed"}));
  }
}

}  // namespace
