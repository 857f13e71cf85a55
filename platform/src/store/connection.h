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

#include "tzplatform/store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace tzplatform {
namespace store {

// The newest schema this program reads and writes.
constexpr int kSchemaVersion = 2;

class Connection {
 public:
  // Opens an existing store; refuses (StoreError) anything that is not a
  // store of this or an older schema, without writing to it. An older schema
  // is brought up to date.
  static std::unique_ptr<Connection> OpenExisting(const std::string& path);
  // Creates a store with the current schema in the empty or absent file `path`.
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
  // Throws StoreError with the path, `what` and SQLite's message.
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
  void Migrate(int from);

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
// unless committed.
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
// first use, opened again when the file was replaced (unless a transaction is
// open on it), never one inherited from the parent process.
Connection& ThreadConnection(const std::string& path);

// ThreadConnection(StorePath()).
Connection& CurrentStore();

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_CONNECTION_H_
