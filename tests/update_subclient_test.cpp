// Subclient content update against a real store: what is stored afterwards,
// the events and lines written, and the results.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "log_lines.h"
#include "store_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/Properties.h"
#include "tzplatform/Subclient.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace {

const uint32_t kOrbal = 1;
const uint32_t kApp = 11;
const uint32_t kCircularLoggingEvent = 469762421;

// One subclient of one DAG client, with nothing stored yet.
nlohmann::json Fixture(bool automatic) {
  nlohmann::json fixture = nlohmann::json::parse(R"({"store": {
    "clients": [{"id": 2, "name": "DAG01", "host": "dag01.corp.example"}],
    "subclients": [{"orbalId": 1, "appId": 11, "clientId": 2, "appType": 53, "backupSet": 7,
                    "name": "sales"}]}})");
  fixture["store"]["subclients"][0]["automatic"] = automatic;
  return fixture;
}

// Discovered databases as "NAME@SERVER", with a trailing "*" for circular
// logging.
Uvo::DAGDBResp Answer(const std::vector<std::string>& dbs) {
  CNMessageList list;
  for (const std::string& db : dbs) {
    Uvo::DAGDB record;
    const bool circular = !db.empty() && db.back() == '*';
    const size_t at = db.find('@');
    record.setDbName(db.substr(0, at));
    record.setBackupServer(db.substr(at + 1, db.size() - at - 1 - (circular ? 1 : 0)));
    record.setCircularLogging(circular);
    list.push_back(record);
  }
  Uvo::DAGDBResp resp;
  resp.setDatabases(list);
  return resp;
}

// Stores properties given as "c DESCRIPTION|STORE" (content; "C" when marked
// for a full backup), "a NAME=SERVER" (association) or "o NAME=VALUE" (type 200).
void StoreProperties(const std::vector<std::string>& props) {
  PropertiesList list;
  const int noNumber = 0;
  for (const std::string& p : props) {
    const std::string text = p.substr(2);
    const size_t split = text.find_first_of("|=");
    const std::string first = text.substr(0, split), second = text.substr(split + 1);
    if (p[0] == 'c' || p[0] == 'C') {
      ExchangeDBProperty entry(second, first, true, no_value_prop, no_value_prop, noNumber);
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

std::vector<std::string> StoredProperties() {
  return tztest::SubclientContent(kApp);
}

// The argument of every circular-logging event, checking each event's shape.
std::vector<std::string> CircularLoggingEvents(const tzplatform::LogCapture& capture) {
  std::vector<std::string> arguments;
  for (const tzplatform::RaisedEvent& e : capture.Events()) {
    EXPECT_EQ(e.id, kCircularLoggingEvent);
    EXPECT_EQ(e.severity, tzplatform::EventSeverity::kInfo);
    EXPECT_EQ(e.param1, 0);
    EXPECT_EQ(e.param2, 0);
    EXPECT_EQ(e.arguments.size(), 1u);
    for (const tzplatform::EventArgument& a : e.arguments) {
      EXPECT_EQ(a.kind, 11);
      arguments.push_back(a.value);
    }
  }
  return arguments;
}

std::string Line(const std::string& text) {
  return "[UpdateSubclient]: " + text;
}
std::string CircularLine(const std::string& db) {
  return Line("Circular Logging Enabled for database:" + db);
}

TEST(UpdateSubclientTest, RewritesContentAndAssociationsFromTheAnswer) {
  struct Case {
    const char* what;
    bool automatic;
    bool markForceFull;
    std::vector<std::string> stored;
    std::vector<std::string> answer;
    int result;
    std::vector<std::string> after;
    std::vector<std::string> events;       // circular logging of kept databases
    std::vector<std::string> newCircular;  // circular logging of new databases (line only)
  };
  // clang-format off
  const Case cases[] = {
      {"kept, removed and new; other kinds untouched", true, false,
       {"c First|DB01", "c Old|DB09", "o note=keep me", "a First\\DB010x12=MBX03",
        "a Old\\DB090x12=MBX01"},
       {"First\\DB01@MBX02", "Second\\DB02@MBX01"}, 0,
       {"content First|DB01", "other 200 note=keep me", "content Second|DB02",
        "association First\\DB010x12 MBX02", "association Second\\DB020x12 MBX01"}, {}, {}},
      {"a stored path matching only ignoring case stays and is not circular", true, true,
       {"c A|B"}, {"a\\b@S1*"}, 0, {"content A|B", "association a\\b0x12 S1"}, {}, {}},
      {"two entries, one discovered name: the second entry goes", true, false,
       {"c X|Y", "c X|Y"}, {"X\\Y@S"}, 0, {"content X|Y", "association X\\Y0x12 S"}, {}, {}},
      {"two entries, the name discovered twice: both stay", true, false,
       {"c X|Y", "c X|Y"}, {"X\\Y@S", "x\\y@T"}, 0,
       {"content X|Y", "content X|Y", "association X\\Y0x12 S", "association x\\y0x12 T"}, {}, {}},
      {"a new name discovered twice is added for each occurrence", true, false,
       {}, {"N\\A@S", "N\\A@S"}, 0,
       {"content N|A", "content N|A", "association N\\A0x12 S", "association N\\A0x12 S"}, {}, {}},
      {"names split at their first backslash", true, false,
       {}, {"DB01@S", "A\\B\\C@S", "\\Lead@S", "Trail\\@S"}, 0,
       {"content DB01|DB01", "content A|B\\C", "content |Lead", "content Trail|",
        "association DB010x12 S", "association A\\B\\C0x12 S", "association \\Lead0x12 S",
        "association Trail\\0x12 S"}, {}, {}},
      {"an automatic subclient takes the discovered servers, N/A included", true, false,
       {"c DB1|S", "a DB1\\S0x12=OLD"}, {"DB1\\S@NEW", "DB2\\T@N/A"}, 0,
       {"content DB1|S", "content DB2|T", "association DB1\\S0x12 NEW",
        "association DB2\\T0x12 N/A"}, {}, {}},
      {"a manual subclient keeps the servers stored under the exact names", false, false,
       {"a DB1\\S0x12=FIRST", "a DB1\\S0x12=OLD", "a db2\\t0x12=OLD2", "a DB4\\V=OLD4"},
       {"DB1\\S@NEW", "DB2\\T@NEW2", "DB3\\U@N/A", "DB4\\V@NEW4"}, 0,
       {"content DB1|S", "content DB2|T", "content DB3|U", "content DB4|V",
        "association DB1\\S0x12 OLD", "association DB2\\T0x12 NEW2", "association DB3\\U0x12 N/A",
        "association DB4\\V0x12 NEW4"}, {}, {}},
      {"an empty answer removes all content and associations", true, false,
       {"c First|DB01", "a First\\DB010x12=MBX01", "o note=keep me"}, {}, 0,
       {"other 200 note=keep me"}, {}, {}},
      {"kept with circular logging, not marking: -3, entry unchanged", true, false,
       {"c Second|DB03"}, {"Second\\DB03@MBX03*"}, -3,
       {"content Second|DB03", "association Second\\DB030x12 MBX03"}, {"Second\\DB03"}, {}},
      {"kept with circular logging, marking: -3, entry marked", true, true,
       {"c Second|DB03", "c First|DB01"}, {"First\\DB01@MBX01", "Second\\DB03@MBX03*"}, -3,
       {"content Second|DB03 full", "content First|DB01", "association First\\DB010x12 MBX01",
        "association Second\\DB030x12 MBX03"}, {"Second\\DB03"}, {}},
      {"kept with circular logging, already marked: event but 0", true, true,
       {"C Second|DB03"}, {"Second\\DB03@MBX03*"}, 0,
       {"content Second|DB03 full", "association Second\\DB030x12 MBX03"}, {"Second\\DB03"}, {}},
      {"already marked, not marking: -3", true, false,
       {"C Second|DB03"}, {"Second\\DB03@MBX03*"}, -3,
       {"content Second|DB03 full", "association Second\\DB030x12 MBX03"}, {"Second\\DB03"}, {}},
      {"a new database with circular logging: -3, no event, not marked", true, true,
       {}, {"New\\DB07@MBX02*"}, -3,
       {"content New|DB07", "association New\\DB070x12 MBX02"}, {}, {"New\\DB07"}},
      {"the first occurrence of a name decides its circular logging", true, false,
       {"c X|Y"}, {"X\\Y@S", "X\\Y@S*"}, 0,
       {"content X|Y", "content X|Y", "association X\\Y0x12 S", "association X\\Y0x12 S"}, {}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tztest::TestEnv env(Fixture(c.automatic));
    StoreProperties(c.stored);
    tzplatform::LogCapture capture;

    EXPECT_EQ(UpdateSubclient(kOrbal, kApp, Answer(c.answer), c.markForceFull), c.result);

    EXPECT_EQ(StoredProperties(), c.after);
    EXPECT_EQ(CircularLoggingEvents(capture), c.events);
    std::vector<std::string> lines = {
        Line(c.automatic ? "This is an automatic subclient" : "This is a manual subclient")};
    for (const std::string& db : c.events) lines.push_back(CircularLine(db));
    lines.push_back(Line("Remove old sublicent content done"));
    for (const std::string& db : c.newCircular) lines.push_back(CircularLine(db));
    lines.push_back(Line("Add new sublicent content done"));
    EXPECT_EQ(capture.Texts(), lines);
  }
}

TEST(UpdateSubclientTest, MarksForAFullBackupOnlyOnce) {
  tztest::TestEnv env(Fixture(true));
  StoreProperties({"c Second|DB03"});
  Uvo::DAGDBResp answer = Answer({"Second\\DB03@MBX03*"});

  tzplatform::LogCapture first;
  EXPECT_EQ(UpdateSubclient(kOrbal, kApp, answer, true), -3);
  EXPECT_EQ(CircularLoggingEvents(first), std::vector<std::string>{"Second\\DB03"});
  std::vector<std::string> marked = {"content Second|DB03 full",
                                     "association Second\\DB030x12 MBX03"};
  EXPECT_EQ(StoredProperties(), marked);

  tzplatform::LogCapture second;
  EXPECT_EQ(UpdateSubclient(kOrbal, kApp, answer, true), 0);
  EXPECT_EQ(CircularLoggingEvents(second), std::vector<std::string>{"Second\\DB03"});
  EXPECT_EQ(StoredProperties(), marked);
}

TEST(UpdateSubclientTest, FailedLookupsAndAnAnswerWithoutADatabaseListChangeNothing) {
  struct Case {
    const char* call;  // fault hook, or null
    uint32_t app;
    bool listless;  // the answer carries no databases list
    std::string line;
  };
  const Case cases[] = {
      {"ApplicationId::getApplicationId", kApp, false,
       "getApplicationId() failed with error 'the configuration store could not be read (status "
       "7)'."},
      {nullptr, 99, false,
       "getApplicationId() failed with error 'application 99 of installation 1 is not in the "
       "configuration store'."},
      {"ApplicationId::getSubclient", kApp, false, "Failed to get subclient"},
      {"MsExchangeSubclient::isselectionTypeAutomatic", kApp, false,
       "isselectionTypeManual failed"},
      {"ApplProperties::getProperties", kApp, false, "Subclient configuration lookup failed."},
      {nullptr, kApp, true, "Discovery answer carries no database list; subclient left unchanged."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    tztest::TestEnv env(Fixture(true));
    StoreProperties({"c First|DB01", "a First\\DB010x12=MBX03"});
    std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    if (c.call != nullptr) faults.Fail(c.call, std::to_string(kApp), 7);
    Uvo::DAGDBResp answer = c.listless ? Uvo::DAGDBResp() : Answer({"Second\\DB02@MBX01"});
    tzplatform::LogCapture capture;

    EXPECT_EQ(UpdateSubclient(kOrbal, c.app, answer, true), -1);

    std::vector<std::string> texts = capture.Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), Line(c.line));
    EXPECT_TRUE(capture.Events().empty());
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  }
}

// The update is one store transaction: a write that fails anywhere, a commit
// that fails, or a write lock another writer holds past the busy timeout
// gives -1 with the line that says which, and the store exactly as before.
TEST(UpdateSubclientTest, AnyStoreFailureLeavesTheStoreAsItWas) {
  // Stored: two content entries (one kept, one gone) and one association; the
  // store names content entries exdb-1, exdb-2, ... in the order they come.
  const std::vector<std::string> stored = {"c First|DB01", "c Old|DB09", "a First\\DB010x12=MBX03"};
  const Uvo::DAGDBResp answer = Answer({"First\\DB01@MBX02*", "Second\\DB02@MBX01"});
  const std::vector<std::string> updated = {"content First|DB01 full", "content Second|DB02",
                                            "association First\\DB010x12 MBX02",
                                            "association Second\\DB020x12 MBX01"};
  struct Case {
    const char* call;
    const char* key;   // the subclient when null
    int skip;          // calls that pass before the one that fails
    std::string line;  // the last line
  };
  // clang-format off
  const Case cases[] = {
      {"ApplProperties::deleteProperty", nullptr, 0,
       "Failed to delete property exdb-2. ErrCode = 5."},
      {"ApplProperties::deleteProperty", nullptr, 1,
       "Failed to delete property First\\DB010x12. ErrCode = 5."},
      {"ApplProperties::updateProperty", nullptr, 0,
       "Failed to update property exdb-1. ErrCode = 5."},
      {"Subclient::addProperties", nullptr, 0,
       "Failed to add properties Second\\DB02, First\\DB010x12, Second\\DB020x12. ErrCode = 5."},
      {"StoreTransaction::Commit", "*", 0,
       "Could not commit the update (injected fault (status 5)); subclient left unchanged. "
       "ErrCode = 5."},
      {"StoreTransaction::StoreTransaction", "*", 0,
       "Could not begin a store transaction (injected fault (status 5)); subclient left "
       "unchanged. ErrCode = 5."},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    tztest::TestEnv env(Fixture(true));
    StoreProperties(stored);
    const std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    faults.Fail(c.call, c.key != nullptr ? c.key : std::to_string(kApp), 5, 1, c.skip);
    tzplatform::LogCapture capture;

    EXPECT_EQ(UpdateSubclient(kOrbal, kApp, answer, true), -1);

    ASSERT_FALSE(capture.Texts().empty());
    EXPECT_EQ(capture.Texts().back(), Line(c.line));
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  }

  // A platform exception passes through, after the roll-back.
  {
    tztest::TestEnv env(Fixture(true));
    StoreProperties(stored);
    const std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    faults.Throw("Subclient::addProperties", std::to_string(kApp));
    EXPECT_THROW(UpdateSubclient(kOrbal, kApp, answer, true), tzplatform::InjectedFault);
    EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  }

  // Every write of the update failing in turn. A failed write of the
  // circular-logging event does not fail the update: the log says so, and the
  // store has everything but the event.
  int positions = 0;
  for (int skip = 0;; ++skip, ++positions) {
    SCOPED_TRACE("write " + std::to_string(skip));
    tztest::TestEnv env(Fixture(true));
    StoreProperties(stored);
    const std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    faults.Fail("Store::write", "*", 9, 1, skip);
    tzplatform::LogCapture capture;

    const int result = UpdateSubclient(kOrbal, kApp, answer, true);

    if (faults.Fired("Store::write", "*") == 0) {
      EXPECT_EQ(result, -3);
      EXPECT_EQ(StoredProperties(), updated);
      break;
    }
    const std::vector<std::string> texts = capture.Texts();
    if (result == -1) {
      EXPECT_TRUE(
          tztest::LinesEndWith(texts, {"configuration store *: injected write failure (status 9)",
                                       Line("Failed to * ErrCode = 3.")}));
      EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
    } else {
      EXPECT_EQ(result, -3);
      EXPECT_TRUE(tztest::LinesAre(
          {texts[1], texts[2]},
          {"event 0x1C000175 was not stored: configuration store *: injected write failure "
           "(status 9)",
           CircularLine("First\\DB01")}));
      EXPECT_EQ(StoredProperties(), updated);
      EXPECT_TRUE(tzplatform::StoredEvents(env.storePath()).empty());
    }
  }
  // The event and its argument, one mark, two deletions, the content entry's
  // name and the entry, two associations.
  EXPECT_EQ(positions, 9);

  // Another writer holds the lock past the busy timeout.
  tztest::TestEnv env(Fixture(true));
  StoreProperties(stored);
  const std::string before = tzplatform::DumpStore(env.storePath());
  tzplatform::SetStoreBusyTimeout(50);
  {
    tztest::LockHolder other(env.storePath());
    tzplatform::LogCapture capture;
    EXPECT_EQ(UpdateSubclient(kOrbal, kApp, answer, true), -1);
    EXPECT_TRUE(tztest::LinesAre(
        capture.Texts(),
        {"configuration store *: another writer holds the write lock (waited 50 ms)",
         Line("Could not begin a store transaction (configuration store *: "
              "another writer holds the write lock (waited 50 ms)); subclient "
              "left unchanged. ErrCode = 5.")}));
  }
  EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
  EXPECT_EQ(UpdateSubclient(kOrbal, kApp, answer, true), -3);
}

// A dump of the whole store in which events differ only by what they say,
// not by when or by which process they were raised.
std::string StableDump(const std::string& path) {
  static const std::regex kRaised("'[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z'\\|[0-9]+\\|");
  return std::regex_replace(tzplatform::DumpStore(path), kRaised, "'when'|pid|");
}

const int kKilled = 1000;

// Runs `body` in a child process on the store at `store` with faults it arms;
// the child's result (-128..127), or kKilled when it was killed.
template <typename Body>
int RunInChild(const std::string& store, Body&& body) {
  pid_t pid = fork();
  if (pid == 0) {
    tzplatform::SetStorePath(store);
    tzplatform::FaultInjector faults;
    _exit(body(faults) & 0xff);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1000;
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return kKilled;
  return WIFEXITED(status) ? static_cast<int8_t>(WEXITSTATUS(status)) : -1000;
}

// Killed at any write of the update, or just before it commits, the update
// leaves the store exactly as it was or exactly as a whole update leaves it,
// never between: a manual subclient keeps every association it had.
TEST(UpdateSubclientTest, AKilledUpdateLeavesTheOldOrTheNewStore) {
  const std::vector<std::string> stored = {"c First|DB01", "c Old|DB09", "a First\\DB010x12=MBX03",
                                           "a Old\\DB090x12=MBX01", "o note=keep me"};
  const Uvo::DAGDBResp answer = Answer({"First\\DB01@MBX02*", "Second\\DB02@MBX01"});
  for (bool automatic : {true, false}) {
    SCOPED_TRACE(automatic ? "automatic" : "manual");
    tztest::TestEnv env(Fixture(automatic));
    StoreProperties(stored);
    const std::string base = env.dir() + "/base.db";
    const std::string whole = env.dir() + "/whole.db";
    tzplatform::CopyStore(env.storePath(), base);
    tzplatform::CopyStore(env.storePath(), whole);
    {
      tztest::UseStore use(whole);
      ASSERT_EQ(UpdateSubclient(kOrbal, kApp, answer, true), -3);
    }
    const std::string oldState = StableDump(base);
    const std::string newState = StableDump(whole);
    ASSERT_NE(oldState, newState);

    // Each run is killed at the write of its number (the writes counted in
    // order), until one runs through; then one is killed just before its
    // commit.
    int olds = 0, news = 0;
    for (int point = 0; news == 0 && point < 100; ++point) {
      SCOPED_TRACE("crash point " + std::to_string(point));
      const std::string work = env.dir() + "/work" + std::to_string(point) + ".db";
      tzplatform::CopyStore(base, work);
      const int status = RunInChild(work, [&](tzplatform::FaultInjector& faults) {
        faults.Crash("Store::write", "*", point);
        return UpdateSubclient(kOrbal, kApp, answer, true);
      });
      const std::string after = StableDump(work);
      if (status == -3) {
        EXPECT_EQ(after, newState);
        ++news;
      } else {
        ASSERT_EQ(status, kKilled);
        ASSERT_EQ(after, oldState) << "a partial update";
        ++olds;
      }
    }
    const std::string work = env.dir() + "/commit.db";
    tzplatform::CopyStore(base, work);
    EXPECT_EQ(RunInChild(work,
                         [&](tzplatform::FaultInjector& faults) {
                           faults.Crash("StoreTransaction::Commit", "*");
                           return UpdateSubclient(kOrbal, kApp, answer, true);
                         }),
              kKilled);
    EXPECT_EQ(StableDump(work), oldState);
    ++olds;
    // Ten writes (the event, its argument, a mark, three deletions, a content
    // name, the entry, two associations) and the commit.
    EXPECT_EQ(olds, 11);
  }
}

TEST(IsManualSubclientTest, AnswersFromTheSelectionType) {
  struct Case {
    bool automatic;
    uint32_t app;
    const char* fault;
    bool manual;
    std::string line;
  };
  const Case cases[] = {
      {true, kApp, nullptr, false, "This is automatic subclient"},
      {false, kApp, nullptr, true, "This is manual subclient"},
      {false, 99, nullptr, false,
       "getApplicationId() failed with error 'application 99 of installation 1 is not in the "
       "configuration store'."},
      {false, kApp, "ApplicationId::getSubclient", false, "Failed to get subclient"},
      // A failed query leaves the flag as preset (not automatic): manual.
      {true, kApp, "MsExchangeSubclient::isselectionTypeAutomatic", true,
       "isselectionTypeManual failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    tztest::TestEnv env(Fixture(c.automatic));
    tzplatform::FaultInjector faults;
    if (c.fault != nullptr) faults.Fail(c.fault, std::to_string(kApp), 3);
    tzplatform::LogCapture capture;
    EXPECT_EQ(IsManualSubclient(kOrbal, c.app), c.manual);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{"[IsAutomaticSubclient]: " + c.line});
  }
}

}  // namespace
