// The change journal of the configuration store.
#include "tzplatform/Journal.h"

#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <vector>

#include "store/connection.h"
#include "store/store_call.h"
#include "store/utc_time.h"

namespace tzplatform {
namespace {

using store::Connection;
using store::Statement;

const char* KindName(JournalChangeKind kind) {
  switch (kind) {
    case JournalChangeKind::kRemoved:
      return "removed";
    case JournalChangeKind::kReassociated:
      return "reassociated";
    case JournalChangeKind::kMarked:
      return "marked";
    default:
      return "added";
  }
}

JournalChangeKind KindOf(const std::string& name) {
  if (name == "removed") return JournalChangeKind::kRemoved;
  if (name == "reassociated") return JournalChangeKind::kReassociated;
  if (name == "marked") return JournalChangeKind::kMarked;
  return JournalChangeKind::kAdded;
}

// The account this process acts as: what the system says, not what the
// environment claims.
std::string CurrentUser() {
  const uid_t uid = geteuid();
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr && found->pw_name[0] != '\0') {
    return found->pw_name;
  }
  return "uid " + std::to_string(uid);
}

std::string HostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') return "(unknown host)";
  return name;
}

// A store upgraded from before the journal has one only once it was written
// to; until then there is nothing in it.
bool HasJournal(Connection& db) {
  Statement table(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'journal'");
  return table.Step();
}

void Write(JournalEntry& entry) {
  Connection& db = store::CurrentStore();
  store::WriteTransaction transaction(db);
  entry.time = store::UtcNow();
  entry.user = CurrentUser();
  entry.host = HostName();
  Statement insert(
      db,
      "INSERT INTO journal (made_at, orbal_id, client_id, subclient_id, server, result,"
      " user_name, host_name) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
  insert.Bind(1, entry.time)
      .Bind(2, int64_t{entry.orbalId})
      .Bind(3, int64_t{entry.clientId})
      .Bind(4, int64_t{entry.subclientId})
      .Bind(5, entry.server)
      .Bind(6, int64_t{entry.result})
      .Bind(7, entry.user)
      .Bind(8, entry.host)
      .Run();
  {
    Statement last(db, "SELECT last_insert_rowid()");
    entry.id = last.Step() ? last.Int(0) : 0;
  }
  Statement change(db,
                   "INSERT INTO journal_changes (entry, position, change, database_name,"
                   " from_server, to_server) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
  for (size_t i = 0; i < entry.changes.size(); ++i) {
    const JournalChange& c = entry.changes[i];
    const bool moved = c.kind == JournalChangeKind::kReassociated;
    change.Reset();
    change.Bind(1, entry.id)
        .Bind(2, static_cast<int64_t>(i))
        .Bind(3, std::string(KindName(c.kind)))
        .Bind(4, c.database);
    if (moved && c.hadServer) {
      change.Bind(5, c.from);
    } else {
      change.BindNull(5);
    }
    if (moved) {
      change.Bind(6, c.to);
    } else {
      change.BindNull(6);
    }
    change.Run();
  }
  transaction.Commit();
}

// Whole, non-negative numbers of exactly `digits` digits at `at`.
bool Digits(const std::string& text, size_t at, size_t digits, int& value) {
  if (at + digits > text.size()) return false;
  value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

}  // namespace

int RecordJournalEntry(JournalEntry& entry) {
  // Filled in on a copy, so that a failure leaves the caller's entry as it was.
  JournalEntry written = entry;
  const int status = store::RunCall("Journal::Record", store::IdKey(entry.subclientId), [&] {
    Write(written);
    return int{store::kOk};
  });
  if (status == store::kOk) entry = std::move(written);
  return status;
}

std::vector<JournalEntry> ReadJournal(const std::string& path, const JournalQuery& query) {
  Connection& db = store::ThreadConnection(path);
  store::ReadTransaction snapshot(db);
  std::vector<JournalEntry> entries;
  if (!HasJournal(db)) return entries;

  Statement rows(db,
                 "SELECT id, made_at, orbal_id, client_id, subclient_id, server, result,"
                 " user_name, host_name FROM journal AS j"
                 " WHERE (?1 IS NULL OR client_id = ?1) AND (?2 IS NULL OR subclient_id = ?2)"
                 " AND (?3 IS NULL OR made_at >= ?3) AND (?4 IS NULL OR EXISTS (SELECT 1 FROM"
                 " journal_changes AS c WHERE c.entry = j.id AND c.database_name = ?4 COLLATE"
                 " NOCASE)) ORDER BY id DESC LIMIT ?5");
  if (query.clientId) rows.Bind(1, int64_t{*query.clientId});
  if (query.subclientId) rows.Bind(2, int64_t{*query.subclientId});
  if (!query.since.empty()) rows.Bind(3, query.since);
  if (!query.database.empty()) rows.Bind(4, query.database);
  rows.Bind(5, query.limit == 0 ? int64_t{-1} : static_cast<int64_t>(query.limit));
  while (rows.Step()) {
    JournalEntry entry;
    entry.id = rows.Int(0);
    entry.time = rows.Text(1);
    entry.orbalId = static_cast<uint32_t>(rows.Int(2));
    entry.clientId = static_cast<uint32_t>(rows.Int(3));
    entry.subclientId = static_cast<uint32_t>(rows.Int(4));
    entry.server = rows.Text(5);
    entry.result = static_cast<int>(rows.Int(6));
    entry.user = rows.Text(7);
    entry.host = rows.Text(8);
    entries.push_back(std::move(entry));
  }

  Statement changes(db,
                    "SELECT change, database_name, from_server, to_server FROM journal_changes"
                    " WHERE entry = ?1 AND (?2 IS NULL OR database_name = ?2 COLLATE NOCASE)"
                    " ORDER BY position");
  for (JournalEntry& entry : entries) {
    changes.Reset();
    changes.Bind(1, entry.id);
    if (!query.database.empty()) changes.Bind(2, query.database);
    while (changes.Step()) {
      JournalChange change;
      change.kind = KindOf(changes.Text(0));
      change.database = changes.Text(1);
      change.hadServer = !changes.IsNull(2);
      change.from = changes.Text(2);
      change.to = changes.Text(3);
      entry.changes.push_back(std::move(change));
    }
  }
  return entries;
}

size_t PruneJournal(const std::string& path, const std::string& before) {
  Connection& db = store::ThreadConnection(path);
  store::WriteTransaction transaction(db);
  if (!HasJournal(db)) return 0;
  Statement changes(db,
                    "DELETE FROM journal_changes WHERE entry IN"
                    " (SELECT id FROM journal WHERE made_at < ?1)");
  changes.Bind(1, before).Run();
  Statement entries(db, "DELETE FROM journal WHERE made_at < ?1");
  const int removed = entries.Bind(1, before).Run();
  transaction.Commit();
  return static_cast<size_t>(removed);
}

std::string JournalTime(const std::string& text) {
  // YYYY-MM-DD, then optionally T or a blank, HH:MM and optionally :SS; then
  // optionally Z.
  std::string body = text;
  if (!body.empty() && body.back() == 'Z') body.pop_back();
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!Digits(body, 0, 4, year) || body.size() < 10 || body[4] != '-' ||
      !Digits(body, 5, 2, month) || body[7] != '-' || !Digits(body, 8, 2, day)) {
    return "";
  }
  if (body.size() > 10) {
    if ((body[10] != 'T' && body[10] != ' ') || !Digits(body, 11, 2, hour) || body.size() < 16 ||
        body[13] != ':' || !Digits(body, 14, 2, minute)) {
      return "";
    }
    if (body.size() > 16 &&
        (body.size() != 19 || body[16] != ':' || !Digits(body, 17, 2, second))) {
      return "";
    }
  } else if (text.size() != body.size()) {
    return "";  // a Z after a date alone
  }
  // A date and time that exists: the calendar gives the same fields back.
  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  const time_t at = timegm(&fields);
  tm back{};
  if (at == static_cast<time_t>(-1) || gmtime_r(&at, &back) == nullptr || year < 1 ||
      back.tm_year != year - 1900 || back.tm_mon != month - 1 || back.tm_mday != day ||
      back.tm_hour != hour || back.tm_min != minute || back.tm_sec != second) {
    return "";
  }
  char normalized[40];
  std::snprintf(normalized, sizeof(normalized), "%04d-%02d-%02dT%02d:%02d:%02d.000Z", year, month,
                day, hour, minute, second);
  return normalized;
}

}  // namespace tzplatform
