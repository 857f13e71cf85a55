// The configuration store through the platform classes the library uses
// (tests/data/platform/store.json), and store files that are not usable.
#include <sqlite3.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <cstdio>
#include <thread>

#include "../platform/src/store/sqlite_library.h"
#include "platform_cases.h"
#include "store_support.h"
#include "tzplatform/ClientApplicationList.h"
#include "tzplatform/EvEvent.h"
#include "tzplatform/StoreTransaction.h"
#include "tzplatform/Subclient.h"
#include "tzplatform/TZClient.h"
#include "tzplatform/TZInstalledPackages.h"
#include "tzplatform/faults.h"
#include "tzplatform/fixture.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace {

using ::testing::ElementsAre;
using tztest::SubclientProperties;

class StoreTest : public ::testing::Test {
 protected:
  tztest::TempDir dir_;
  std::string path_ = tztest::MakeStore(dir_, tztest::PlatformCases("store"));
  tztest::UseStore use_{path_};
};

ExchangeDBProperty Content(const std::string& storeName, const std::string& description) {
  static const int kZero = 0;
  return ExchangeDBProperty(storeName, description, true, no_value_prop, no_value_prop, kZero);
}

TEST_F(StoreTest, ListsKeepStoreOrderAndUnknownOwnersFail) {
  EXPECT_THAT(tztest::ClientPropertyLines(2),
              ElementsAre("125 MBX01 selected=1 agent=1", "200 note value=kept as is",
                          "125 MBX02 selected=0 agent=1"));
  EXPECT_THAT(SubclientProperties(10),
              ElementsAre("112 exdb-1 store=DB01 description=First forceFull=0",
                          "112 exdb-2 store=DB01 description=First forceFull=1",
                          "126 First\\DB010x12 server=MBX01", "300 opaque value=a=1;b=2"));
  EXPECT_THAT(SubclientProperties(99), ElementsAre("status 2"));

  // Subclient lists name deleted subclients too.
  ClientApplicationList lists;
  std::vector<uint64_t> ids = {999};
  std::vector<std::string> names = {"stale"};
  ASSERT_EQ(lists.getSubclientList(ids, names, 53, 7, nullptr, 15), 0);
  EXPECT_THAT(ids, ElementsAre(10u, 11u, 20u));
  EXPECT_THAT(names, ElementsAre("default", "old", "elsewhere"));
  ASSERT_EQ(lists.getSubclientList(ids, names, 2, 0, 0, 0, nullptr, 15), 0);
  EXPECT_THAT(ids, ElementsAre(10u, 12u, 11u));

  // Lookups that miss leave the caller's values alone; a client without a
  // host is known by its name.
  uint64_t id = 42;
  std::string host;
  EXPECT_NE(TZClient("MBX01 ", true, 0).getClientId(id, nullptr), 0);
  EXPECT_EQ(id, 42u);
  EXPECT_EQ(TZClient("MBX02", true, 0).getNetworkHostnameMangled(host, nullptr), 0);
  EXPECT_EQ(host, "MBX02");
  bool deleted = false;
  Subclient walker;
  EXPECT_EQ(walker.setSubclientId(11), 0);
  EXPECT_EQ(walker.isDeleted(deleted, nullptr), 0);
  EXPECT_TRUE(deleted);
  EXPECT_NE(walker.setSubclientId(98), 0);
}

TEST_F(StoreTest, WritesTouchOnlyTheirOwnerAndNameAndAreWholeOrNothing) {
  MsExchangeSubclient other(12, false);
  PropertiesList added;
  ExchangeDBProperty forced = Content("DB02", "Second");
  forced.setForceFullOnNextBackup(true);
  added.addToPropList(Content("DB03", "Second"));
  added.addToPropList(DAGDBProperty("Second\\DB03", "MBX02"));
  added.addToPropList(ApplProperty(201, "free", "text with spaces"));
  added.addToPropList(forced);
  ASSERT_EQ(other.addProperties(added, 0, 0), 0);
  // The caller's entries carry the names they were stored under.
  EXPECT_THAT(tztest::Describe(added),
              ElementsAre("112 exdb-3 store=DB03 description=Second forceFull=0",
                          "126 Second\\DB03 server=MBX02", "201 free value=text with spaces",
                          "112 exdb-4 store=DB02 description=Second forceFull=1"));
  EXPECT_EQ(SubclientProperties(12), tztest::Describe(added));
  // A list holding an entry the store cannot take writes nothing at all.
  PropertiesList bad;
  bad.addToPropList(Content("DB07", "Seventh"));
  bad.addToPropList(ApplProperty(ExchangeDBProperty::kType, "plain", "not a content entry"));
  EXPECT_NE(other.addProperties(bad, 0, 0), 0);
  EXPECT_EQ(SubclientProperties(12).size(), 4u);

  MsExchangeSubclient subclient(10, false);
  PropertiesList list;
  ASSERT_EQ(subclient.getProperties(list, nullptr), 0);
  auto* first = dynamic_cast<ExchangeDBProperty*>(*list.begin());
  ASSERT_NE(first, nullptr);
  first->setForceFullOnNextBackup(true);
  EXPECT_EQ(subclient.updateProperty(*first, 0, 0), 0);
  EXPECT_EQ(subclient.updateProperty(ApplProperty(300, "opaque", "a=3"), 0, 0), 0);
  // Nothing of that name and type: a failure that changes nothing.
  EXPECT_NE(subclient.updateProperty(Content("DB09", "Ninth"), 0, 0), 0);
  EXPECT_NE(subclient.updateProperty(DAGDBProperty("exdb-1", "MBX09"), 0, 0), 0);
  // Two entries for one database path: deleting one keeps the other; a name
  // that is not there, or another owner's, changes nothing.
  EXPECT_EQ(subclient.deleteProperty("exdb-2", 0, 0), 0);
  EXPECT_EQ(subclient.deleteProperty("exdb-2", 0, 0), 0);
  EXPECT_EQ(ClientProperties(2).deleteProperty("exdb-1", 0, 0), 0);
  EXPECT_EQ(ClientProperties(2).deleteProperty("MBX02", 0, 0), 0);
  EXPECT_THAT(SubclientProperties(10),
              ElementsAre("112 exdb-1 store=DB01 description=First forceFull=1",
                          "126 First\\DB010x12 server=MBX01", "300 opaque value=a=3"));
  EXPECT_THAT(tztest::ClientPropertyLines(2),
              ElementsAre("125 MBX01 selected=1 agent=1", "200 note value=kept as is"));

  EXPECT_NE(MsExchangeSubclient(99, false).addProperties(added, 0, 0), 0);
  EXPECT_NE(MsExchangeSubclient(99, false).deleteProperty("exdb-1", 0, 0), 0);
}

TEST_F(StoreTest, FaultHooksFailOrThrowForTheirKeyOnly) {
  uint64_t id = 0;
  auto run = [&] { return TZClient("MBX01", true, 0).getClientId(id, nullptr); };
  {
    tzplatform::FaultInjector faults;
    faults.Fail("TZClient::getClientId", "MBX02", 17);
    EXPECT_EQ(run(), 0);
    faults.Fail("TZClient::getClientId", "MBX01", 17, 1, 1);
    EXPECT_EQ(run(), 0);  // the one skipped
    EXPECT_EQ(run(), 17);
    EXPECT_EQ(run(), 0);  // fired once only
    EXPECT_EQ(faults.Fired("TZClient::getClientId", "MBX01"), 1);
    faults.Throw("TZClient::getClientId", "*");
    EXPECT_THROW(run(), tzplatform::InjectedFault);
  }
  EXPECT_EQ(run(), 0);  // gone with the injector
  tzplatform::FaultInjector faults;
  faults.Fail("TZInstalledPackages::TZInstalledPackages", "*", 5);
  EXPECT_THROW(TZInstalledPackages packages(nullptr), tzplatform::StoreError);
}

// Runs SQL on a store file directly, as another program would.
void RawSql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
}

TEST(StoreFiles, FilesThatAreNotUsableStoresAreRefusedAndLeftUnchanged) {
  tztest::TempDir dir;
  const std::string newer = tztest::MakeStore(dir, tztest::PlatformCases("store"), "newer.db");
  RawSql(newer, "UPDATE meta SET value = '7' WHERE key = 'schema_version'");
  tztest::WriteFile(dir.File("text.db"), "clients: DAG01, MBX01\nnot a database, long enough\n");
  tztest::WriteFile(dir.File("empty.db"), "");
  RawSql(dir.File("foreign.db"), "CREATE TABLE things (id INTEGER PRIMARY KEY)");
  for (const auto& [file, problem] : std::vector<std::pair<std::string, std::string>>{
           {"newer.db",
            " has schema version 7, newer than version 2 which this program knows; it was left "
            "unchanged"},
           {"text.db", " is not a configuration store (not an SQLite database)"},
           {"empty.db", " is not a configuration store (it has no meta table)"},
           {"foreign.db", " is not a configuration store (it has no meta table)"},
           {"missing.db", " does not exist"},
       }) {
    const std::string path = dir.File(file), message = "configuration store " + path + problem;
    SCOPED_TRACE(file);
    const std::string before = tztest::ReadFile(path);
    EXPECT_EQ(tztest::ErrorOf<tzplatform::StoreError>([&] { tzplatform::CheckStore(path); }),
              message);
    {
      tztest::UseStore use(path);
      tzplatform::LogCapture log;
      uint64_t id = 0;
      EXPECT_EQ(TZClient("DAG01", true, 0).getClientId(id, nullptr), 3);
      EvEvent().InfoEvent(0x1C000175, 0, 0);  // only logged
      ASSERT_EQ(log.Lines().size(), 2u);
      EXPECT_EQ(log.Lines()[0].function, "TZClient::getClientId");
      EXPECT_EQ(log.Lines()[0].text, message);
    }
    EXPECT_EQ(tztest::ReadFile(path), before);
  }
  // Reading newer.db may leave SQLite's empty -wal and -shm files beside it.
  EXPECT_THAT(tztest::FilesIn(dir.path(), false),
              ElementsAre("empty.db", "foreign.db", "newer.db", "text.db"));
}

// SQLite is loaded when a store is first opened, never with the program: a
// system without it fails there, naming the library and what the loader said
// (after "configuration store PATH cannot be opened: ").
TEST(StoreFiles, SqliteIsLoadedOnFirstUseAndAMissingOneIsNamed) {
  EXPECT_EQ(tzplatform::store::SqliteLoadProblem("libsqlite3.so.0"), "");
  EXPECT_EQ(tzplatform::store::SqliteLoadProblem("libtzdag-test-absent.so.0"),
            "cannot load SQLite (libtzdag-test-absent.so.0): libtzdag-test-absent.so.0: cannot "
            "open shared object file: No such file or directory");
}

// Event texts are stored as given; a copy never replaces a store, and a store
// replaced at the same path is opened afresh.
TEST(StoreFiles, EventsCopiesAndReplacedStores) {
  tztest::TempDir dir;
  const std::string first = tztest::MakeStore(dir, tztest::PlatformCases("store"), "first.db");
  const std::string copy = dir.File("copy.db");
  tzplatform::CopyStore(first, copy);
  {
    tztest::UseStore use(first);
    EvEvent events;
    events << "it's quoted";
    events.CriticalEvent(0x48000097, 3, 4);
  }
  std::vector<tzplatform::RaisedEvent> stored = tzplatform::StoredEvents(first);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].arguments.at(0).value + " " + std::to_string(stored[0].param2),
            "it's quoted 4");
  EXPECT_THROW(tzplatform::CopyStore(first, copy), tzplatform::StoreError);
  EXPECT_NE(tzplatform::DumpStore(copy), tzplatform::DumpStore(first));

  tztest::UseStore use(copy);
  uint64_t id = 0;
  ASSERT_EQ(TZClient("MBX02", true, 0).getClientId(id, nullptr), 0);
  ASSERT_EQ(unlink(copy.c_str()), 0);
  tzplatform::CreateStoreFromFixture({{"clients", {{{"id", 9}, {"name", "MBX02"}}}}}, copy);
  ASSERT_EQ(TZClient("MBX02", true, 0).getClientId(id, nullptr), 0);
  EXPECT_EQ(id, 9u);
}

// Damage SQLite reports from any statement is no status and no empty answer:
// it passes through the store objects, and from then on every use of that
// store in the process refuses, in any thread, with no event stored, until
// another file is put at its path.
TEST(StoreDamage, OnceSeenEveryUseRefusesUntilTheFileIsReplaced) {
  tztest::TempDir dir;
  const std::string path = tztest::MakeStore(dir, tztest::PlatformCases("store"));
  tztest::CorruptStore(path, {{{"in", "client_properties"}}});
  const std::string bytes = tztest::ReadFile(path);
  const std::string damaged =
      "the configuration store is damaged: " + path + ": database disk image is malformed";
  tztest::UseStore use(path);
  tzplatform::LogCapture log;
  uint64_t id = 0;
  ASSERT_EQ(TZClient("MBX01", true, 0).getClientId(id, nullptr), 0);  // another table
  PropertiesList list;
  EXPECT_EQ(tztest::ErrorOf<tzplatform::StoreDamaged>(
                [&] { ClientProperties(2).getProperties(list, nullptr); }),
            damaged);
  EXPECT_EQ(tzplatform::StoreDamageSeen(path), "database disk image is malformed");
  EXPECT_THROW(TZClient("MBX01", true, 0).getClientId(id, nullptr), tzplatform::StoreDamaged);
  EXPECT_THROW(tzplatform::StoreTransaction(), tzplatform::StoreDamaged);
  std::thread([&] {
    EXPECT_THROW(TZInstalledPackages packages(nullptr), tzplatform::StoreDamaged);
  }).join();
  EvEvent().CriticalEvent(0x48000097, 0, 0);
  EXPECT_THAT(log.Texts(), ElementsAre(damaged, damaged, damaged,
                                       "event 0x48000097 was not stored: " + damaged));
  EXPECT_EQ(tztest::ReadFile(path), bytes);

  // A recovered store (or a backup) put in its place is trusted again.
  const std::string fresh = tztest::MakeStore(dir, tztest::PlatformCases("store"), "fresh.db");
  ASSERT_EQ(std::rename(fresh.c_str(), path.c_str()), 0);
  EXPECT_EQ(TZClient("MBX01", true, 0).getClientId(id, nullptr), 0);
  EXPECT_EQ(tzplatform::StoreDamageSeen(path), "");
}

// The first write transaction of a connection runs SQLite's integrity check
// before it writes anything: a damaged index, which no read of the store
// notices, refuses every write (and the store is left byte for byte). A
// store in rollback-journal mode is left so by readers; a writer switches it
// to write-ahead logging, but only once it proved sound.
TEST(StoreDamage, AWriterChecksTheStoreBeforeItChangesAnything) {
  struct Case {
    const char* journal;
    bool damaged;
    const char* modeAfter;
  };
  for (const Case& c :
       {Case{"wal", true, "wal"}, Case{"delete", true, "delete"}, Case{"delete", false, "wal"}}) {
    SCOPED_TRACE(std::string(c.journal) + (c.damaged ? " damaged" : " sound"));
    tztest::TempDir dir;
    const std::string path = tztest::MakeStore(dir, tztest::PlatformCases("store"));
    tztest::StoreSql(path, std::string("PRAGMA journal_mode = ") + c.journal);
    if (c.damaged) {
      tztest::CorruptStore(
          path, {{{"in", "subclient_properties_by_name"}, {"text", "exdb-1"}, {"to", "exdb-Z"}}});
    }
    const std::string bytes = tztest::ReadFile(path);
    tztest::UseStore use(path);
    {
      tzplatform::LogCapture log;
      EXPECT_THAT(tztest::SubclientProperties(10), ::testing::SizeIs(4));  // reads see nothing
      EXPECT_EQ(tztest::ReadFile(path), bytes);
      EvEvent().InfoEvent(0x1C000175, 0, 0);
      if (c.damaged) {
        EXPECT_THAT(log.Texts(),
                    ElementsAre("event 0x1C000175 was not stored: the configuration store is "
                                "damaged: " +
                                path +
                                ": SQLite's integrity check failed: row 1 missing from index "
                                "subclient_properties_by_name"));
        EXPECT_THROW(MsExchangeSubclient(10, false).deleteProperty("exdb-1", 0, 0),
                     tzplatform::StoreDamaged);
        EXPECT_EQ(tztest::ReadFile(path), bytes);
      } else {
        EXPECT_THAT(log.Texts(), ElementsAre());
      }
    }
    EXPECT_EQ(tztest::StoreSql(path, "PRAGMA journal_mode"), c.modeAfter);
  }
}

// A program that only reads opens the store read-only and refuses every
// write, events included, before it touches the file; once it may write, its
// connection is opened again for writing.
TEST(StoreAccess, AProgramThatOnlyReadsNeverWrites) {
  tztest::TempDir dir;
  const std::string path = tztest::MakeStore(dir, tztest::PlatformCases("store"));
  tztest::UseStore use(path);
  const std::string bytes = tztest::ReadFile(path);
  const std::string refused =
      "configuration store " + path + ": not written: this program opened it for reading only";
  tzplatform::SetStoreReadOnly(true);
  {
    tzplatform::LogCapture log;
    EXPECT_EQ(MsExchangeSubclient(10, false).deleteProperty("exdb-1", 0, 0), 3);
    EvEvent().InfoEvent(0x1C000175, 0, 0);
    EXPECT_EQ(tzplatform::StoreTransaction().status(), tzplatform::StoreTransaction::kStoreFailure);
    EXPECT_THAT(log.Texts(),
                ElementsAre(refused, "event 0x1C000175 was not stored: " + refused, refused));
    EXPECT_EQ(
        tztest::ErrorOf<tzplatform::StoreError>([&] { tzplatform::CheckStoreWritable(path); }),
        refused);
  }
  EXPECT_EQ(tztest::ReadFile(path), bytes);
  tzplatform::SetStoreReadOnly(false);
  EXPECT_NO_THROW(tzplatform::CheckStoreWritable(path));
  EXPECT_EQ(MsExchangeSubclient(10, false).deleteProperty("exdb-1", 0, 0), 0);
  EXPECT_THAT(SubclientProperties(10), ::testing::SizeIs(3));
}

}  // namespace
