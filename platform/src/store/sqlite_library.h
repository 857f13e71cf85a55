// SQLite, loaded on first use (sqlite_library.cpp).
#ifndef TZPLATFORM_SRC_STORE_SQLITE_LIBRARY_H_
#define TZPLATFORM_SRC_STORE_SQLITE_LIBRARY_H_

#include <sqlite3.h>

#include <string>

namespace tzplatform {
namespace store {

// Whether SQLite is loaded, loading it the first time; `error` says why not
// ("cannot load SQLite (libsqlite3.so.0): ..."). Asked before the store
// makes its first handle. Thread-safe.
bool SqliteLoaded(std::string& error);

// What loading SQLite from `file` (as SqliteLoaded loads libsqlite3.so.0)
// says is wrong, or "": the same message. For tests.
std::string SqliteLoadProblem(const char* file);

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_SQLITE_LIBRARY_H_
