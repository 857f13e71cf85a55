// The change journal of the store: entries written with the update they
// describe or not at all, read back newest first through each filter, pruned
// by time; a store from before the journal, upgraded once; and an update
// killed at any write that leaves neither half of itself behind.
#include <sqlite3.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "journal_support.h"
#include "store_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/Journal.h"
#include "tzplatform/StoreTransaction.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace {

using Texts = std::vector<std::string>;
using tzplatform::JournalChange;
using tzplatform::JournalChangeKind;
using tzplatform::JournalEntry;

JournalEntry Entry(uint32_t client, uint32_t subclient, std::vector<JournalChange> changes) {
  JournalEntry entry;
  entry.orbalId = 1;
  entry.clientId = client;
  entry.subclientId = subclient;
  entry.server = "MBX02";
  entry.result = -3;
  entry.changes = std::move(changes);
  return entry;
}

JournalChange Change(JournalChangeKind kind, const std::string& database) {
  JournalChange change;
  change.kind = kind;
  change.database = database;
  return change;
}

JournalChange Moved(const std::string& database, const char* from, const std::string& to) {
  JournalChange change = Change(JournalChangeKind::kReassociated, database);
  change.hadServer = from != nullptr;
  change.from = from != nullptr ? from : "";
  change.to = to;
  return change;
}

// "client/subclient: change database [from>to], ..." for each entry, in the
// order read.
Texts Described(const std::vector<JournalEntry>& entries) {
  Texts lines;
  for (const JournalEntry& e : entries) {
    std::string line = std::to_string(e.clientId) + "/" + std::to_string(e.subclientId) + ":";
    for (const JournalChange& c : e.changes) {
      static const char* const kKinds[] = {"removed", "added", "reassociated", "marked"};
      line += std::string(" ") + kKinds[static_cast<int>(c.kind)] + " " + c.database;
      if (c.kind == JournalChangeKind::kReassociated) {
        line += " " + (c.hadServer ? c.from : "-") + ">" + c.to;
      }
    }
    lines.push_back(line);
  }
  return lines;
}

// The rows `sql` reads from the store file at `path`, "|" between columns
// and a line end after each row.
std::string Rows(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string rows;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, sql.c_str(),
        [](void* out, int columns, char** values, char**) {
          auto& text = *static_cast<std::string*>(out);
          for (int i = 0; i < columns; ++i)
            text += (i > 0 ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
          text += "\n";
          return 0;
        },
        &rows, nullptr);
  }
  sqlite3_close(db);
  return rows;
}

// Runs SQL on a store file directly, as another program would.
void RawSql(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// Entries are written in the transaction they are given or in one of their
// own, filled in by the store, and read back newest first: by client, by
// subclient, by database (letter case ignored, with only that database's
// changes), from a time on, a number of them; pruning removes what is older
// than a time, changes included.
TEST(JournalTest, EntriesAreWrittenWithTheirTransactionAndReadBackThroughEachFilter) {
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string store = env.storePath();
  {
    tzplatform::StoreTransaction rolledBack;
    JournalEntry lost = Entry(2, 10, {Change(JournalChangeKind::kAdded, "Lost\\DB99")});
    ASSERT_EQ(tzplatform::RecordJournalEntry(lost), 0);
  }
  JournalEntry first = Entry(
      2, 11,
      {Change(JournalChangeKind::kRemoved, "Old\\DB09"),
       Change(JournalChangeKind::kAdded, "Second\\DB02"), Moved("Second\\DB02", nullptr, "MBX02"),
       Moved("First\\DB01", "MBX01", "MBX03"), Change(JournalChangeKind::kMarked, "Second\\DB03")});
  {
    tzplatform::StoreTransaction kept;
    ASSERT_EQ(tzplatform::RecordJournalEntry(first), 0);
    ASSERT_EQ(kept.Commit(), 0);
  }
  JournalEntry second = Entry(2, 12, {Change(JournalChangeKind::kAdded, "second\\db02")});
  JournalEntry third = Entry(5, 13, {Change(JournalChangeKind::kRemoved, "Other\\DB01")});
  ASSERT_EQ(tzplatform::RecordJournalEntry(second), 0);
  ASSERT_EQ(tzplatform::RecordJournalEntry(third), 0);
  EXPECT_LT(first.id, second.id);
  EXPECT_EQ(first.time.size(), 24u);
  EXPECT_EQ(first.host.empty(), false);
  EXPECT_EQ(first.user.empty(), false);

  const std::string firstLine =
      "2/11: removed Old\\DB09 added Second\\DB02 reassociated Second\\DB02 ->MBX02 "
      "reassociated First\\DB01 MBX01>MBX03 marked Second\\DB03";
  auto read = [&](tzplatform::JournalQuery query) {
    return Described(tzplatform::ReadJournal(store, query));
  };
  tzplatform::JournalQuery all, client, subclient, database, since, limit, future;
  client.clientId = 2;
  subclient.subclientId = 12;
  database.database = "SECOND\\DB02";
  since.since = first.time;
  limit.limit = 2;
  future.since = "9999-01-01T00:00:00.000Z";
  EXPECT_EQ(read(all), (Texts{"5/13: removed Other\\DB01", "2/12: added second\\db02", firstLine}));
  EXPECT_EQ(read(client), (Texts{"2/12: added second\\db02", firstLine}));
  EXPECT_EQ(read(subclient), (Texts{"2/12: added second\\db02"}));
  EXPECT_EQ(read(database), (Texts{"2/12: added second\\db02",
                                   "2/11: added Second\\DB02 reassociated Second\\DB02 ->MBX02"}));
  EXPECT_EQ(read(since).size(), 3u);
  EXPECT_EQ(read(limit), (Texts{"5/13: removed Other\\DB01", "2/12: added second\\db02"}));
  EXPECT_THAT(read(future), ::testing::IsEmpty());
  EXPECT_EQ(tzplatform::ReadJournal(store, all)[2].time, first.time);

  EXPECT_EQ(tzplatform::PruneJournal(store, first.time), 0u);
  EXPECT_EQ(tzplatform::PruneJournal(store, "9999-01-01T00:00:00.000Z"), 3u);
  EXPECT_THAT(read(all), ::testing::IsEmpty());
  EXPECT_EQ(Rows(store, "SELECT count(*) FROM journal_changes"), "0\n");
}

// A journal entry the store cannot take is a status, with the store's line in
// the log, and leaves the caller's entry as it was.
TEST(JournalTest, AFailedWriteIsAStatusAndChangesNothing) {
  tztest::TestEnv env(tztest::DemoFixture());
  JournalEntry entry = Entry(2, 11, {Change(JournalChangeKind::kAdded, "New\\DB01")});
  {
    tzplatform::FaultInjector faults;
    faults.Fail("Journal::Record", "11", 5);
    EXPECT_EQ(tzplatform::RecordJournalEntry(entry), 5);
  }
  tzplatform::FaultInjector faults;
  faults.Fail("Store::write", "*", 7);
  tzplatform::LogCapture capture;
  EXPECT_EQ(tzplatform::RecordJournalEntry(entry), tzplatform::StoreTransaction::kStoreFailure);
  EXPECT_EQ(entry.id, 0);
  EXPECT_EQ(entry.time, "");
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Lines()[0].function, "Journal::Record");
  EXPECT_THAT(tzplatform::ReadJournal(env.storePath(), {}), ::testing::IsEmpty());
}

// What people write for a time, in UTC, and what the journal compares it as.
TEST(JournalTest, TimesAreReadAsPeopleWriteThemOrRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"2026-12-06", "2026-12-06T00:00:00.000Z"},
      {"2026-12-06T10:58", "2026-12-06T10:58:00.000Z"},
      {"2026-12-06 10:58:33", "2026-12-06T10:58:33.000Z"},
      {"2026-12-06T10:58:33Z", "2026-12-06T10:58:33.000Z"},
      {"2024-02-29", "2024-02-29T00:00:00.000Z"},
      {"2026-02-29", ""},
      {"2026-13-01", ""},
      {"2026-12-06T24:00", ""},
      {"2026-12-06T10:60", ""},
      {"2026-12-06Z", ""},
      {"2026-12-6", ""},
      {"2026-12-06T10", ""},
      {"2026-12-06T10:58:33.5", ""},
      {"2026-12-06x10:58", ""},
      {" 2026-12-06", ""},
      {"", ""},
      {"yesterday", ""},
  };
  for (const auto& [text, time] : cases) EXPECT_EQ(tzplatform::JournalTime(text), time) << text;
}

std::string SchemaVersion(const std::string& path) {
  return Rows(path, "SELECT value FROM meta WHERE key = 'schema_version'");
}

// A store made before the journal existed (schema version 1) is read as it
// is, upgraded once when it is written, and then keeps its journal like any
// other: what a sync stores in it is what it stores in a new store.
TEST(JournalTest, AStoreFromBeforeTheJournalIsUpgradedOnceAndWorks) {
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string current = env.dir() + "/current.db";
  tzplatform::CopyStore(env.storePath(), current);
  const std::string old = env.dir() + "/old.db";
  tzplatform::CopyStore(env.storePath(), old);
  RawSql(old,
         "DROP TABLE journal_changes; DROP TABLE journal;"
         " UPDATE meta SET value = '1' WHERE key = 'schema_version'");
  ASSERT_EQ(SchemaVersion(old), "1\n");
  auto tzdag = [&](const std::string& store, std::vector<std::string> args) {
    args.insert(args.begin(), {"--store", store, "--remote-root", env.remoteRoot(), "--log",
                               env.dir() + "/tool-log.txt"});
    return tztest::RunTzdag(args);
  };
  const tztest::ToolRun history = tzdag(old, {"history"});
  EXPECT_EQ(history.exitCode, 0) << history.err;
  EXPECT_EQ(history.out, "The journal has no entry.\n");
  for (const std::string& store : {old, current}) {
    const tztest::ToolRun sync =
        tzdag(store, {"sync", "--orbal", "1", "--client", "2", "--allow-removal"});
    EXPECT_EQ(sync.exitCode, 3) << sync.out << sync.err;
  }
  EXPECT_EQ(SchemaVersion(old), "2\n");
  EXPECT_EQ(tztest::ConfigurationRows(old, true), tztest::ConfigurationRows(current, true));
  EXPECT_EQ(tztest::JournalLines(old), tztest::JournalLines(current));
  EXPECT_EQ(tztest::JournalLines(old).size(), 3u);
  // Once: a second run finds it upgraded and has nothing left to change.
  const tztest::ToolRun again = tzdag(old, {"sync", "--orbal", "1", "--client", "2"});
  EXPECT_EQ(again.exitCode, 3) << again.err;
  EXPECT_EQ(tztest::JournalLines(old).size(), 3u);
}

// Brings subclient 11 of the demo up to date, removal allowed: 0 when it did.
int SyncBody() {
  _tagSyncOptions options;
  options.allowRemoval = true;
  _tagSubclientSync sync;
  return SyncSubclient(1, 2, 11, options, sync) ? 0 : 1;
}

// Killed at each write in turn (the update's, its events' and its journal
// entry's) or just before the commit, bringing a subclient up to date leaves
// the store exactly as it was or exactly as a whole run leaves it: never an
// update without its journal entry, nor an entry without its update.
TEST(JournalTest, AKilledUpdateLeavesNeitherHalfOfItselfBehind) {
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string base = env.dir() + "/base.db", whole = env.dir() + "/whole.db";
  tzplatform::CopyStore(env.storePath(), base);
  tzplatform::CopyStore(env.storePath(), whole);
  {
    tztest::UseStore use(whole);
    ASSERT_EQ(SyncBody(), 0);
  }
  ASSERT_EQ(tzplatform::ReadJournal(whole, {}).size(), 1u);
  const int writes = tztest::CrashAtEachWrite(base, whole, env.dir(), 0, SyncBody);
  // The update's writes (its event and argument, deletions, content names,
  // entries, associations), then the entry and its seven changes.
  EXPECT_GT(writes, 8);
}

}  // namespace
