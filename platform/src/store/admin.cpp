// Administration of the configuration store: checks, dumps, copies, events.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "store/connection.h"
#include "store/scratch_file.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace tzplatform {

using store::Connection;
using store::Statement;

void CheckStore(const std::string& path) {
  store::ThreadConnection(path);
}

void CheckStoreWritable(const std::string& path) {
  CheckStore(path);
  if (StoreReadOnly()) {
    throw StoreError("configuration store " + path +
                     ": not written: this program opened it for reading only");
  }
  const std::string why = store::WhyNotWritable(path);
  if (!why.empty()) throw StoreError("configuration store " + path + " cannot be written: " + why);
}

std::vector<std::string> StoreIntegrityProblems(const std::string& path, int limit) {
  Connection* db = nullptr;
  try {
    db = &store::ThreadConnection(path);
  } catch (const StoreDamaged& e) {
    return {e.detail()};
  }
  std::vector<std::string> problems = db->IntegrityProblems(std::max(limit, 1));
  if (!problems.empty()) {
    store::RememberDamage(path, "SQLite's integrity check failed: " + problems[0]);
  }
  return problems;
}

std::string StoreDamageSeen(const std::string& path) {
  return store::DamageOf(path);
}

namespace {

// Who besides the owner may write a folder of mode `mode`; empty: nobody.
std::string OtherWriters(mode_t mode) {
  if ((mode & S_IWGRP) && (mode & S_IWOTH)) return "its group and every other user";
  if (mode & S_IWGRP) return "its group";
  if (mode & S_IWOTH) return "every other user";
  return std::string();
}

std::string Octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

}  // namespace

std::vector<ExposedFolder> ExposedStoreFolders(const std::string& path) {
  const std::string storeFolder = store::FolderOf(path);
  const std::string keyFolder = store::FolderOf(KeyFile());
  struct stat store {
  }, key{};
  const bool storeKnown = stat(storeFolder.c_str(), &store) == 0;
  const bool keyKnown = stat(keyFolder.c_str(), &key) == 0;
  const bool same =
      storeKnown && keyKnown && store.st_dev == key.st_dev && store.st_ino == key.st_ino;
  std::vector<ExposedFolder> exposed;
  if (storeKnown && !OtherWriters(store.st_mode).empty()) {
    exposed.push_back(
        {storeFolder, "the folder " + storeFolder + " of the configuration store" +
                          (same ? " and its host key" : "") + " can be written by " +
                          OtherWriters(store.st_mode) + " (mode " + Octal(store.st_mode) +
                          "): they can put another store" + (same ? " or key" : "") +
                          " in its place, or plant the files SQLite reads beside it"});
  }
  if (!same && keyKnown && !OtherWriters(key.st_mode).empty()) {
    exposed.push_back({keyFolder, "the folder " + keyFolder +
                                      " of the host key can be written by " +
                                      OtherWriters(key.st_mode) + " (mode " + Octal(key.st_mode) +
                                      "): they can put another key in its place"});
  }
  return exposed;
}

namespace {

struct CloseHandle {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

std::string QuoteIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted += c;
    if (c == '"') quoted += '"';
  }
  return quoted + "\"";
}

}  // namespace

std::string DumpStore(const std::string& path) {
  Connection& db = store::ThreadConnection(path);
  store::ReadTransaction snapshot(db);
  std::string dump;
  Statement tables(db,
                   "SELECT name FROM sqlite_master WHERE type = 'table'"
                   " AND name NOT LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name");
  while (tables.Step()) {
    const std::string table = tables.Text(0);
    std::vector<std::string> columns;
    Statement info(db, "SELECT name FROM pragma_table_info(?1) ORDER BY cid");
    info.Bind(1, table);
    while (info.Step()) columns.push_back(info.Text(0));

    dump += "table " + table + " (";
    std::string select = "SELECT ";
    std::string order = " ORDER BY ";
    for (size_t i = 0; i < columns.size(); ++i) {
      dump += (i > 0 ? ", " : "") + columns[i];
      select += (i > 0 ? ", " : "") + std::string("quote(") + QuoteIdentifier(columns[i]) + ")";
      order += (i > 0 ? ", " : "") + std::to_string(i + 1);
    }
    dump += ")\n";
    if (columns.empty()) continue;
    // Ordered by every column, so equal content dumps equally whatever the
    // order the rows were written in.
    Statement rows(db, select + " FROM " + QuoteIdentifier(table) + order);
    while (rows.Step()) {
      dump += " ";
      for (size_t i = 0; i < columns.size(); ++i) {
        dump += (i > 0 ? "|" : " ") + rows.Text(static_cast<int>(i));
      }
      dump += "\n";
    }
  }
  return dump;
}

void CopyStore(const std::string& from, const std::string& to) {
  Connection& source = store::ThreadConnection(from);
  store::ScratchFile scratch(to);
  {
    std::unique_ptr<sqlite3, CloseHandle> copy(
        store::OpenFile(scratch.path(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE));
    int rc = SQLITE_OK;
    // One step copies every page under one read transaction of the source,
    // so the copy is consistent even while other connections write.
    sqlite3_backup* backup = sqlite3_backup_init(copy.get(), "main", source.handle(), "main");
    if (backup == nullptr) {
      throw StoreError("cannot copy " + from + " to " + to + ": " + sqlite3_errmsg(copy.get()));
    }
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(StoreBusyTimeout());
    do {
      rc = sqlite3_backup_step(backup, -1);
      if ((rc == SQLITE_BUSY || rc == SQLITE_LOCKED) &&
          std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        rc = SQLITE_OK;
      }
    } while (rc == SQLITE_OK);
    sqlite3_backup_finish(backup);
    if (store::IsDamage(rc)) store::Damaged(from, sqlite3_errstr(rc));
    if (rc != SQLITE_DONE) {
      throw StoreError("cannot copy " + from + " to " + to + ": " + sqlite3_errstr(rc));
    }
    if (sqlite3_exec(copy.get(), "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) !=
        SQLITE_OK) {
      throw StoreError("cannot copy " + from + " to " + to + ": " + sqlite3_errmsg(copy.get()));
    }
  }
  scratch.MoveIntoPlace();
}

std::vector<StoredClient> DagClients(const std::string& path) {
  Connection& db = store::ThreadConnection(path);
  store::ReadTransaction snapshot(db);
  std::vector<StoredClient> clients;
  Statement rows(db,
                 "SELECT id, name FROM clients WHERE id IN"
                 " (SELECT client_id FROM client_properties WHERE type = 125) ORDER BY id");
  while (rows.Step()) {
    clients.push_back(StoredClient{static_cast<uint32_t>(rows.Int(0)), rows.Text(1)});
  }
  return clients;
}

std::vector<RaisedEvent> StoredEvents(const std::string& path) {
  Connection& db = store::ThreadConnection(path);
  store::ReadTransaction snapshot(db);
  std::vector<RaisedEvent> events;
  std::vector<int64_t> rows;
  Statement read(db, "SELECT id, severity, event_id, param1, param2 FROM events ORDER BY id");
  while (read.Step()) {
    RaisedEvent event;
    rows.push_back(read.Int(0));
    event.severity = read.Text(1) == "critical" ? EventSeverity::kCritical : EventSeverity::kInfo;
    event.id = static_cast<uint32_t>(read.Int(2));
    event.param1 = static_cast<int>(read.Int(3));
    event.param2 = static_cast<int>(read.Int(4));
    events.push_back(std::move(event));
  }
  Statement arguments(db,
                      "SELECT kind, value FROM event_arguments WHERE event_row = ?1"
                      " ORDER BY position");
  for (size_t i = 0; i < events.size(); ++i) {
    arguments.Reset();
    arguments.Bind(1, rows[i]);
    while (arguments.Step()) {
      events[i].arguments.push_back(
          EventArgument{static_cast<int>(arguments.Int(0)), arguments.Text(1)});
    }
  }
  return events;
}

}  // namespace tzplatform
