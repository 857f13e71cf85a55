// SQLite connections of the configuration store.
#include "store/connection.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "store/schema.h"
#include "tzplatform/faults.h"
#include "tzplatform/settings.h"

namespace tzplatform {
namespace store {

static_assert(kMigrationCount == kSchemaVersion, "one migration per schema version");

namespace {

[[noreturn]] void Throw(const std::string& message) {
  throw StoreError(message);
}

std::string Describe(const std::string& path) {
  return "configuration store " + path;
}

// Opens the SQLite handle; `flags` decide whether the file may be created.
sqlite3* OpenHandle(const std::string& path, int flags) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    Throw(Describe(path) + ": cannot open: " + message);
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, StoreBusyTimeout());
  return db;
}

// Handles inherited across fork: neither used nor closed by the child (closing
// would release file locks and shared memory the parent still relies on).
// Kept reachable so that leak checkers do not count them.
void KeepForever(sqlite3* db) {
  static std::mutex mu;
  static std::vector<sqlite3*>* handles = new std::vector<sqlite3*>();  // never freed
  std::lock_guard<std::mutex> lock(mu);
  handles->push_back(db);
}

}  // namespace

Connection::Connection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {
  struct stat info {};
  if (stat(path_.c_str(), &info) == 0) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }
}

Connection::~Connection() {
  if (db_ == nullptr) return;
  for (auto& entry : statements_) sqlite3_finalize(entry.second.statement);
  sqlite3_close_v2(db_);
}

void Connection::Abandon() {
  // The cached statements belong to the handle that is kept.
  statements_.clear();
  if (db_ != nullptr) KeepForever(db_);
  db_ = nullptr;
}

sqlite3_stmt* Connection::Acquire(const std::string& sql, bool*& inUse) {
  inUse = nullptr;
  auto found = statements_.find(sql);
  if (found != statements_.end() && !found->second.inUse) {
    found->second.inUse = true;
    inUse = &found->second.inUse;
    return found->second.statement;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr) !=
      SQLITE_OK) {
    sqlite3_finalize(statement);
    Fail("cannot prepare a query");
  }
  if (found == statements_.end()) {
    // References to the map's entries stay valid as it grows.
    CachedStatement& entry = statements_[sql];
    entry.statement = statement;
    entry.inUse = true;
    inUse = &entry.inUse;
  }
  return statement;
}

void Connection::Release(sqlite3_stmt* statement, bool* inUse) noexcept {
  if (inUse == nullptr) {
    sqlite3_finalize(statement);
    return;
  }
  // Reset ends the statement's read of the database, as finalizing would.
  sqlite3_reset(statement);
  sqlite3_clear_bindings(statement);
  *inUse = false;
}

void Connection::Run(const char* sql) {
  bool* inUse = nullptr;
  sqlite3_stmt* statement = Acquire(sql, inUse);
  int rc = SQLITE_ROW;
  while (rc == SQLITE_ROW) rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) {
    std::string message = Describe(path_) + ": " + sqlite3_errmsg(db_);
    Release(statement, inUse);
    Throw(message);
  }
  Release(statement, inUse);
}

bool Connection::TransactionLost() const {
  return depth_ > 0 && sqlite3_get_autocommit(db_) != 0;
}

void Connection::BeforeWrite() {
  if (TransactionLost()) {
    Throw(Describe(path_) +
          ": the transaction was rolled back after an error; nothing more is written");
  }
  if (int status = CheckFault("Store::write", path_)) {
    Throw(Describe(path_) + ": injected write failure (status " + std::to_string(status) + ")");
  }
}

int Connection::RunNoThrow(const char* sql) noexcept {
  try {
    Run(sql);
    return SQLITE_OK;
  } catch (...) {
    return SQLITE_ERROR;
  }
}

std::unique_ptr<Connection> Connection::OpenExisting(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    int error = errno;
    if (error == ENOENT) Throw(Describe(path) + " does not exist");
    Throw(Describe(path) + ": " + std::strerror(error));
  }
  if (!S_ISREG(info.st_mode)) Throw(Describe(path) + " is not a regular file");

  std::unique_ptr<Connection> connection(
      new Connection(OpenHandle(path, SQLITE_OPEN_READWRITE), path));
  // Recognise the store before changing anything in the file.
  int version = connection->ReadSchemaVersion();
  if (version > kSchemaVersion) {
    Throw(Describe(path) + " has schema version " + std::to_string(version) +
          ", newer than version " + std::to_string(kSchemaVersion) +
          " which this program knows; it was left unchanged");
  }
  connection->Configure();
  if (version < kSchemaVersion) connection->Migrate(version);
  return connection;
}

std::unique_ptr<Connection> Connection::CreateNew(const std::string& path) {
  std::unique_ptr<Connection> connection(
      new Connection(OpenHandle(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), path));
  {
    Statement tables(*connection, "SELECT count(*) FROM sqlite_master");
    if (!tables.Step() || tables.Int(0) != 0) Throw(Describe(path) + ": file is not empty");
  }
  connection->Configure();
  connection->Migrate(0);
  return connection;
}

void Connection::Configure() {
  // WAL lets readers go on while one connection writes; FULL makes a
  // committed write survive a crash.
  std::string current;
  {
    Statement mode(*this, "PRAGMA journal_mode");
    if (mode.Step()) current = mode.Text(0);
  }
  if (current != "wal") {
    Statement set(*this, "PRAGMA journal_mode = WAL");
    if (!set.Step() || set.Text(0) != "wal") Fail("cannot switch to write-ahead logging");
  }
  Exec("PRAGMA synchronous = FULL");
  Exec("PRAGMA foreign_keys = ON");
}

int Connection::ReadSchemaVersion() {
  sqlite3_stmt* probe = nullptr;
  int rc = sqlite3_prepare_v2(
      db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'meta'", -1, &probe,
      nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(probe);
  bool hasMeta = rc == SQLITE_ROW && sqlite3_column_int(probe, 0) == 1;
  sqlite3_finalize(probe);
  if ((rc & 0xff) == SQLITE_NOTADB) {
    Throw(Describe(path_) + " is not a configuration store (not an SQLite database)");
  }
  if (rc != SQLITE_ROW) Fail("cannot read");
  if (!hasMeta) Throw(Describe(path_) + " is not a configuration store (it has no meta table)");

  Statement meta(*this, "SELECT key, value FROM meta WHERE key IN ('format', 'schema_version')");
  std::string format;
  std::string version;
  while (meta.Step()) {
    (meta.Text(0) == "format" ? format : version) = meta.Text(1);
  }
  if (format != kStoreFormat) {
    Throw(Describe(path_) + " is not a configuration store (its meta table names no store format)");
  }
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(version.c_str(), &end, 10);
  if (version.empty() || *end != '\0' || errno != 0 || parsed < 1 || parsed > 1000000) {
    Throw(Describe(path_) + " has an unreadable schema version '" + version + "'");
  }
  return static_cast<int>(parsed);
}

void Connection::Migrate(int from) {
  WriteTransaction transaction(*this);
  // Another process may have migrated the file while this one waited for the lock.
  int version = from;
  if (from > 0) {
    Statement current(*this, "SELECT value FROM meta WHERE key = 'schema_version'");
    if (current.Step())
      version = static_cast<int>(std::strtol(current.Text(0).c_str(), nullptr, 10));
  }
  for (int step = version; step < kSchemaVersion; ++step) Exec(kMigrations[step]);
  if (version < kSchemaVersion) {
    Statement record(*this,
                     "INSERT INTO meta (key, value) VALUES ('format', ?1), ('schema_version', ?2)"
                     " ON CONFLICT (key) DO UPDATE SET value = excluded.value");
    record.Bind(1, std::string(kStoreFormat)).Bind(2, std::to_string(kSchemaVersion)).Run();
  }
  transaction.Commit();
}

void Connection::Exec(const char* sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    Throw(Describe(path_) + ": " + message);
  }
}

void Connection::Fail(const std::string& what) const {
  Throw(Describe(path_) + ": " + what + ": " + sqlite3_errmsg(db_));
}

Statement::Statement(Connection& connection, const std::string& sql) : connection_(connection) {
  stmt_ = connection.Acquire(sql, inUse_);
}

Statement::~Statement() {
  Connection::Release(stmt_, inUse_);
}

Statement& Statement::Bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) connection_.Fail("cannot bind");
  return *this;
}

Statement& Statement::Bind(int index, const std::string& value) {
  if (sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    connection_.Fail("cannot bind");
  }
  return *this;
}

Statement& Statement::BindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) connection_.Fail("cannot bind");
  return *this;
}

bool Statement::Step() {
  // Every write of the store runs inside a write transaction; its first step
  // is where a write can be refused.
  if (connection_.depth() > 0 && !sqlite3_stmt_busy(stmt_) && !sqlite3_stmt_readonly(stmt_)) {
    connection_.BeforeWrite();
  }
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  connection_.Fail("query failed");
}

int Statement::Run() {
  while (Step()) {
  }
  return sqlite3_changes(connection_.handle());
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int Statement::Columns() const {
  return sqlite3_column_count(stmt_);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  if (text == nullptr) return std::string();
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<size_t>(sqlite3_column_bytes(stmt_, column)));
}

WriteTransaction::WriteTransaction(Connection& connection)
    : connection_(connection), level_(connection.depth_ + 1) {
  if (level_ > 1) {
    if (connection_.TransactionLost()) {
      Throw(Describe(connection_.path()) +
            ": the transaction was rolled back after an error; nothing more is written");
    }
    connection_.Run(("SAVEPOINT " + SavepointName()).c_str());
  } else {
    sqlite3* db = connection_.handle();
    const int waitMs = StoreBusyTimeout();
    sqlite3_busy_timeout(db, waitMs);
    bool* inUse = nullptr;
    sqlite3_stmt* begin = connection_.Acquire("BEGIN IMMEDIATE", inUse);
    int rc = sqlite3_step(begin);
    Connection::Release(begin, inUse);
    if ((rc & 0xff) == SQLITE_BUSY) {
      throw StoreBusy(Describe(connection_.path()) +
                      ": another writer holds the write lock (waited " + std::to_string(waitMs) +
                      " ms)");
    }
    if (rc != SQLITE_DONE) connection_.Fail("cannot begin a write transaction");
  }
  ++connection_.depth_;
}

WriteTransaction::~WriteTransaction() {
  Rollback();
}

std::string WriteTransaction::SavepointName() const {
  return "tz_level_" + std::to_string(level_);
}

void WriteTransaction::Commit() {
  if (!open_) Throw(Describe(connection_.path()) + ": the transaction has already ended");
  if (level_ > 1) {
    if (connection_.TransactionLost()) {
      Throw(Describe(connection_.path()) +
            ": the transaction was rolled back after an error; nothing more is written");
    }
    connection_.Run(("RELEASE " + SavepointName()).c_str());
  } else {
    // A failed COMMIT leaves the transaction open: the roll-back below (or
    // the destructor's) ends it.
    connection_.Run("COMMIT");
  }
  open_ = false;
  --connection_.depth_;
}

void WriteTransaction::Rollback() noexcept {
  if (!open_) return;
  open_ = false;
  --connection_.depth_;
  // SQLite may have rolled back already after an error.
  if (sqlite3_get_autocommit(connection_.handle())) return;
  if (level_ > 1) {
    connection_.RunNoThrow(("ROLLBACK TO " + SavepointName()).c_str());
    connection_.RunNoThrow(("RELEASE " + SavepointName()).c_str());
  } else {
    connection_.RunNoThrow("ROLLBACK");
  }
}

ReadTransaction::ReadTransaction(Connection& connection) : connection_(connection) {
  if (!sqlite3_get_autocommit(connection_.handle())) return;
  connection_.Run("BEGIN");
  began_ = true;
}

ReadTransaction::~ReadTransaction() {
  if (began_ && !sqlite3_get_autocommit(connection_.handle())) connection_.RunNoThrow("COMMIT");
}

namespace {

// This thread's open stores, by path.
struct ThreadConnections {
  pid_t pid = getpid();
  std::map<std::string, std::unique_ptr<Connection>> open;

  // After fork the child starts afresh; what it inherited stays untouched.
  void ForgetInherited() {
    pid_t now = getpid();
    if (pid == now) return;
    for (auto& entry : open) entry.second->Abandon();
    open.clear();
    pid = now;
  }

  ~ThreadConnections() { ForgetInherited(); }
};

thread_local ThreadConnections threadConnections;

}  // namespace

Connection& ThreadConnection(const std::string& path) {
  ThreadConnections& cache = threadConnections;
  cache.ForgetInherited();
  auto found = cache.open.find(path);
  if (found != cache.open.end()) {
    // A file that was removed or replaced is opened afresh, but not under a
    // transaction that still holds the connection.
    if (found->second->depth() > 0) return *found->second;
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && found->second->SameFile(info.st_dev, info.st_ino)) {
      return *found->second;
    }
    cache.open.erase(found);
  }
  std::unique_ptr<Connection> connection = Connection::OpenExisting(path);
  Connection& result = *connection;
  cache.open[path] = std::move(connection);
  return result;
}

Connection& CurrentStore() {
  return ThreadConnection(StorePath());
}

}  // namespace store
}  // namespace tzplatform
