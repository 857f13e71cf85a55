// SQLite connections of the configuration store.
#include "store/connection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "store/schema.h"
#include "store/sqlite_library.h"
#include "tzplatform/EvEvent.h"
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

// SQLite is loaded the first time a store is opened; a system without it
// fails here, naming the store, and never at start.
void RequireSqlite(const std::string& path) {
  std::string why;
  if (!SqliteLoaded(why)) Throw(Describe(path) + " cannot be opened: " + why);
}

bool Exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

// An open file descriptor, closed however the scope ends.
struct Descriptor {
  explicit Descriptor(int descriptor) : fd(descriptor) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int fd;
};

// The file's first bytes, as many as there are of the 100 of SQLite's
// header; empty when it cannot be read (SQLite then says why).
std::string ReadHeader(const std::string& path) {
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (file.fd < 0) return std::string();
  std::string header(100, '\0');
  size_t got = 0;
  while (got < header.size()) {
    const ssize_t n = read(file.fd, &header[got], header.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  header.resize(got);
  return header;
}

bool IsSqliteHeader(const std::string& header) {
  static const char kMagic[] = "SQLite format 3";  // and its terminating zero byte
  return header.size() >= sizeof(kMagic) && std::memcmp(header.data(), kMagic, sizeof(kMagic)) == 0;
}

// Bytes 18 and 19 of the header: 2 for write-ahead logging.
bool InWalMode(const std::string& header) {
  return IsSqliteHeader(header) && header.size() >= 20 && header[18] == 2 && header[19] == 2;
}

bool Unchanged(const struct stat& before, const struct stat& after) {
  return before.st_size == after.st_size && before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
         before.st_mtim.tv_nsec == after.st_mtim.tv_nsec &&
         before.st_ctim.tv_sec == after.st_ctim.tv_sec &&
         before.st_ctim.tv_nsec == after.st_ctim.tv_nsec;
}

// A private copy in memory of the store file at `path`, for reading a store in
// write-ahead-log mode where SQLite could not read it in place without making
// its shared-memory file beside it (a folder this process cannot write).
// Taken whole while the file does not change: a writer that starts meanwhile
// changes the file only when it checkpoints, so the copy is one consistent
// state of the store.
sqlite3* OpenCopyInMemory(const std::string& path) {
  RequireSqlite(path);
  struct stat wal {};
  if (stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0) {
    Throw(Describe(path) + " cannot be read by this user: its write-ahead log " + path +
          "-wal holds changes not yet in the store file, which only a program that can write "
          "beside the store can apply");
  }
  Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (file.fd < 0) Throw(Describe(path) + ": cannot open: " + std::strerror(errno));
  for (int attempt = 0; attempt < 5; ++attempt) {
    struct stat before {
    }, after{};
    if (fstat(file.fd, &before) != 0) Throw(Describe(path) + ": " + std::strerror(errno));
    const size_t size = static_cast<size_t>(before.st_size);
    auto* copy = static_cast<unsigned char*>(sqlite3_malloc64(size > 0 ? size : 1));
    if (copy == nullptr) Throw(Describe(path) + ": not enough memory to read it");
    size_t got = 0;
    int error = 0;
    while (got < size) {
      const ssize_t n = pread(file.fd, copy + got, size - got, static_cast<off_t>(got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    if (got != size || fstat(file.fd, &after) != 0 || !Unchanged(before, after)) {
      sqlite3_free(copy);
      if (error != 0) Throw(Describe(path) + ": cannot read: " + std::strerror(error));
      continue;
    }
    // Read as a rollback-journal store: memory holds no write-ahead log.
    if (size >= 20) copy[18] = copy[19] = 1;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
      sqlite3_close_v2(db);
      sqlite3_free(copy);
      Throw(Describe(path) + ": cannot open a copy in memory");
    }
    // Frees the copy, also when it fails.
    const int rc = sqlite3_deserialize(
        db, "main", copy, static_cast<sqlite3_int64>(size), static_cast<sqlite3_int64>(size),
        SQLITE_DESERIALIZE_FREEONCLOSE | SQLITE_DESERIALIZE_READONLY);
    if (rc != SQLITE_OK) {
      sqlite3_close_v2(db);
      Throw(Describe(path) + ": cannot read a copy in memory: " + sqlite3_errstr(rc));
    }
    sqlite3_extended_result_codes(db, 1);
    return db;
  }
  Throw(Describe(path) + " cannot be read: it kept changing while it was read");
}

// Stores found damaged in this process, by path, with the file each was.
struct DamageRecord {
  bool identified = false;  // the file could be named by device and inode
  dev_t device = 0;
  ino_t inode = 0;
  std::string detail;
};

struct DamageLatch {
  std::mutex mu;
  std::map<std::string, DamageRecord> stores;
  std::atomic<bool> any{false};
};

DamageLatch& Latch() {
  static DamageLatch latch;
  return latch;
}

// Writes to the log, once per store path in this process, each folder that
// other users may write.
void LogExposedFolders(const std::string& path) {
  static std::mutex mu;
  static std::set<std::string> logged;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!logged.insert(path).second) return;
  }
  for (const ExposedFolder& exposed : ExposedStoreFolders(path)) {
    EvDebug().Debug("Store::open", "%s", exposed.text.c_str());
  }
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

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool IsDamage(int rc) {
  rc &= 0xff;
  return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

sqlite3* OpenFile(const std::string& path, int flags) {
  RequireSqlite(path);
  // SQLite may be built to read a name starting with "file:" as a URI, whose
  // parameters would change how the store is opened: a name starting with
  // "/" or "./" is only ever a file name.
  const std::string name = !path.empty() && path[0] == '/' ? path : "./" + path;
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(name.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    sqlite3_close_v2(db);
    Throw(Describe(path) + ": cannot open: " + message);
  }
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, StoreBusyTimeout());
  return db;
}

std::string WhyNotWritable(const std::string& path) {
  if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
    return std::string("the file is read-only for this user (") + std::strerror(errno) + ")";
  }
  const std::string folder = FolderOf(path);
  if (faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    return "its folder " + folder + " cannot be written (" + std::strerror(errno) +
           "), where SQLite keeps the journal files of the store";
  }
  for (const char* suffix : {"-wal", "-shm"}) {
    const std::string side = path + suffix;
    if (Exists(side) && faccessat(AT_FDCWD, side.c_str(), R_OK | W_OK, AT_EACCESS) != 0) {
      return "its write-ahead log file " + side + " is read-only for this user (" +
             std::strerror(errno) + ")";
    }
  }
  return std::string();
}

void RememberDamage(const std::string& path, const std::string& detail) {
  DamageRecord record;
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    record.identified = true;
    record.device = info.st_dev;
    record.inode = info.st_ino;
  }
  record.detail = detail;
  DamageLatch& latch = Latch();
  std::lock_guard<std::mutex> lock(latch.mu);
  auto found = latch.stores.find(path);
  // The first damage seen on a file says the most.
  if (found == latch.stores.end() || found->second.device != record.device ||
      found->second.inode != record.inode) {
    latch.stores[path] = record;
  }
  latch.any = true;
}

void Damaged(const std::string& path, const std::string& detail) {
  RememberDamage(path, detail);
  throw StoreDamaged(path, detail);
}

std::string DamageOf(const std::string& path) {
  DamageLatch& latch = Latch();
  if (!latch.any) return std::string();
  std::lock_guard<std::mutex> lock(latch.mu);
  auto found = latch.stores.find(path);
  if (found == latch.stores.end()) return std::string();
  const DamageRecord& record = found->second;
  struct stat info {};
  if (record.identified && (stat(path.c_str(), &info) != 0 || info.st_dev != record.device ||
                            info.st_ino != record.inode)) {
    // Another file was put in its place (a recovered store, a backup).
    latch.stores.erase(found);
    return std::string();
  }
  return record.detail;
}

void RefuseIfDamaged(const std::string& path) {
  const std::string detail = DamageOf(path);
  if (!detail.empty()) throw StoreDamaged(path, detail);
}

Connection::Connection(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {
  struct stat info {};
  if (stat(path_.c_str(), &info) == 0) {
    device_ = info.st_dev;
    inode_ = info.st_ino;
  }
}

void Connection::ReplaceHandle(sqlite3* db) {
  for (auto& entry : statements_) sqlite3_finalize(entry.second.statement);
  statements_.clear();
  sqlite3_close_v2(db_);
  db_ = db;
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
    const std::string message = sqlite3_errmsg(db_);
    Release(statement, inUse);
    if (IsDamage(rc)) Damaged(path_, message);
    Throw(Describe(path_) + ": " + message);
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

  // Reading a store in write-ahead-log mode takes its shared-memory file
  // beside it: SQLite makes one when there is none, owned by this user, which
  // would keep the store's owner from writing. Where this process could not
  // write the store itself, a copy in memory is read instead.
  const bool inMemory =
      InWalMode(ReadHeader(path)) && !Exists(path + "-shm") && !WhyNotWritable(path).empty();
  std::unique_ptr<Connection> connection(new Connection(
      inMemory ? OpenCopyInMemory(path) : OpenFile(path, SQLITE_OPEN_READONLY), path));
  // Recognise the store before anything else reads it.
  int version = connection->ReadSchemaVersion();
  connection->Configure();
  if (version > kSchemaVersion) {
    Throw(Describe(path) + " has schema version " + std::to_string(version) +
          ", newer than version " + std::to_string(kSchemaVersion) +
          " which this program knows; it was left unchanged");
  }
  connection->schemaVersion_ = version;
  return connection;
}

std::unique_ptr<Connection> Connection::CreateNew(const std::string& path) {
  std::unique_ptr<Connection> connection(
      new Connection(OpenFile(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE), path));
  connection->writable_ = true;
  connection->checked_ = true;  // nothing in it yet
  {
    Statement tables(*connection, "SELECT count(*) FROM sqlite_master");
    if (!tables.Step() || tables.Int(0) != 0) Throw(Describe(path) + ": file is not empty");
  }
  // Write-ahead logging lets readers go on while one connection writes.
  {
    Statement set(*connection, "PRAGMA journal_mode = WAL");
    if (!set.Step() || set.Text(0) != "wal")
      connection->Fail("cannot switch to write-ahead logging");
  }
  connection->Configure();
  // The first write transaction lays out the schema.
  WriteTransaction transaction(*connection);
  transaction.Commit();
  return connection;
}

void Connection::Configure() {
  // FULL makes a committed write survive a crash.
  Exec("PRAGMA synchronous = FULL");
  Exec("PRAGMA foreign_keys = ON");
}

void Connection::MakeWritable() {
  if (writable_) return;
  if (StoreReadOnly()) {
    Throw(Describe(path_) + ": not written: this program opened it for reading only");
  }
  const std::string why = WhyNotWritable(path_);
  if (!why.empty()) Throw(Describe(path_) + " cannot be written: " + why);
  bool reading = !sqlite3_get_autocommit(db_);
  for (const auto& entry : statements_) reading = reading || entry.second.inUse;
  if (reading) Throw(Describe(path_) + ": a write cannot begin inside a read");
  sqlite3* db = OpenFile(path_, SQLITE_OPEN_READWRITE);
  if (sqlite3_db_readonly(db, "main") == 1) {
    sqlite3_close_v2(db);
    Throw(Describe(path_) + " cannot be written: the file is read-only for this user");
  }
  ReplaceHandle(db);
  writable_ = true;
  Configure();
  std::string mode;
  {
    Statement current(*this, "PRAGMA journal_mode");
    if (current.Step()) mode = current.Text(0);
  }
  if (mode != "wal") {
    // A store in rollback-journal mode (a copy made by other means) goes over
    // to write-ahead logging, but not before it proved sound: the switch
    // writes to the file.
    RequireIntegrity();
    checked_ = true;
    Statement set(*this, "PRAGMA journal_mode = WAL");
    if (!set.Step() || set.Text(0) != "wal") Fail("cannot switch to write-ahead logging");
  }
}

void Connection::PrepareForWrites() {
  // Once per connection: a store that failed is refused from then on, and
  // each program makes its own connection.
  if (!checked_) {
    RequireIntegrity();
    checked_ = true;
  }
  if (schemaVersion_ < kSchemaVersion) {
    // Another program may have brought the schema up to date since.
    const int version = schemaVersion_ == 0 ? 0 : ReadSchemaVersion();
    if (version > kSchemaVersion) {
      Throw(Describe(path_) + " has schema version " + std::to_string(version) +
            ", newer than version " + std::to_string(kSchemaVersion) +
            " which this program knows; it was left unchanged");
    }
    if (version < kSchemaVersion) Migrate(version);
  }
}

std::vector<std::string> Connection::IntegrityProblems(int limit) {
  const std::string sql = "PRAGMA integrity_check(" + std::to_string(limit) + ")";
  sqlite3_stmt* check = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &check, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(check);
  std::vector<std::string> problems;
  for (; rc == SQLITE_ROW; rc = sqlite3_step(check)) {
    const unsigned char* text = sqlite3_column_text(check, 0);
    std::string row = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    if (row == "ok") continue;
    // One row may hold several lines, the first naming the database.
    for (size_t at = 0; at < row.size();) {
      const size_t end = std::min(row.find('\n', at), row.size());
      const std::string line = row.substr(at, end - at);
      if (!line.empty() && line.rfind("*** in database ", 0) != 0) problems.push_back(line);
      at = end + 1;
    }
  }
  const std::string message = sqlite3_errmsg(db_);
  sqlite3_finalize(check);
  if (rc != SQLITE_DONE) {
    // Too damaged for the check to go on: what stopped it is the problem,
    // unless the check named it already.
    if (!IsDamage(rc)) Throw(Describe(path_) + ": cannot check: " + message);
    if (problems.empty()) problems.push_back(message);
  }
  if (problems.size() > static_cast<size_t>(limit)) problems.resize(static_cast<size_t>(limit));
  return problems;
}

void Connection::RequireIntegrity() {
  const std::vector<std::string> problems = IntegrityProblems(1);
  if (!problems.empty()) Damaged(path_, "SQLite's integrity check failed: " + problems[0]);
}

int Connection::ReadSchemaVersion() {
  sqlite3_stmt* probe = nullptr;
  int rc = sqlite3_prepare_v2(
      db_, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'meta'", -1, &probe,
      nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_step(probe);
  bool hasMeta = rc == SQLITE_ROW && sqlite3_column_int(probe, 0) == 1;
  const std::string message = sqlite3_errmsg(db_);
  sqlite3_finalize(probe);
  if ((rc & 0xff) == SQLITE_NOTADB && !IsSqliteHeader(ReadHeader(path_))) {
    Throw(Describe(path_) + " is not a configuration store (not an SQLite database)");
  }
  if (IsDamage(rc)) Damaged(path_, message);
  if (rc != SQLITE_ROW) Throw(Describe(path_) + ": cannot read: " + message);
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
  for (int step = from; step < kSchemaVersion; ++step) Exec(kMigrations[step]);
  Statement record(*this,
                   "INSERT INTO meta (key, value) VALUES ('format', ?1), ('schema_version', ?2)"
                   " ON CONFLICT (key) DO UPDATE SET value = excluded.value");
  record.Bind(1, std::string(kStoreFormat)).Bind(2, std::to_string(kSchemaVersion)).Run();
}

void Connection::Exec(const char* sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error != nullptr ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    if (IsDamage(rc)) Damaged(path_, message);
    Throw(Describe(path_) + ": " + message);
  }
}

void Connection::Fail(const std::string& what) const {
  if (IsDamage(sqlite3_extended_errcode(db_))) Damaged(path_, sqlite3_errmsg(db_));
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
    RefuseIfDamaged(connection_.path());
    connection_.MakeWritable();
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
    try {
      connection_.PrepareForWrites();
    } catch (...) {
      connection_.RunNoThrow("ROLLBACK");
      throw;
    }
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
    // Damage seen by any call since it began: none of it is kept. A failed
    // COMMIT leaves the transaction open: the roll-back below (or the
    // destructor's) ends it.
    RefuseIfDamaged(connection_.path());
    connection_.Run("COMMIT");
    connection_.schemaVersion_ = kSchemaVersion;
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
  RefuseIfDamaged(path);
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
  LogExposedFolders(path);
  return result;
}

Connection& CurrentStore() {
  return ThreadConnection(StorePath());
}

}  // namespace store
}  // namespace tzplatform
