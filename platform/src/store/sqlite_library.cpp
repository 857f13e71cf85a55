// SQLite, loaded the first time the store is used rather than with the
// program: Debian links it to bind all of its 1,200 calls when it is
// loaded, which a program that only prints its version or a usage error
// would pay for at every start.
//
// The SQLite functions the platform calls are defined here, hidden in the
// platform, and go to the library's own, looked up once. A program that
// links SQLite itself gets the same library: the loader hands out the copy
// already loaded.
#include "store/sqlite_library.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tzplatform {
namespace store {
namespace {

constexpr char kLibrary[] = "libsqlite3.so.0";

// clang-format off
#define TZ_SQLITE_FUNCTIONS(X) \
  X(sqlite3_backup_finish) \
  X(sqlite3_backup_init) \
  X(sqlite3_backup_step) \
  X(sqlite3_bind_int64) \
  X(sqlite3_bind_null) \
  X(sqlite3_bind_text) \
  X(sqlite3_busy_timeout) \
  X(sqlite3_changes) \
  X(sqlite3_clear_bindings) \
  X(sqlite3_close_v2) \
  X(sqlite3_column_bytes) \
  X(sqlite3_column_count) \
  X(sqlite3_column_int) \
  X(sqlite3_column_int64) \
  X(sqlite3_column_text) \
  X(sqlite3_column_type) \
  X(sqlite3_db_readonly) \
  X(sqlite3_deserialize) \
  X(sqlite3_errmsg) \
  X(sqlite3_errstr) \
  X(sqlite3_exec) \
  X(sqlite3_extended_errcode) \
  X(sqlite3_extended_result_codes) \
  X(sqlite3_finalize) \
  X(sqlite3_free) \
  X(sqlite3_get_autocommit) \
  X(sqlite3_malloc64) \
  X(sqlite3_open_v2) \
  X(sqlite3_prepare_v2) \
  X(sqlite3_reset) \
  X(sqlite3_step) \
  X(sqlite3_stmt_busy) \
  X(sqlite3_stmt_readonly)
// clang-format on

// The library's functions, or why they could not be had.
struct Library {
#define TZ_SQLITE_POINTER(name) decltype(&::name) name = nullptr;
  TZ_SQLITE_FUNCTIONS(TZ_SQLITE_POINTER)
#undef TZ_SQLITE_POINTER
  std::string error;  // empty once every function was found
};

// Never unloaded: the handles the store holds live as long as the process.
Library Load(const char* file) {
  Library library;
  void* handle = dlopen(file, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    library.error = std::string("cannot load SQLite (") + file +
                    "): " + (why != nullptr ? why : "no reason given");
    return library;
  }
#define TZ_SQLITE_LOOKUP(name)                                                     \
  library.name = reinterpret_cast<decltype(library.name)>(dlsym(handle, #name));   \
  if (library.name == nullptr && library.error.empty()) {                          \
    library.error = std::string("SQLite (") + file + ") has no function " + #name; \
  }
  TZ_SQLITE_FUNCTIONS(TZ_SQLITE_LOOKUP)
#undef TZ_SQLITE_LOOKUP
  return library;
}

const Library& Loaded() {
  static const Library library = Load(kLibrary);
  return library;
}

// The library for a call: the store asked for it before it made any handle
// (RequireSqlite), so that a call without it is a fault of the program's.
const Library& Sqlite() {
  const Library& library = Loaded();
  if (!library.error.empty()) {
    std::fprintf(stderr, "tzplatform: SQLite called without the library: %s\n",
                 library.error.c_str());
    std::abort();
  }
  return library;
}

}  // namespace

bool SqliteLoaded(std::string& error) {
  error = Loaded().error;
  return error.empty();
}

std::string SqliteLoadProblem(const char* file) {
  return Load(file).error;
}

}  // namespace store
}  // namespace tzplatform

using tzplatform::store::Sqlite;

int sqlite3_backup_finish(sqlite3_backup* p) {
  return Sqlite().sqlite3_backup_finish(p);
}
sqlite3_backup* sqlite3_backup_init(sqlite3* to, const char* toName, sqlite3* from,
                                    const char* fromName) {
  return Sqlite().sqlite3_backup_init(to, toName, from, fromName);
}
int sqlite3_backup_step(sqlite3_backup* p, int pages) {
  return Sqlite().sqlite3_backup_step(p, pages);
}
int sqlite3_bind_int64(sqlite3_stmt* s, int i, sqlite3_int64 v) {
  return Sqlite().sqlite3_bind_int64(s, i, v);
}
int sqlite3_bind_null(sqlite3_stmt* s, int i) {
  return Sqlite().sqlite3_bind_null(s, i);
}
int sqlite3_bind_text(sqlite3_stmt* s, int i, const char* text, int n, void (*destroy)(void*)) {
  return Sqlite().sqlite3_bind_text(s, i, text, n, destroy);
}
int sqlite3_busy_timeout(sqlite3* db, int ms) {
  return Sqlite().sqlite3_busy_timeout(db, ms);
}
int sqlite3_changes(sqlite3* db) {
  return Sqlite().sqlite3_changes(db);
}
int sqlite3_clear_bindings(sqlite3_stmt* s) {
  return Sqlite().sqlite3_clear_bindings(s);
}
int sqlite3_close_v2(sqlite3* db) {
  return Sqlite().sqlite3_close_v2(db);
}
int sqlite3_column_bytes(sqlite3_stmt* s, int i) {
  return Sqlite().sqlite3_column_bytes(s, i);
}
int sqlite3_column_count(sqlite3_stmt* s) {
  return Sqlite().sqlite3_column_count(s);
}
int sqlite3_column_int(sqlite3_stmt* s, int i) {
  return Sqlite().sqlite3_column_int(s, i);
}
sqlite3_int64 sqlite3_column_int64(sqlite3_stmt* s, int i) {
  return Sqlite().sqlite3_column_int64(s, i);
}
const unsigned char* sqlite3_column_text(sqlite3_stmt* s, int i) {
  return Sqlite().sqlite3_column_text(s, i);
}
int sqlite3_column_type(sqlite3_stmt* s, int i) {
  return Sqlite().sqlite3_column_type(s, i);
}
int sqlite3_db_readonly(sqlite3* db, const char* name) {
  return Sqlite().sqlite3_db_readonly(db, name);
}
int sqlite3_deserialize(sqlite3* db, const char* schema, unsigned char* data, sqlite3_int64 size,
                        sqlite3_int64 room, unsigned flags) {
  return Sqlite().sqlite3_deserialize(db, schema, data, size, room, flags);
}
const char* sqlite3_errmsg(sqlite3* db) {
  return Sqlite().sqlite3_errmsg(db);
}
const char* sqlite3_errstr(int rc) {
  return Sqlite().sqlite3_errstr(rc);
}
int sqlite3_exec(sqlite3* db, const char* sql, int (*callback)(void*, int, char**, char**),
                 void* argument, char** error) {
  return Sqlite().sqlite3_exec(db, sql, callback, argument, error);
}
int sqlite3_extended_errcode(sqlite3* db) {
  return Sqlite().sqlite3_extended_errcode(db);
}
int sqlite3_extended_result_codes(sqlite3* db, int on) {
  return Sqlite().sqlite3_extended_result_codes(db, on);
}
int sqlite3_finalize(sqlite3_stmt* s) {
  return Sqlite().sqlite3_finalize(s);
}
void sqlite3_free(void* p) {
  Sqlite().sqlite3_free(p);
}
int sqlite3_get_autocommit(sqlite3* db) {
  return Sqlite().sqlite3_get_autocommit(db);
}
void* sqlite3_malloc64(sqlite3_uint64 size) {
  return Sqlite().sqlite3_malloc64(size);
}
int sqlite3_open_v2(const char* name, sqlite3** db, int flags, const char* vfs) {
  return Sqlite().sqlite3_open_v2(name, db, flags, vfs);
}
int sqlite3_prepare_v2(sqlite3* db, const char* sql, int n, sqlite3_stmt** s, const char** tail) {
  return Sqlite().sqlite3_prepare_v2(db, sql, n, s, tail);
}
int sqlite3_reset(sqlite3_stmt* s) {
  return Sqlite().sqlite3_reset(s);
}
int sqlite3_step(sqlite3_stmt* s) {
  return Sqlite().sqlite3_step(s);
}
int sqlite3_stmt_busy(sqlite3_stmt* s) {
  return Sqlite().sqlite3_stmt_busy(s);
}
int sqlite3_stmt_readonly(sqlite3_stmt* s) {
  return Sqlite().sqlite3_stmt_readonly(s);
}
