// Narrowing of database answers: by the DAG client's selected member servers
// and by one subclient's content, against a real store.
#include <gtest/gtest.h>

#include <map>
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
using tztest::DbRows;
using Texts = std::vector<std::string>;

std::string Db(const std::string& name, const std::string& backup, const Texts& copies,
               const std::string& extra = "") {
  std::string xml =
      "<databases dbName=\"" + name + "\" backupServer=\"" + backup + "\"" + extra + ">";
  for (const std::string& copy : copies) xml += "<copyServers>" + copy + "</copyServers>";
  return xml + "</databases>";
}

Uvo::DAGDBResp Answer(const Texts& databases) {
  std::string xml = "<DAGDBResp>";
  for (const std::string& db : databases) xml += db;
  return DbRespFromXml(xml + "</DAGDBResp>");
}

class FilterTest : public ::testing::Test {
 protected:
  FilterTest() : env_(tztest::DbDiscoveryFixture()) {}
  tztest::TestEnv env_;
};

// Client 21 selects MBX01, mbx03 and MBX04 (spelled so in its configuration);
// MBX02 is a member server it does not select.
TEST_F(FilterTest, ClientFilterNarrowsCopiesAndChoosesBackupServers) {
  Uvo::DAGDBResp resp = Answer({
      // backup unselected: the first kept copy; a fresh record of four fields
      Db("A\\DB1", "MBX02", {"MBX01", "MBX02", "MBX03"}, " mountedOn=\"MBX01\""),
      Db("A\\DB2", "MBX02", {"MBX02"}),         // no selected copy: dropped
      Db("A\\DB3", "N/A", {"MBX03", "MBX01"}),  // the tool's marker stays
      Db("A\\DB4", "n/a", {"MBX03", "MBX01"}),  // just a name: first kept
      Db("A\\DB5", "mbx04", {"MBX01"}),         // selected though no copy there
      Db("A\\DB6", "mbx01", {"mbx01"}),         // the tool's letter case stays
      Db("A\\DB7", "MBX01", {"MBX01", "MBX01", "MBX02"}, " circularLogging=\"5\""),
      Db("A\\DB8", "MBX02", {"MBX02", "MBX03", "MBX01"}, " circularLogging=\"1\""),
  });
  LogCapture capture;
  ASSERT_TRUE(FilterResponceForClient(21, resp));
  EXPECT_EQ(DbRows(resp), (Texts{"A\\DB1 MBX01 [MBX01,MBX03] 0", "A\\DB3 N/A [MBX03,MBX01] 0",
                                 "A\\DB4 MBX03 [MBX03,MBX01] 0", "A\\DB5 mbx04 [MBX01] 0",
                                 "A\\DB6 mbx01 [mbx01] 0", "A\\DB7 MBX01 [MBX01,MBX01] 1",
                                 "A\\DB8 MBX03 [MBX03,MBX01] 1"}));
  EXPECT_EQ(
      tztest::Xml(resp.getDatabases()[0]),
      "<DAGDB dbName=\"A\\DB1\" backupServer=\"MBX01\" circularLogging=\"0\"><copyServers>MBX01"
      "</copyServers><copyServers>MBX03</copyServers></DAGDB>");
  EXPECT_EQ(capture.Texts(), Texts());

  // Nothing survives: an empty list that is set.
  resp = Answer({Db("A\\DB2", "MBX02", {"MBX02"})});
  ASSERT_TRUE(FilterResponceForClient(21, resp));
  EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
  EXPECT_EQ(DbRows(resp), Texts());

  // Client 22 selects nothing; 99 is not a client at all: the answer stays.
  for (uint32_t clientId : {22u, 99u}) {
    resp = Answer({Db("A\\DB1", "MBX01", {"MBX01", "MBX02"})});
    capture.Clear();
    EXPECT_FALSE(FilterResponceForClient(clientId, resp));
    EXPECT_EQ(DbRows(resp), Texts{"A\\DB1 MBX01 [MBX01,MBX02] 0"});
    EXPECT_EQ(capture.Texts().back(),
              "[FilterResponceForClient]: No member servers found for this DAG client");
  }
}

// Backup set 7 of client 2: default 10 (content Own\DB90), custom 11
// (First\DB01), custom 12 (first\db02, Archive\DB05), deleted 13
// (First\DB03), custom 14 (nothing). The lines: the backup set's walk, then
// the subclient's own content.
TEST_F(FilterTest, SubclientFilterKeepsWhatTheSubclientProtectsWhole) {
  const Texts names = {"First\\DB01", "FIRST\\DB02",  "First\\DB03",  "Own\\DB90",
                       "first\\db01", "First\\DB01 ", "Archive\\DB05"};
  const std::string content = "[GetSubclientContent]: ",
                    path = content + "Get database path from content tab: ";
  const std::string custom = content + "This is from custom subclient";
  struct Case {
    uint32_t appId;
    Texts kept, lines;
  };
  // clang-format off
  const Case cases[] = {
      // Default: everything no live custom subclient names, in any letter
      // case; its own content is not consulted, the deleted one's ignored.
      {10, {"First\\DB03", "Own\\DB90", "First\\DB01 "},
       {"Description: Own; StoreName: DB90", path + "Own\\DB90", content + "This is from default subclient"}},
      {11, {"First\\DB01", "first\\db01"},
       {"Description: First; StoreName: DB01", path + "First\\DB01", custom}},
      {12, {"FIRST\\DB02", "Archive\\DB05"},
       {"Description: first; StoreName: db02", path + "first\\db02",
        "Description: Archive; StoreName: DB05", path + "Archive\\DB05", custom}},
      {14, {}, {custom}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.appId);
    Texts records;
    for (const std::string& name : names) {
      records.push_back(Db(name, "n/a", {"MBX09"}, " circularLogging=\"5\" mountedOn=\"MBX09\""));
    }
    Uvo::DAGDBResp resp = Answer(records);
    std::map<std::string, std::string> whole;  // each record as the tool sent it
    for (size_t i = 0; i < names.size(); ++i) whole[names[i]] = tztest::Xml(resp.getDatabases()[i]);

    LogCapture capture;
    ASSERT_TRUE(FilterResponceForSubClient(1, c.appId, resp));
    Texts got;
    for (const CNMessageBase& db : resp.getDatabases()) {
      got.push_back(tzdag::GetString(db, Uvo::DAGDB::kDbName));
      EXPECT_EQ(tztest::Xml(db), whole[got.back()]);
    }
    EXPECT_EQ(got, c.kept);
    EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
    Texts lines = {"Found the default Subclient.", "Found the default Subclient.",
                   "[GetSubclientsDbList]: *** FOUND A DELETED SUBCLIENT ***"};
    lines.insert(lines.end(), c.lines.begin(), c.lines.end());
    EXPECT_EQ(capture.Texts(), lines);
  }
  // Called alone, the list operation replaces what its lists held, the
  // content operation adds to its list, and both set the flag.
  Texts defaults = {"left over"}, customs = {"left over"}, own = {"kept"};
  ASSERT_TRUE(GetSubclientsDbList(1, 11, defaults, customs));
  EXPECT_EQ(defaults, Texts{"Own\\DB90"});
  EXPECT_EQ(customs, (Texts{"First\\DB01", "first\\db02", "Archive\\DB05"}));
  bool isDefault = true;
  ASSERT_TRUE(GetSubclientContent(1, 14, isDefault, own));
  EXPECT_FALSE(isDefault);
  EXPECT_EQ(own, Texts{"kept"});
  isDefault = false;
  ASSERT_TRUE(GetSubclientContent(1, 10, isDefault, own));
  EXPECT_TRUE(isDefault);
  EXPECT_EQ(own, (Texts{"kept", "Own\\DB90"}));
}

// Every failure leaves two lines (the gathering operation's and the
// filter's) and the answer as it was.
TEST_F(FilterTest, SubclientFilterFailuresLeaveTheAnswerUnchanged) {
  const std::string content = "[GetSubclientContent]: ";
  // tests/data/filters.json holds the cases.
  for (const nlohmann::json& c : tztest::TestData("filters.json", "subclientFailures")) {
    const std::string line = c["line"];
    SCOPED_TRACE(line);
    tzplatform::FaultInjector faults;
    if (c.contains("fail")) faults.Fail(c["fail"][0], c["fail"][1], 7);
    if (c.contains("throw")) faults.Throw(c["throw"][0], c["throw"][1]);
    Uvo::DAGDBResp resp =
        Answer({Db("First\\DB01", "MBX01", {"MBX01"}), Db("Other\\DB77", "MBX01", {"MBX01"})});
    const std::string before = tztest::Xml(resp);
    LogCapture capture;
    EXPECT_FALSE(FilterResponceForSubClient(1, c["app"], resp));
    EXPECT_EQ(tztest::Xml(resp), before);
    EXPECT_TRUE(tztest::LinesEndWith(
        capture.Texts(), {line, line.rfind(content, 0) == 0
                                    ? "[FilterResponceForSubClient]: GetSubclientContent failed"
                                    : "[FilterResponceForSubClient]: GetSubclientsDbList failed"}));
  }
}

}  // namespace
