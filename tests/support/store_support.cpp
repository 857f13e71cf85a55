#include "store_support.h"

#include <filesystem>

#include "tzplatform/Subclient.h"
#include "tzplatform/fixture.h"
#include "tzplatform/settings.h"

namespace tztest {

std::string MakeStore(const TempDir& dir, const nlohmann::json& section, const std::string& name) {
  std::string path = dir.File(name);
  tzplatform::CreateStoreFromFixture(section, path);
  return path;
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
