// The receipt-and-filter path of database discovery on arbitrary answers: an
// input that decodes as a DAGDBResp goes through FilterResponceForClient, and
// through FilterResponceForSubClient for a default and for a custom
// subclient, against a small store made once per process. Each filter must
// succeed and keep only what it may keep, in the answer's order.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <tzplatform/codec.h>
#include <tzplatform/fixture.h>
#include <tzplatform/settings.h>
#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "tzdag/TzDagApi.h"

namespace {

constexpr uint32_t kOrbal = 1;
constexpr uint32_t kClient = 2;
constexpr uint32_t kDefaultSubclient = 10;
constexpr uint32_t kCustomSubclient = 11;
// The client's selected member servers and the custom subclients' content,
// as the store below holds them.
const std::vector<std::string> kSelected = {"MBX01", "mbx03"};
const std::vector<std::string> kCustomContent = {"First\\DB01", "Second\\DB03"};
const std::vector<std::string> kAllCustomContent = {"First\\DB01", "Second\\DB03", "Archive\\DB05"};

const char kStore[] = R"({
  "clients": [
    {"id": 2, "name": "DAG01", "host": "dag01.corp.example",
     "memberServers": [
       {"name": "MBX01", "selected": true, "agentInstalled": true},
       {"name": "MBX02", "selected": false, "agentInstalled": true},
       {"name": "mbx03", "selected": true, "agentInstalled": false}]}
  ],
  "subclients": [
    {"orbalId": 1, "appId": 10, "clientId": 2, "appType": 53, "backupSet": 7, "name": "default",
     "default": true, "deleted": false, "automatic": true,
     "content": [{"description": "Default", "storeName": "DB09", "forceFull": false}]},
    {"orbalId": 1, "appId": 11, "clientId": 2, "appType": 53, "backupSet": 7, "name": "sales",
     "default": false, "deleted": false, "automatic": true,
     "content": [{"description": "First", "storeName": "DB01", "forceFull": false},
                 {"description": "Second", "storeName": "DB03", "forceFull": false}]},
    {"orbalId": 1, "appId": 12, "clientId": 2, "appType": 53, "backupSet": 7, "name": "archive",
     "default": false, "deleted": false, "automatic": false,
     "content": [{"description": "Archive", "storeName": "DB05", "forceFull": false}]},
    {"orbalId": 1, "appId": 13, "clientId": 2, "appType": 53, "backupSet": 7, "name": "retired",
     "default": false, "deleted": true, "automatic": true,
     "content": [{"description": "Second", "storeName": "DB02", "forceFull": false}]}
  ]
})";

// A store in a temporary folder (under TMPDIR), removed when the process ends.
class TempStore {
 public:
  TempStore() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tzfuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr, "cannot make a temporary folder");
    dir_ = pattern;
    tzplatform::CreateStoreFromFixture(nlohmann::json::parse(kStore), dir_ + "/store.db");
    tzplatform::SetStorePath(dir_ + "/store.db");
    tzplatform::SetLogFile("/dev/null");
  }
  ~TempStore() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

 private:
  std::string dir_;
};

bool SameName(const std::string& a, const std::string& b) {
  return iStrEqual(a)(b);
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names) {
    if (SameName(n, name)) return true;
  }
  return false;
}

std::vector<std::string> DbNames(const Uvo::DAGDBResp& resp) {
  std::vector<std::string> names;
  for (const CNMessageBase& db : resp.getDatabases()) {
    names.push_back(tzdag::GetString(db, Uvo::DAGDB::kDbName));
  }
  return names;
}

// Whether `part` is `whole` with some entries left out.
bool IsSubsequence(const std::vector<std::string>& part, const std::vector<std::string>& whole) {
  size_t at = 0;
  for (const std::string& name : part) {
    while (at < whole.size() && whole[at] != name) ++at;
    if (at == whole.size()) return false;
    ++at;
  }
  return true;
}

void CheckClientFilter(const Uvo::DAGDBResp& in, const Uvo::DAGDBResp& out) {
  FUZZ_CHECK(IsSubsequence(DbNames(out), DbNames(in)), "the client filter reordered databases");
  for (const CNMessageBase& db : out.getDatabases()) {
    const CNStringList& copies = tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers);
    FUZZ_CHECK(!copies.empty(), "a database without a selected copy was kept");
    for (const std::string& copy : copies) {
      FUZZ_CHECK(Contains(kSelected, copy), "unselected copy server " + copy + " was kept");
    }
    const std::string backup = tzdag::GetString(db, Uvo::DAGDB::kBackupServer);
    FUZZ_CHECK(backup == "N/A" || Contains(kSelected, backup) || backup == copies.front(),
               "backup server " + backup + " is neither N/A nor selected");
    const int64_t circular = tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging);
    FUZZ_CHECK(circular == 0 || circular == 1, "circular logging is not 0 or 1");
  }
}

void CheckSubclientFilter(const Uvo::DAGDBResp& in, const Uvo::DAGDBResp& out, bool isDefault) {
  FUZZ_CHECK(IsSubsequence(DbNames(out), DbNames(in)), "the subclient filter reordered databases");
  for (const std::string& name : DbNames(out)) {
    if (isDefault) {
      FUZZ_CHECK(!Contains(kAllCustomContent, name), name + " of a custom subclient was kept");
    } else {
      FUZZ_CHECK(Contains(kCustomContent, name), name + " is not content of the subclient");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const TempStore store;
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();

  std::unique_ptr<CNMessageBase> decoded;
  if (!tzplatform::DecodeMessage(reinterpret_cast<const char*>(data), size, decoded).ok) return 0;
  if (decoded->getTagID() != Uvo::DAGDBResp::kClassKey) return 0;
  // The answer as the caller's record, as the receipt copies it.
  Uvo::DAGDBResp received;
  received.setDatabases(tzdag::GetList(*decoded, Uvo::DAGDBResp::kDatabases));

  Uvo::DAGDBResp filtered(received);
  FUZZ_CHECK(FilterResponceForClient(kClient, filtered), "the client filter failed");
  CheckClientFilter(received, filtered);

  for (uint32_t appId : {kDefaultSubclient, kCustomSubclient}) {
    Uvo::DAGDBResp narrowed(filtered);
    FUZZ_CHECK(FilterResponceForSubClient(kOrbal, appId, narrowed), "the subclient filter failed");
    CheckSubclientFilter(filtered, narrowed, appId == kDefaultSubclient);
  }
  return 0;
}
