// SQLite access of the configuration store: connections, statements,
// transactions and the schema.
//
// Each thread keeps its own connection per store file (SQLite connections are
// not shared between threads here, and never used again after fork). Every
// failure is a tzplatform::StoreError naming the store file.
#ifndef TZPLATFORM_SRC_STORE_CONNECTION_H_
#define TZPLATFORM_SRC_STORE_CONNECTION_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "tzplatform/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tzplatform {
namespace store {

// The newest schema this program reads and writes.
constexpr int kSchemaVersion = 2;

class Connection {
 public:
  // Opens an existing store for reading; refuses (StoreError) anything that
  // is not a store of this or an older schema. Changes nothing in the file
  // or beside it: a store in write-ahead-log mode whose folder this process
  // cannot write (another user's, a read-only mount) is read from a private
  // copy in memory, as SQLite would otherwise need to make its shared-memory
  // file there.
  static std::unique_ptr<Connection> OpenExisting(const std::string& path);
  // Creates a store with the current schema in the empty or absent file
  // `path`, in write-ahead-log mode.
  static std::unique_ptr<Connection> CreateNew(const std::string& path);

  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* handle() const { return db_; }
  const std::string& path() const { return path_; }
  // Whether `path` still names the file this connection has open.
  bool SameFile(dev_t device, ino_t inode) const { return device == device_ && inode == inode_; }

  // Runs SQL text without parameters (schema, pragmas).
  void Exec(const char* sql);
  // Runs one statement without parameters through the statement cache
  // (transaction control, which every store call does).
  void Run(const char* sql);
  // As Run, but a failure is only returned, never thrown (for destructors).
  int RunNoThrow(const char* sql) noexcept;
  // Throws StoreError with the path, `what` and SQLite's message; StoreDamaged
  // when SQLite's last result says the file is malformed.
  [[noreturn]] void Fail(const std::string& what) const;

  // Write transactions open on this connection, outermost first (0: none).
  int depth() const { return depth_; }
  // Whether the outermost transaction was ended by SQLite itself after an
  // error (it rolls back on a full disk, an I/O error, ...): nothing may be
  // written until the callers holding it have ended it.
  bool TransactionLost() const;
  // Called before the first step of every write inside a transaction: fails
  // (StoreError) when the transaction was lost, or when a fault is armed for
  // "Store::write" (key: the store path).
  void BeforeWrite();

  // SQLite's integrity check: empty when it found no problem, else at most
  // `limit` problems in its words.
  std::vector<std::string> IntegrityProblems(int limit);

  // Leaves the SQLite handle open forever: used for connections inherited
  // across fork, which the child must neither use nor close.
  void Abandon();

  // A prepared statement for `sql`, kept for the life of the connection and
  // handed out again for the same text: preparing costs more than running
  // most of the store's statements. `inUse` is set to the cache's flag for
  // it, to be cleared by Release; a statement still in use is not shared, so
  // a second user of the same text gets one of its own (`inUse` null).
  sqlite3_stmt* Acquire(const std::string& sql, bool*& inUse);
  // Resets the statement for its next user and gives it back to the cache,
  // or finalizes it when it is not the cache's.
  static void Release(sqlite3_stmt* statement, bool* inUse) noexcept;

 private:
  Connection(sqlite3* db, std::string path);
  void Configure();
  int ReadSchemaVersion();
  // Brings the schema from version `from` up to date, inside the open write
  // transaction.
  void Migrate(int from);
  // Reopens the store for writing (the outermost write transaction's first
  // step): refused while StoreReadOnly() or when this process cannot write
  // it. A store in rollback-journal mode goes over to write-ahead logging
  // here, once, after it passed its integrity check: SQLite changes the mode
  // only outside a transaction, and the change is one step of its own.
  void MakeWritable();
  // Inside the outermost write transaction, before its first write: the
  // store's integrity check (once per connection) and the schema upgrade.
  void PrepareForWrites();
  // Throws StoreDamaged when SQLite's integrity check finds a problem.
  void RequireIntegrity();
  void ReplaceHandle(sqlite3* db);

  struct CachedStatement {
    sqlite3_stmt* statement = nullptr;
    bool inUse = false;
  };

  friend class WriteTransaction;

  sqlite3* db_;
  std::string path_;
  int depth_ = 0;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  bool writable_ = false;  // opened for writing
  bool checked_ = false;   // passed the integrity check on this connection
  int schemaVersion_ = 0;  // as last read or committed; 0: a new file
  std::unordered_map<std::string, CachedStatement> statements_;
};

// A prepared statement with bound parameters, taken from the connection's
// statement cache and given back (reset, bindings cleared) on destruction.
// Parameter and column indexes are 1-based and 0-based, as in SQLite.
class Statement {
 public:
  Statement(Connection& connection, const std::string& sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, int64_t value);
  Statement& Bind(int index, const std::string& value);
  Statement& BindNull(int index);
  Statement& BindBool(int index, bool value) { return Bind(index, int64_t{value ? 1 : 0}); }

  // Advances to the next row: true when there is one, false when done.
  bool Step();
  // Steps until done; returns the number of rows changed.
  int Run();
  void Reset();

  int Columns() const;
  bool IsNull(int column) const;
  int64_t Int(int column) const;
  bool Bool(int column) const { return Int(column) != 0; }
  std::string Text(int column) const;

 private:
  Connection& connection_;
  sqlite3_stmt* stmt_ = nullptr;
  bool* inUse_ = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT: takes the write lock up front (waiting for it),
// so a read-then-write never fails half-way on a busy snapshot. Rolled back
// unless committed. The outermost one opens the store for writing, checks it
// (StoreDamaged) and upgrades an older schema, all inside the transaction;
// its Commit refuses a store found damaged meanwhile.
//
// Made while another is open on the same connection it joins that one as a
// savepoint: its Commit keeps its writes for the outer transaction to commit,
// and its roll-back undoes only what was written since it began. Begin and
// the outermost Commit throw StoreError; a lock not free within the busy
// timeout is a StoreBusy.
class WriteTransaction {
 public:
  explicit WriteTransaction(Connection& connection);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  void Commit();
  // Rolls back now (idempotent); never throws.
  void Rollback() noexcept;
  bool outermost() const { return level_ == 1; }

 private:
  std::string SavepointName() const;

  Connection& connection_;
  int level_;  // 1 for the outermost transaction
  bool open_ = true;
};

// The write lock was not free within the busy timeout.
class StoreBusy : public StoreError {
 public:
  explicit StoreBusy(const std::string& what) : StoreError(what) {}
};

// A consistent view for several reads; inside a write transaction the reads
// already have one, and it adds nothing.
class ReadTransaction {
 public:
  explicit ReadTransaction(Connection& connection);
  ~ReadTransaction();
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;

 private:
  Connection& connection_;
  bool began_ = false;
};

// The calling thread's connection to the existing store at `path`: opened on
// first use (read-only, until a write transaction needs more), opened again
// when the file was replaced (unless a transaction is open on it), never one
// inherited from the parent process. Throws StoreDamaged when damage was seen
// on that file.
Connection& ThreadConnection(const std::string& path);

// Remembers that the store file at `path` is damaged, so that every later
// use of it refuses (RefuseIfDamaged), and throws StoreDamaged.
[[noreturn]] void Damaged(const std::string& path, const std::string& detail);
// The same without throwing.
void RememberDamage(const std::string& path, const std::string& detail);
// Throws StoreDamaged when damage was seen on the file now at `path`; damage
// of a file that has since been replaced there is forgotten.
void RefuseIfDamaged(const std::string& path);
// The detail of the damage seen on the file now at `path`, empty when none.
std::string DamageOf(const std::string& path);

// The folder that holds `path` ("." for a bare name).
std::string FolderOf(const std::string& path);

// Why this process cannot write the store at `path` (the file, its folder
// and the write-ahead log files beside it), empty when it can.
std::string WhyNotWritable(const std::string& path);

// Whether an SQLite result says the file is malformed (SQLITE_CORRUPT,
// SQLITE_NOTADB, extended codes included).
bool IsDamage(int rc);

// The SQLite handle for the file at `path`, opened with `flags`; never read
// as a URI, whatever SQLite's build allows. Throws StoreError.
sqlite3* OpenFile(const std::string& path, int flags);

// ThreadConnection(StorePath()).
Connection& CurrentStore();

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_CONNECTION_H_
