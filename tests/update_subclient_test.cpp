// Subclient content update against a real store: what is stored afterwards,
// the events and lines written, the results, and the one store transaction
// that a failure, a busy lock or a crash leaves exactly as it was.

#include <future>
#include <thread>

#include "db_answers.h"
#include "journal_support.h"
#include "log_lines.h"
#include "store_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/Properties.h"
#include "tzplatform/StoreTransaction.h"
#include "tzplatform/Subclient.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace {

using Texts = std::vector<std::string>;
const uint32_t kApp = 11;

// One subclient (11) of one DAG client, with nothing stored yet.
nlohmann::json Fixture(bool automatic) {
  nlohmann::json fixture = tztest::TestData("update_subclient.json", "fixture");
  fixture["store"]["subclients"][0]["automatic"] = automatic;
  return fixture;
}

// Discovered databases as "NAME@SERVER", "*" at the end for circular logging.
Uvo::DAGDBResp Answer(const Texts& dbs) {
  std::string xml = "<DAGDBResp>";
  for (const std::string& db : dbs) {
    const bool circular = db.back() == '*';
    const size_t at = db.find('@');
    xml += "<databases dbName=\"" + db.substr(0, at) + "\" backupServer=\"" +
           db.substr(at + 1, db.size() - at - 1 - circular) + "\" circularLogging=\"" +
           (circular ? "1" : "0") + "\"/>";
  }
  return tztest::DbRespFromXml(dbs.empty() ? "<DAGDBResp databases=\"0\"/>" : xml + "</DAGDBResp>");
}

// Stores "c DESCRIPTION|STORE" (content; "C" when marked for a full backup),
// "a NAME=SERVER" (association) or "o NAME=VALUE" (type 200) in subclient 11.
void StoreProperties(const Texts& props) {
  PropertiesList list;
  for (const std::string& p : props) {
    const size_t split = p.find_first_of("|=");
    const std::string first = p.substr(2, split - 2), second = p.substr(split + 1);
    if (p[0] == 'c' || p[0] == 'C') {
      ExchangeDBProperty entry(second, first, true, no_value_prop, no_value_prop, 0);
      entry.setForceFullOnNextBackup(p[0] == 'C');
      list.addToPropList(entry);
    } else if (p[0] == 'a') {
      list.addToPropList(DAGDBProperty(first, second));
    } else {
      list.addToPropList(ApplProperty(200, first, second));
    }
  }
  MsExchangeSubclient subclient(kApp, false);
  ASSERT_EQ(subclient.addProperties(list, 0, 0), 0);
}

const auto Line = [](const std::string& text) { return "[UpdateSubclient]: " + text; };
const auto CircularLine = [](const std::string& db) {
  return Line("Circular Logging Enabled for database:" + db);
};

// tests/data/update_subclient.json says what each case stores and expects.
TEST(UpdateSubclientTest, RewritesContentAndAssociationsFromTheAnswer) {
  for (const nlohmann::json& c : tztest::TestData("update_subclient.json", "cases")) {
    SCOPED_TRACE(c["what"].get<std::string>());
    const bool automatic = c.value("automatic", true);
    const Texts events = c.value("events", Texts()), newCircular = c.value("newCircular", Texts());
    tztest::TestEnv env(Fixture(automatic));
    StoreProperties(c["stored"]);
    tzplatform::LogCapture capture;

    EXPECT_EQ(UpdateSubclient(1, kApp, Answer(c["answer"]), c.value("markForceFull", false)),
              c.value("result", 0));

    EXPECT_EQ(tztest::SubclientContent(kApp), c["after"].get<Texts>());
    Texts lines = {
        Line(automatic ? "This is an automatic subclient" : "This is a manual subclient")};
    Texts circular;  // the circular-logging event of each kept database
    for (const std::string& db : events) {
      lines.push_back(CircularLine(db));
      circular.push_back("info 0x1C000175 0 0 11:" + db);
    }
    EXPECT_EQ(tztest::EventLines(capture.Events()), circular);
    lines.push_back(Line("Remove old sublicent content done"));
    for (const std::string& db : newCircular) lines.push_back(CircularLine(db));
    lines.push_back(Line("Add new sublicent content done"));
    EXPECT_EQ(capture.Texts(), lines);
  }
}

TEST(UpdateSubclientTest, FailedLookupsAndAnAnswerWithoutADatabaseListChangeNothing) {
  for (const nlohmann::json& c : tztest::TestData("update_subclient.json", "lookupFailures")) {
    const std::string line = c["line"];
    SCOPED_TRACE(line);
    tztest::TestEnv env(Fixture(true));
    StoreProperties({"c First|DB01", "a First\\DB010x12=MBX03"});
    const std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    if (c.contains("fail")) faults.Fail(c["fail"], std::to_string(kApp), 7);
    tzplatform::LogCapture capture;
    EXPECT_EQ(UpdateSubclient(
                  1, c.value("app", kApp),
                  c.contains("listless") ? Uvo::DAGDBResp() : Answer({"Second\\DB02@MBX01"}), true),
              -1);
    EXPECT_TRUE(tztest::LinesEndWith(capture.Texts(), {Line(line)}));
    EXPECT_TRUE(capture.Events().empty());
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  }
}

// Stored: two content entries (one kept, one gone) and one association; the
// store names content entries exdb-1, exdb-2, ... in the order they come.
const Texts kStored = {"c First|DB01", "c Old|DB09", "a First\\DB010x12=MBX03"};
const Texts kAnswer = {"First\\DB01@MBX02*", "Second\\DB02@MBX01"};
const Texts kUpdated = {"content First|DB01 full", "content Second|DB02",
                        "association First\\DB010x12 MBX02", "association Second\\DB020x12 MBX01"};

// A write that fails anywhere, a commit that fails, or a write lock another
// writer holds past the busy timeout gives -1 with the line that says which,
// and the store exactly as before.
TEST(UpdateSubclientTest, AnyStoreFailureLeavesTheStoreAsItWas) {
  for (const nlohmann::json& c : tztest::TestData("update_subclient.json", "storeFailures")) {
    const std::string call = c["fail"], line = c["line"];
    SCOPED_TRACE(call + " " + line);
    tztest::TestEnv env(Fixture(true));
    StoreProperties(kStored);
    const std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    const std::string key = c.value("key", std::to_string(kApp));
    tzplatform::LogCapture capture;
    if (line.empty()) {
      faults.Throw(call, key);
      EXPECT_THROW(UpdateSubclient(1, kApp, Answer(kAnswer), true), tzplatform::InjectedFault);
    } else {
      faults.Fail(call, key, 5, 1, c.value("skip", 0));
      EXPECT_EQ(UpdateSubclient(1, kApp, Answer(kAnswer), true), -1);
      EXPECT_TRUE(tztest::LinesEndWith(capture.Texts(), {Line(line)}));
    }
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  }

  // Every write of the update failing in turn. A failed write of the
  // circular-logging event does not fail the update: the log says so, and the
  // store has everything but the event.
  int positions = 0;
  for (;; ++positions) {
    SCOPED_TRACE("write " + std::to_string(positions));
    tztest::TestEnv env(Fixture(true));
    StoreProperties(kStored);
    const std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    faults.Fail("Store::write", "*", 9, 1, positions);
    tzplatform::LogCapture capture;
    const int result = UpdateSubclient(1, kApp, Answer(kAnswer), true);
    if (faults.Fired("Store::write", "*") == 0) {
      EXPECT_EQ(result, -3);
      EXPECT_EQ(tztest::SubclientContent(kApp), kUpdated);
      break;
    }
    const std::string failure = "configuration store *: injected write failure (status 9)";
    if (result == -1) {
      EXPECT_TRUE(
          tztest::LinesEndWith(capture.Texts(), {failure, Line("Failed to * ErrCode = 3.")}));
      EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
    } else {
      EXPECT_EQ(result, -3);
      EXPECT_TRUE(tztest::LinesAre(
          capture.Texts(),
          {Line("This is an automatic subclient"), "event 0x1C000175 was not stored: " + failure,
           CircularLine("First\\DB01"), Line("Remove old sublicent content done"),
           Line("Add new sublicent content done")}));
      EXPECT_EQ(tztest::SubclientContent(kApp), kUpdated);
      EXPECT_TRUE(tzplatform::StoredEvents(env.storePath()).empty());
    }
  }
  // The event and its argument, one mark, two deletions, the content entry's
  // name and the entry, two associations.
  EXPECT_EQ(positions, 9);

  // Another writer (a thread with its own connection) holds the lock past
  // the busy timeout.
  tztest::TestEnv env(Fixture(true));
  StoreProperties(kStored);
  const std::string before = tzplatform::DumpStore(env.storePath());
  tzplatform::SetStoreBusyTimeout(50);
  std::promise<void> held, done;
  std::thread other([&held, &done] {
    tzplatform::StoreTransaction transaction;
    EXPECT_EQ(transaction.status(), 0);
    held.set_value();
    done.get_future().wait();
  });
  held.get_future().wait();
  tzplatform::LogCapture capture;
  EXPECT_EQ(UpdateSubclient(1, kApp, Answer(kAnswer), true), -1);
  done.set_value();
  other.join();
  const std::string busy =
      "configuration store *: another writer holds the write lock (waited 50 ms)";
  EXPECT_TRUE(
      tztest::LinesAre(capture.Texts(), {busy, Line("Could not begin a store transaction (" + busy +
                                                    "); subclient left unchanged. ErrCode = 5.")}));
  EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  EXPECT_EQ(UpdateSubclient(1, kApp, Answer(kAnswer), true), -3);
}

// Killed at any write of the update, or just before it commits, the update
// leaves the store exactly as it was or exactly as a whole update leaves it,
// never between: a manual subclient keeps every association it had.
TEST(UpdateSubclientTest, AKilledUpdateLeavesTheOldOrTheNewStore) {
  for (bool automatic : {true, false}) {
    SCOPED_TRACE(automatic ? "automatic" : "manual");
    tztest::TestEnv env(Fixture(automatic));
    StoreProperties({"c First|DB01", "c Old|DB09", "a First\\DB010x12=MBX03",
                     "a Old\\DB090x12=MBX01", "o note=keep me"});
    const std::string base = env.dir() + "/base.db", whole = env.dir() + "/whole.db";
    tzplatform::CopyStore(env.storePath(), base);
    tzplatform::CopyStore(env.storePath(), whole);
    {
      tztest::UseStore use(whole);
      ASSERT_EQ(UpdateSubclient(1, kApp, Answer(kAnswer), true), -3);
    }
    const int writes = tztest::CrashAtEachWrite(
        base, whole, env.dir(), -3, [] { return UpdateSubclient(1, kApp, Answer(kAnswer), true); });
    // Ten writes (the event, its argument, a mark, three deletions, a content
    // name, the entry, two associations).
    EXPECT_EQ(writes, 10);
  }
}

TEST(IsManualSubclientTest, AnswersFromTheSelectionType) {
  for (const nlohmann::json& c : tztest::TestData("update_subclient.json", "manual")) {
    const std::string line = c["line"];
    SCOPED_TRACE(line);
    tztest::TestEnv env(Fixture(c["automatic"]));
    tzplatform::FaultInjector faults;
    if (c.contains("fail")) faults.Fail(c["fail"], std::to_string(kApp), 3);
    tzplatform::LogCapture capture;
    EXPECT_EQ(IsManualSubclient(1, c.value("app", kApp)), c["manual"]);
    EXPECT_EQ(capture.Texts(), Texts{"[IsAutomaticSubclient]: " + line});
  }
}

}  // namespace
