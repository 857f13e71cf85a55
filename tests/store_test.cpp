// The configuration store through the platform classes the library uses.
#include <sqlite3.h>
#include <unistd.h>

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "store_support.h"
#include "temp_dir.h"
#include "tzplatform/ApplicationId.h"
#include "tzplatform/ClientApplicationList.h"
#include "tzplatform/EvEvent.h"
#include "tzplatform/Subclient.h"
#include "tzplatform/TZClient.h"
#include "tzplatform/TZInstalledPackages.h"
#include "tzplatform/faults.h"
#include "tzplatform/fixture.h"
#include "tzplatform/log.h"
#include "tzplatform/store.h"

namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using tztest::SubclientProperties;

const json kStore = json::parse(R"({
  "clients": [
    {"id": 2, "name": "DAG01", "host": "dag01.corp.example",
     "memberServers": [
       {"name": "MBX01", "selected": true, "agentInstalled": true},
       {"kind": "other", "type": 200, "name": "note", "value": "kept as is"},
       {"name": "MBX02", "selected": false, "agentInstalled": true}
     ]},
    {"id": 3, "name": "MBX01", "host": "mbx01.corp.example", "release": 16,
     "dagAssociated": true, "packages": [151, 7]},
    {"id": 4, "name": "MBX02"}
  ],
  "subclients": [
    {"orbalId": 1, "appId": 10, "clientId": 2, "appType": 53, "backupSet": 7, "name": "default",
     "default": true, "automatic": true, "backupFromPassive": true,
     "useActiveIfNoPassive": false, "useLastActivationPreference": true,
     "content": [{"description": "First", "storeName": "DB01"},
                 {"description": "First", "storeName": "DB01", "forceFull": true}],
     "associations": [{"database": "First\\DB01", "server": "MBX01"}],
     "properties": [{"type": 300, "name": "opaque", "value": "a=1;b=2"}]},
    {"orbalId": 1, "appId": 12, "clientId": 2, "appType": 53, "backupSet": 8, "name": "other set"},
    {"orbalId": 1, "appId": 11, "clientId": 2, "appType": 53, "backupSet": 7, "name": "old",
     "deleted": true},
    {"orbalId": 5, "appId": 20, "clientId": 3, "appType": 53, "backupSet": 7, "name": "elsewhere"}
  ]
})");

class StoreTest : public ::testing::Test {
 protected:
  tztest::TempDir dir_;
  std::string path_ = tztest::MakeStore(dir_, kStore);
  tztest::UseStore use_{path_};
};

const int kZero = 0;

ExchangeDBProperty Content(const std::string& storeName, const std::string& description) {
  return ExchangeDBProperty(storeName, description, true, no_value_prop, no_value_prop, kZero);
}

TEST_F(StoreTest, FixturePropertiesComeBackInStoreOrderWithEveryField) {
  EXPECT_THAT(tztest::ClientPropertyLines(2),
              ElementsAre("125 MBX01 selected=1 agent=1", "200 note value=kept as is",
                          "125 MBX02 selected=0 agent=1"));
  EXPECT_THAT(SubclientProperties(10),
              ElementsAre("112 exdb-1 store=DB01 description=First forceFull=0",
                          "112 exdb-2 store=DB01 description=First forceFull=1",
                          "126 First\\DB010x12 server=MBX01", "300 opaque value=a=1;b=2"));
  EXPECT_THAT(SubclientProperties(12), ElementsAre());
  // Unknown owners fail instead of looking empty.
  EXPECT_THAT(SubclientProperties(99), ElementsAre("status 2"));
  EXPECT_THAT(tztest::ClientPropertyLines(99), ElementsAre("status 2"));
}

TEST_F(StoreTest, AddedPropertiesAreAppendedInOrderAndContentGetsNewNames) {
  MsExchangeSubclient subclient(12, false);
  PropertiesList added;
  ExchangeDBProperty second = Content("DB02", "Second");
  second.setForceFullOnNextBackup(true);
  added.addToPropList(Content("DB03", "Second"));
  added.addToPropList(DAGDBProperty("Second\\DB03", "MBX02"));
  added.addToPropList(ApplProperty(201, "free", "text with spaces"));
  added.addToPropList(second);
  ASSERT_EQ(subclient.addProperties(added, 0, 0), 0);
  // The caller's entries carry the names they were stored under.
  EXPECT_THAT(tztest::Describe(added),
              ElementsAre("112 exdb-3 store=DB03 description=Second forceFull=0",
                          "126 Second\\DB03 server=MBX02", "201 free value=text with spaces",
                          "112 exdb-4 store=DB02 description=Second forceFull=1"));
  EXPECT_EQ(SubclientProperties(12), tztest::Describe(added));

  PropertiesList more;
  more.addToPropList(Content("DB01", "First"));
  ASSERT_EQ(subclient.addProperties(more, 0, 0), 0);
  std::vector<std::string> after = SubclientProperties(12);
  ASSERT_EQ(after.size(), 5u);
  EXPECT_EQ(after.back(), "112 exdb-5 store=DB01 description=First forceFull=0");

  // A list holding an entry the store cannot take writes nothing at all.
  PropertiesList bad;
  bad.addToPropList(Content("DB07", "Seventh"));
  bad.addToPropList(ApplProperty(ExchangeDBProperty::kType, "plain", "not a content entry"));
  EXPECT_NE(subclient.addProperties(bad, 0, 0), 0);
  EXPECT_EQ(SubclientProperties(12), after);

  MsExchangeSubclient unknown(99, false);
  EXPECT_NE(unknown.addProperties(more, 0, 0), 0);
}

TEST_F(StoreTest, DeleteByNameRemovesExactlyThatOwnersEntriesOfThatName) {
  MsExchangeSubclient subclient(10, false);
  // Two entries for the same database path: deleting one keeps the other.
  ASSERT_EQ(subclient.deleteProperty("exdb-1", 0, 0), 0);
  EXPECT_THAT(SubclientProperties(10),
              ElementsAre("112 exdb-2 store=DB01 description=First forceFull=1",
                          "126 First\\DB010x12 server=MBX01", "300 opaque value=a=1;b=2"));
  // A name that is not there is not an error and changes nothing.
  EXPECT_EQ(subclient.deleteProperty("exdb-1", 0, 0), 0);
  EXPECT_EQ(subclient.deleteProperty("First\\DB010x12", 0, 0), 0);
  EXPECT_THAT(SubclientProperties(10),
              ElementsAre("112 exdb-2 store=DB01 description=First forceFull=1",
                          "300 opaque value=a=1;b=2"));
  // Another owner's entries are not touched.
  ClientProperties dag(2);
  EXPECT_EQ(dag.deleteProperty("exdb-2", 0, 0), 0);
  EXPECT_EQ(SubclientProperties(10).size(), 2u);
  EXPECT_EQ(dag.deleteProperty("MBX02", 0, 0), 0);
  EXPECT_THAT(tztest::ClientPropertyLines(2),
              ElementsAre("125 MBX01 selected=1 agent=1", "200 note value=kept as is"));

  MsExchangeSubclient unknown(99, false);
  EXPECT_NE(unknown.deleteProperty("exdb-2", 0, 0), 0);
}

TEST_F(StoreTest, UpdateWritesBackThePropertyOfThatNameAndType) {
  MsExchangeSubclient subclient(10, false);
  PropertiesList list;
  ASSERT_EQ(subclient.getProperties(list, nullptr), 0);
  auto* first = dynamic_cast<ExchangeDBProperty*>(*list.begin());
  ASSERT_NE(first, nullptr);
  first->setForceFullOnNextBackup(true);
  ASSERT_EQ(subclient.updateProperty(*first, 0, 0), 0);
  EXPECT_THAT(SubclientProperties(10),
              ElementsAre("112 exdb-1 store=DB01 description=First forceFull=1",
                          "112 exdb-2 store=DB01 description=First forceFull=1",
                          "126 First\\DB010x12 server=MBX01", "300 opaque value=a=1;b=2"));

  // Nothing of that name and type: a failure, and nothing changes.
  ExchangeDBProperty never = Content("DB09", "Ninth");
  EXPECT_NE(subclient.updateProperty(never, 0, 0), 0);
  DAGDBProperty wrongType("exdb-1", "MBX09");
  EXPECT_NE(subclient.updateProperty(wrongType, 0, 0), 0);
  ApplProperty plain(ExchangeDBProperty::kType, "exdb-2", "");
  EXPECT_NE(subclient.updateProperty(plain, 0, 0), 0);
  EXPECT_THAT(SubclientProperties(10),
              ElementsAre("112 exdb-1 store=DB01 description=First forceFull=1",
                          "112 exdb-2 store=DB01 description=First forceFull=1",
                          "126 First\\DB010x12 server=MBX01", "300 opaque value=a=1;b=2"));

  // Other kinds are written back with their value text.
  ApplProperty opaque(300, "opaque", "a=3");
  ASSERT_EQ(subclient.updateProperty(opaque, 0, 0), 0);
  EXPECT_EQ(SubclientProperties(10).back(), "300 opaque value=a=3");
}

// What the library's own tests do not reach: lookups that miss leave the
// caller's values alone, a client without a host is known by its name, and an
// application must belong to the installation named with it. (Hits are
// checked through the library's discovery tests.)
TEST_F(StoreTest, MissesLeaveTheCallersValuesAlone) {
  uint64_t id = 42;
  uint32_t release = 77;
  bool installed = true;
  std::string host;
  EXPECT_NE(TZClient("MBX01 ", true, 0).lookup(nullptr), 0);
  EXPECT_NE(TZClient("MBX01 ", true, 0).getClientId(id, nullptr), 0);
  EXPECT_EQ(id, 42u);
  TZClient noRelease("MBX02", true, 0);
  EXPECT_NE(noRelease.getReleaseId(release, nullptr), 0);
  EXPECT_EQ(release, 77u);
  EXPECT_EQ(noRelease.getNetworkHostnameMangled(host, nullptr), 0);
  EXPECT_EQ(host, "MBX02");
  EXPECT_NE(TZInstalledPackages(nullptr).IsPackageInstalled(99, 151, installed), 0);
  EXPECT_TRUE(installed);

  ApplicationId app(1, 10);
  ASSERT_EQ(app.getApplicationId(nullptr), 0);
  ASSERT_NE(app.getSubclient(nullptr), nullptr);
  EXPECT_EQ(app.getSubclient(nullptr), app.getSubclient(nullptr));
  ApplicationId wrongInstallation(5, 10);
  EXPECT_NE(wrongInstallation.getApplicationId(nullptr), 0);
  EXPECT_EQ(wrongInstallation.getErrorString(),
            "application 10 of installation 5 is not in the configuration store");
  EXPECT_EQ(wrongInstallation.getSubclient(nullptr), nullptr);
  EXPECT_EQ(wrongInstallation.getApplicationType(nullptr).getApplicationTypeId(), 0u);

  bool flag = false;
  Subclient walker;
  EXPECT_NE(walker.isDefaultSubclient(flag, nullptr), 0);  // no subclient yet
  EXPECT_EQ(walker.setSubclientId(11), 0);
  EXPECT_EQ(walker.isDeleted(flag, nullptr), 0);
  EXPECT_TRUE(flag);
  EXPECT_NE(walker.setSubclientId(98), 0);
  EXPECT_NE(walker.isDeleted(flag, nullptr), 0);
}

TEST_F(StoreTest, SubclientListsKeepStoreOrderAndIncludeDeletedOnes) {
  ClientApplicationList lists;
  std::vector<uint64_t> ids = {999};
  std::vector<std::string> names = {"stale"};
  ASSERT_EQ(lists.getSubclientList(ids, names, 53, 7, nullptr, 15), 0);
  EXPECT_THAT(ids, ElementsAre(10u, 11u, 20u));
  EXPECT_THAT(names, ElementsAre("default", "old", "elsewhere"));
  ASSERT_EQ(lists.getSubclientList(ids, names, 2, 0, 0, 0, nullptr, 15), 0);
  EXPECT_THAT(ids, ElementsAre(10u, 12u, 11u));
  ASSERT_EQ(lists.getSubclientList(ids, names, 53, 9, nullptr, 15), 0);
  EXPECT_THAT(ids, ElementsAre());
}

TEST_F(StoreTest, FaultHooksFailOrThrowForTheirKeyOnly) {
  struct Case {
    const char* call;
    const char* key;
    std::function<int()> run;
  };
  PropertiesList list;
  std::vector<uint64_t> ids;
  std::vector<std::string> names;
  uint64_t id = 0;
  // One call of each kind of key: a client name, an owner id, a backup set.
  std::vector<Case> cases = {
      {"TZClient::getClientId", "MBX01",
       [&] { return TZClient("MBX01", true, 0).getClientId(id, nullptr); }},
      {"ApplProperties::deleteProperty", "10",
       [&] { return MsExchangeSubclient(10, false).deleteProperty("exdb-1", 0, 0); }},
      {"ClientApplicationList::getSubclientList", "53/7",
       [&] { return ClientApplicationList().getSubclientList(ids, names, 53, 7, nullptr, 15); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.call) + " " + c.key);
    list.clear();
    EXPECT_EQ(c.run(), 0);
    {
      tzplatform::FaultInjector faults;
      faults.Fail(c.call, "not-this-key", 17);
      EXPECT_EQ(c.run(), 0);
      faults.Fail(c.call, c.key, 17, 1, 1);
      EXPECT_EQ(c.run(), 0);  // the one skipped
      EXPECT_EQ(c.run(), 17);
      EXPECT_EQ(c.run(), 0);  // fired once only
      EXPECT_EQ(faults.Fired(c.call, c.key), 1);
    }
    {
      tzplatform::FaultInjector faults;
      faults.Throw(c.call, c.key);
      EXPECT_THROW(c.run(), tzplatform::InjectedFault);
    }
  }
  tzplatform::FaultInjector faults;
  faults.Fail("TZInstalledPackages::TZInstalledPackages", "*", 5);
  EXPECT_THROW(TZInstalledPackages packages(nullptr), tzplatform::StoreError);
}

// Runs SQL on a store file directly, as another program would.
void RawSql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  sqlite3_close(db);
}

TEST(StoreFiles, FilesThatAreNotUsableStoresAreRefusedAndLeftUnchanged) {
  tztest::TempDir dir;
  std::string newer = tztest::MakeStore(dir, kStore, "newer.db");
  RawSql(newer, "UPDATE meta SET value = '7' WHERE key = 'schema_version'");
  std::string text = dir.File("text.db");
  tztest::WriteFile(text,
                    "clients: DAG01, MBX01\nnot a database at all, but long enough to look at\n");
  std::string empty = dir.File("empty.db");
  tztest::WriteFile(empty, "");
  std::string foreign = dir.File("foreign.db");
  RawSql(foreign, "CREATE TABLE things (id INTEGER PRIMARY KEY); INSERT INTO things VALUES (1)");

  struct Case {
    std::string path;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {newer, "configuration store " + newer +
                       " has schema version 7, newer than version 1 which this program knows;"
                       " it was left unchanged"},
           {text, "configuration store " + text +
                      " is not a configuration store (not an SQLite database)"},
           {empty, "configuration store " + empty +
                       " is not a configuration store (it has no meta table)"},
           {foreign, "configuration store " + foreign +
                         " is not a configuration store (it has no meta table)"},
           {dir.File("missing.db"),
            "configuration store " + dir.File("missing.db") + " does not exist"},
       }) {
    SCOPED_TRACE(c.path);
    const std::string before = tztest::ReadFile(c.path);
    try {
      tzplatform::CheckStore(c.path);
      ADD_FAILURE() << "accepted";
    } catch (const tzplatform::StoreError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
    {
      tztest::UseStore use(c.path);
      tzplatform::LogCapture log;
      uint64_t id = 0;
      EXPECT_EQ(TZClient("DAG01", true, 0).getClientId(id, nullptr), 3);
      ASSERT_EQ(log.Lines().size(), 1u);
      EXPECT_EQ(log.Lines()[0].function, "TZClient::getClientId");
      EXPECT_EQ(log.Lines()[0].text, c.message);
      // An event raised meanwhile is only logged.
      EvEvent events;
      events.InfoEvent(0x1C000175, 0, 0);
    }
    EXPECT_EQ(tztest::ReadFile(c.path), before);
  }
  EXPECT_THAT(tztest::FilesIn(dir.path()),
              ElementsAre("empty.db", "foreign.db", "newer.db", "text.db"));
}

TEST(StoreFiles, DumpsCopiesAndEventsOfAStore) {
  tztest::TempDir dir;
  std::string first = tztest::MakeStore(dir, kStore, "first.db");
  std::string second = tztest::MakeStore(dir, kStore, "second.db");
  const std::string dump = tzplatform::DumpStore(first);
  EXPECT_EQ(dump, tzplatform::DumpStore(second));
  EXPECT_THAT(dump, HasSubstr("table clients (id, name, host, release, dag_associated)\n"
                              "  2|'DAG01'|'dag01.corp.example'|NULL|0\n"));

  {
    tztest::UseStore use(first);
    EvEvent events;
    events << "First\\DB01"
           << "it's quoted";
    events.InfoEvent(0x1C000175, 0, 0);
    events << std::string("DAG01");
    events.CriticalEvent(0x48000097, 3, 4);
  }
  std::vector<tzplatform::RaisedEvent> stored = tzplatform::StoredEvents(first);
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].severity, tzplatform::EventSeverity::kInfo);
  EXPECT_EQ(stored[0].id, 0x1C000175u);
  ASSERT_EQ(stored[0].arguments.size(), 2u);
  EXPECT_EQ(stored[0].arguments[0].kind, 11);
  EXPECT_EQ(stored[0].arguments[0].value, "First\\DB01");
  EXPECT_EQ(stored[0].arguments[1].value, "it's quoted");
  EXPECT_EQ(stored[1].severity, tzplatform::EventSeverity::kCritical);
  EXPECT_EQ(stored[1].id, 0x48000097u);
  EXPECT_EQ(stored[1].param1, 3);
  EXPECT_EQ(stored[1].param2, 4);
  ASSERT_EQ(stored[1].arguments.size(), 1u);
  EXPECT_EQ(stored[1].arguments[0].value, "DAG01");
  EXPECT_TRUE(tzplatform::StoredEvents(second).empty());
  EXPECT_NE(tzplatform::DumpStore(first), tzplatform::DumpStore(second));

  std::string copy = dir.File("copy.db");
  tzplatform::CopyStore(first, copy);
  EXPECT_EQ(tzplatform::DumpStore(copy), tzplatform::DumpStore(first));
  EXPECT_THROW(tzplatform::CopyStore(second, copy), tzplatform::StoreError);
  EXPECT_EQ(tzplatform::StoredEvents(copy).size(), 2u);  // the target kept
}

TEST(StoreFiles, AStoreReplacedAtTheSamePathIsOpenedAfresh) {
  tztest::TempDir dir;
  std::string path = tztest::MakeStore(dir, kStore);
  tztest::UseStore use(path);
  uint64_t id = 0;
  ASSERT_EQ(TZClient("MBX02", true, 0).getClientId(id, nullptr), 0);
  EXPECT_EQ(id, 4u);
  ASSERT_EQ(unlink(path.c_str()), 0);
  tzplatform::CreateStoreFromFixture(json::parse(R"({"clients": [{"id": 9, "name": "MBX02"}]})"),
                                     path);
  ASSERT_EQ(TZClient("MBX02", true, 0).getClientId(id, nullptr), 0);
  EXPECT_EQ(id, 9u);
}

}  // namespace
