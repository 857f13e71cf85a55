// Narrowing of database answers: by the DAG client's selected member servers
// and by one subclient's content, against a real store.

#include "db_answers.h"
#include "log_lines.h"
#include "records_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"

namespace {

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
  return tztest::DbRespFromXml(xml + "</DAGDBResp>");
}

class FilterTest : public ::testing::Test {
 protected:
  FilterTest() : env_(tztest::DbDiscoveryFixture()) {}
  tztest::TestEnv env_;
};

// Client 21 selects MBX01, mbx03 and MBX04 (spelled so in its configuration);
// MBX02 is a member server it does not select.
// tests/data/filters.json holds the answer (and what each database's
// record shows: an unselected backup server gives way to the first kept
// copy, a database without a selected copy goes, the tool's N/A marker and
// letter case stay, a fresh record has four fields).
TEST_F(FilterTest, ClientFilterNarrowsCopiesAndChoosesBackupServers) {
  Texts records;
  for (const auto& d : tztest::TestData("filters.json", "clientAnswer"))
    records.push_back(Db(d[0], d[1], d[2], d[3]));
  Uvo::DAGDBResp resp = Answer(records);
  tzplatform::LogCapture capture;
  ASSERT_TRUE(FilterResponceForClient(21, resp));
  EXPECT_EQ(tztest::DbRows(resp), tztest::TestData("filters.json", "clientRows").get<Texts>());
  EXPECT_EQ(
      tztest::Xml(resp.getDatabases()[0]),
      "<DAGDB dbName=\"A\\DB1\" backupServer=\"MBX01\" circularLogging=\"0\"><copyServers>MBX01"
      "</copyServers><copyServers>MBX03</copyServers></DAGDB>");
  EXPECT_EQ(capture.Texts(), Texts());

  // Nothing survives: an empty list that is set.
  resp = Answer({Db("A\\DB2", "MBX02", {"MBX02"})});
  ASSERT_TRUE(FilterResponceForClient(21, resp));
  EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
  EXPECT_EQ(tztest::DbRows(resp), Texts());

  // Client 22 selects nothing; 99 is not a client at all: the answer stays.
  for (uint32_t clientId : {22u, 99u}) {
    resp = Answer({Db("A\\DB1", "MBX01", {"MBX01", "MBX02"})});
    capture.Clear();
    EXPECT_FALSE(FilterResponceForClient(clientId, resp));
    EXPECT_EQ(tztest::DbRows(resp), Texts{"A\\DB1 MBX01 [MBX01,MBX02] 0"});
    EXPECT_EQ(capture.Texts().back(),
              "[FilterResponceForClient]: No member servers found for this DAG client");
  }
}

// Backup set 7 of client 2: default 10 (content Own\DB90), custom 11
// (First\DB01), custom 12 (first\db02, Archive\DB05), deleted 13
// (First\DB03), custom 14 (nothing). The lines: the backup set's walk, then
// the subclient's own content.
TEST_F(FilterTest, SubclientFilterKeepsWhatTheSubclientProtectsWhole) {
  // Default (10): everything no live custom subclient names, in any letter
  // case; its own content is not consulted, the deleted one's ignored.
  const Texts names = tztest::TestData("filters.json", "subclientNames");
  for (const nlohmann::json& c : tztest::TestData("filters.json", "subclientCases")) {
    SCOPED_TRACE(c["app"].dump());
    Texts records;
    for (const std::string& name : names)
      records.push_back(Db(name, "n/a", {"MBX09"}, " circularLogging=\"5\" mountedOn=\"MBX09\""));
    Uvo::DAGDBResp resp = Answer(records);
    std::map<std::string, std::string> whole;  // each record as the tool sent it
    for (size_t i = 0; i < names.size(); ++i) whole[names[i]] = tztest::Xml(resp.getDatabases()[i]);

    tzplatform::LogCapture capture;
    ASSERT_TRUE(FilterResponceForSubClient(1, c["app"], resp));
    Texts got;
    for (const CNMessageBase& db : resp.getDatabases()) {
      got.push_back(tzdag::GetString(db, Uvo::DAGDB::kDbName));
      EXPECT_EQ(tztest::Xml(db), whole[got.back()]);
    }
    EXPECT_EQ(got, c["kept"].get<Texts>());
    EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
    Texts lines = {"Found the default Subclient.", "Found the default Subclient.",
                   "[GetSubclientsDbList]: *** FOUND A DELETED SUBCLIENT ***"};
    for (const auto& line : c["lines"]) lines.push_back(line);
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
  // tests/data/filters.json holds the cases.
  for (const nlohmann::json& c : tztest::TestData("filters.json", "subclientFailures")) {
    const std::string line = c["line"];
    SCOPED_TRACE(line);
    tzplatform::FaultInjector faults;
    if (c.contains("fail")) faults.Fail(c["fail"][0], c["fail"][1], 7, 1, c.value("skip", 0));
    if (c.contains("throw")) faults.Throw(c["throw"][0], c["throw"][1]);
    Uvo::DAGDBResp resp =
        Answer({Db("First\\DB01", "MBX01", {"MBX01"}), Db("Other\\DB77", "MBX01", {"MBX01"})});
    const std::string before = tztest::Xml(resp);
    tzplatform::LogCapture capture;
    EXPECT_FALSE(FilterResponceForSubClient(1, c["app"], resp));
    EXPECT_EQ(tztest::Xml(resp), before);
    EXPECT_TRUE(tztest::LinesEndWith(
        capture.Texts(), {line, line.rfind("[GetSubclientContent]: ", 0) == 0
                                    ? "[FilterResponceForSubClient]: GetSubclientContent failed"
                                    : "[FilterResponceForSubClient]: GetSubclientsDbList failed"}));
  }
}

}  // namespace
