#include "store_support.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <utility>

#include "tzplatform/Subclient.h"
#include "tzplatform/fixture.h"
#include "tzplatform/settings.h"

namespace tztest {

std::string MakeStore(const TempDir& dir, const nlohmann::json& section, const std::string& name) {
  std::string path = dir.File(name);
  tzplatform::CreateStoreFromFixture(section, path);
  return path;
}

std::string StoreSql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::string first;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0) != nullptr) {
      first = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return first;
}

void CorruptStore(const std::string& path, const nlohmann::json& damages) {
  std::vector<std::pair<size_t, nlohmann::json>> pages;
  for (const nlohmann::json& damage : damages) {
    const std::string root = StoreSql(path, "SELECT rootpage FROM sqlite_master WHERE name = '" +
                                                damage["in"].get<std::string>() + "'");
    ASSERT_FALSE(root.empty()) << damage;
    pages.emplace_back(std::stoul(root), damage);
  }
  std::string bytes = ReadFile(path);
  const size_t pageSize =
      (static_cast<unsigned char>(bytes[16]) << 8) | static_cast<unsigned char>(bytes[17]);
  for (const auto& [page, damage] : pages) {
    const size_t at = (page - 1) * pageSize;
    if (!damage.contains("text")) {
      bytes[at] = 0x77;
      continue;
    }
    const std::string text = damage["text"], to = damage["to"];
    ASSERT_EQ(text.size(), to.size()) << damage;
    const size_t found = bytes.find(text, at);
    ASSERT_LT(found, at + pageSize) << damage;
    bytes.replace(found, text.size(), to);
  }
  WriteFile(path, bytes, 0600);
}

UseStore::UseStore(const std::string& path) : previous_(tzplatform::StorePath()) {
  tzplatform::SetStorePath(path);
}

UseStore::~UseStore() {
  tzplatform::SetStorePath(previous_);
}

std::string DescribeProperty(const ApplProperty& property) {
  std::string line = std::to_string(property.getType()) + " " + property.getName();
  if (auto* content = dynamic_cast<const ExchangeDBProperty*>(&property)) {
    return line + " store=" + content->getStoreName() +
           " description=" + content->getDescription() +
           " forceFull=" + (content->isForceFullOnNextBackup() ? "1" : "0");
  }
  if (auto* member = dynamic_cast<const DAGMemberServerProperty*>(&property)) {
    return line + " selected=" + (member->isSelectedForDAGClient() ? "1" : "0") +
           " agent=" + (member->isExchDBuVOInstalled() ? "1" : "0");
  }
  if (auto* association = dynamic_cast<const DAGDBProperty*>(&property))
    return line + " server=" + association->getAssociatedServer();
  return line + " value=" + property.getValue();
}

std::vector<std::string> Describe(const PropertiesList& list) {
  std::vector<std::string> lines;
  for (const ApplProperty* property : list) lines.push_back(DescribeProperty(*property));
  return lines;
}

namespace {

// The stored properties of `owner`, each as `describe` says; "status <n>" when
// they cannot be read.
template <typename Describer>
std::vector<std::string> Read(ApplProperties&& owner, Describer describe) {
  PropertiesList list;
  const int status = owner.getProperties(list, nullptr);
  if (status != 0) return {"status " + std::to_string(status)};
  std::vector<std::string> lines;
  for (const ApplProperty* property : list) lines.push_back(describe(*property));
  return lines;
}

}  // namespace

std::vector<std::string> SubclientProperties(uint64_t subclientId) {
  return Read(MsExchangeSubclient(subclientId, false), DescribeProperty);
}

std::vector<std::string> ClientPropertyLines(uint64_t clientId) {
  return Read(ClientProperties(clientId), DescribeProperty);
}

std::vector<std::string> SubclientContent(uint64_t subclientId) {
  return Read(MsExchangeSubclient(subclientId, false), [](const ApplProperty& p) -> std::string {
    if (const auto* c = dynamic_cast<const ExchangeDBProperty*>(&p)) {
      return std::string("content ") + c->getDescription() + "|" + c->getStoreName() +
             (c->isForceFullOnNextBackup() ? " full" : "");
    }
    if (const auto* a = dynamic_cast<const DAGDBProperty*>(&p))
      return "association " + a->getName() + " " + a->getAssociatedServer();
    return "other " + std::to_string(p.getType()) + " " + p.getName() + "=" + p.getValue();
  });
}

std::vector<std::string> FilesIn(const std::string& dir, bool sideFiles) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    bool side = name.size() > 4 && (name.compare(name.size() - 4, 4, "-wal") == 0 ||
                                    name.compare(name.size() - 4, 4, "-shm") == 0);
    if (sideFiles || !side) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tztest
