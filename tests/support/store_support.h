// Stores for tests: built from a JSON "store" section in a temporary folder,
// and read back in a compact text form for assertions.
#ifndef TZ_TESTS_SUPPORT_STORE_SUPPORT_H_
#define TZ_TESTS_SUPPORT_STORE_SUPPORT_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "temp_dir.h"
#include "tzplatform/Properties.h"

namespace tztest {

// Creates dir/name from the "store" section `section` and returns its path.
std::string MakeStore(const TempDir& dir, const nlohmann::json& section,
                      const std::string& name = "store.db");

// Points the platform at a store while alive; the previous path comes back.
class UseStore {
 public:
  explicit UseStore(const std::string& path);
  ~UseStore();
  UseStore(const UseStore&) = delete;
  UseStore& operator=(const UseStore&) = delete;

 private:
  std::string previous_;
};

// One line per property with every field of its kind:
//   "112 <name> store=<storeName> description=<description> forceFull=<0|1>"
//   "125 <name> selected=<0|1> agent=<0|1>"
//   "126 <name> server=<associatedServer>"
//   "<type> <name> value=<value>"
std::string DescribeProperty(const ApplProperty& property);
std::vector<std::string> Describe(const PropertiesList& list);

// The stored properties of a subclient or a client, described; a failed
// read gives one line "status <n>".
std::vector<std::string> SubclientProperties(uint64_t subclientId);
std::vector<std::string> ClientPropertyLines(uint64_t clientId);

// A subclient's stored properties without the names the store gives content
// entries: "content DESCRIPTION|STORE" (+ " full" when marked),
// "association NAME SERVER", "other TYPE NAME=VALUE".
std::vector<std::string> SubclientContent(uint64_t subclientId);

// Runs SQL on the store file `path` as another program would (read-write,
// so that SQLite's side files go with the connection) and gives the first
// column of the first row.
std::string StoreSql(const std::string& path, const std::string& sql);

// Damages the store file `path` (with no write-ahead log in use). For each
// {"in": name} of `damages` the root page of that table or index gets a page
// type that no b-tree page has, which SQLite reports as malformed when a
// query reads it; with "text" and "to" (as long) the first "text" on that
// page becomes "to" instead: a change only SQLite's integrity check notices.
void CorruptStore(const std::string& path, const nlohmann::json& damages);

// Every file in `dir` (names only, sorted), so that tests can check that
// nothing was left behind. SQLite's -wal and -shm files, which exist while a
// connection is open, are listed only when `sideFiles` is true.
std::vector<std::string> FilesIn(const std::string& dir, bool sideFiles = true);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_STORE_SUPPORT_H_
