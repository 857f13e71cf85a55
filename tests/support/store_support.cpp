#include "store_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "tzplatform/StoreTransaction.h"
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

LockHolder::LockHolder(const std::string& path) {
  int ready[2];
  int release[2];
  if (pipe(ready) != 0 || pipe(release) != 0) {
    ADD_FAILURE() << "pipe failed";
    return;
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(ready[0]);
    close(release[1]);
    char answer = 'F';
    {
      tzplatform::SetStorePath(path);
      tzplatform::StoreTransaction transaction;
      if (transaction.status() == 0) answer = 'L';
      (void)!write(ready[1], &answer, 1);
      char ignored;
      while (read(release[0], &ignored, 1) > 0) {
      }
    }
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  pid_ = pid;
  release_ = release[1];
  char answer = 0;
  if (pid < 0 || read(ready[0], &answer, 1) != 1 || answer != 'L') {
    ADD_FAILURE() << "the other process could not take the write lock of " << path;
  }
  close(ready[0]);
}

LockHolder::~LockHolder() {
  if (release_ >= 0) close(release_);
  if (pid_ > 0) {
    int status = 0;
    waitpid(pid_, &status, 0);
  }
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
  if (auto* association = dynamic_cast<const DAGDBProperty*>(&property)) {
    return line + " server=" + association->getAssociatedServer();
  }
  return line + " value=" + property.getValue();
}

std::vector<std::string> Describe(const PropertiesList& list) {
  std::vector<std::string> lines;
  for (const ApplProperty* property : list) lines.push_back(DescribeProperty(*property));
  return lines;
}

namespace {

std::vector<std::string> Read(ApplProperties& owner) {
  PropertiesList list;
  int status = owner.getProperties(list, nullptr);
  if (status != 0) return {"status " + std::to_string(status)};
  return Describe(list);
}

}  // namespace

std::vector<std::string> SubclientProperties(uint64_t subclientId) {
  MsExchangeSubclient subclient(subclientId, false);
  return Read(subclient);
}

std::vector<std::string> ClientPropertyLines(uint64_t clientId) {
  ClientProperties client(clientId);
  return Read(client);
}

std::vector<std::string> SubclientContent(uint64_t subclientId) {
  MsExchangeSubclient subclient(subclientId, false);
  PropertiesList list;
  int status = subclient.getProperties(list, nullptr);
  if (status != 0) return {"status " + std::to_string(status)};
  std::vector<std::string> lines;
  for (const ApplProperty* p : list) {
    if (const auto* c = dynamic_cast<const ExchangeDBProperty*>(p)) {
      lines.push_back(std::string("content ") + c->getDescription() + "|" + c->getStoreName() +
                      (c->isForceFullOnNextBackup() ? " full" : ""));
    } else if (const auto* a = dynamic_cast<const DAGDBProperty*>(p)) {
      lines.push_back("association " + a->getName() + " " + a->getAssociatedServer());
    } else {
      lines.push_back("other " + std::to_string(p->getType()) + " " + p->getName() + "=" +
                      p->getValue());
    }
  }
  return lines;
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
