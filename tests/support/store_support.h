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

// Every file in `dir` (names only, sorted), so that tests can check that
// nothing was left behind. SQLite's -wal and -shm files, which exist while a
// connection is open, are listed only when `sideFiles` is true.
std::vector<std::string> FilesIn(const std::string& dir, bool sideFiles = true);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_STORE_SUPPORT_H_
