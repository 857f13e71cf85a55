// Applications (subclients) and subclient lists of the configuration store.
#include "tzplatform/ApplicationId.h"
#include "tzplatform/ClientApplicationList.h"

#include "store/connection.h"
#include "store/store_call.h"

using tzplatform::store::CurrentStore;
using tzplatform::store::IdKey;
using tzplatform::store::kNotFound;
using tzplatform::store::kOk;
using tzplatform::store::RunCall;
using tzplatform::store::Statement;

namespace {

// Reads one column of the application's row; kNotFound when the pair names
// no application.
template <typename Read>
int WithApplicationRow(const char* call, uint64_t orbalId, uint64_t appId, const char* columns,
                       Read&& read) {
  return RunCall(call, IdKey(appId), [&] {
    Statement row(CurrentStore(), std::string("SELECT ") + columns +
                                      " FROM subclients WHERE id = ?1 AND orbal_id = ?2");
    row.Bind(1, static_cast<int64_t>(appId)).Bind(2, static_cast<int64_t>(orbalId));
    if (!row.Step()) return int{kNotFound};
    read(row);
    return int{kOk};
  });
}

}  // namespace

ApplicationId::ApplicationId(uint64_t orbalId, uint64_t appId) : orbalId_(orbalId), appId_(appId) {}

ApplicationId::~ApplicationId() = default;

int ApplicationId::getApplicationId(void* /*reserved*/) {
  int status = WithApplicationRow("ApplicationId::getApplicationId", orbalId_, appId_, "id",
                                  [](Statement&) {});
  if (status == kOk) {
    error_.clear();
  } else if (status == kNotFound) {
    error_ = "application " + std::to_string(appId_) + " of installation " +
             std::to_string(orbalId_) + " is not in the configuration store";
  } else {
    error_ = "the configuration store could not be read (status " + std::to_string(status) + ")";
  }
  return status;
}

std::string ApplicationId::getErrorString() const {
  return error_;
}

ApplicationType ApplicationId::getApplicationType(void* /*reserved*/) {
  uint64_t type = 0;
  WithApplicationRow("ApplicationId::getApplicationType", orbalId_, appId_, "app_type",
                     [&](Statement& row) { type = static_cast<uint64_t>(row.Int(0)); });
  return ApplicationType(type);
}

BackupSet ApplicationId::getBackupSet(void* /*reserved*/) {
  uint64_t backupSet = 0;
  WithApplicationRow("ApplicationId::getBackupSet", orbalId_, appId_, "backup_set",
                     [&](Statement& row) { backupSet = static_cast<uint64_t>(row.Int(0)); });
  return BackupSet(backupSet);
}

MsExchangeSubclient* ApplicationId::getSubclient(void* /*reserved*/) {
  int status =
      WithApplicationRow("ApplicationId::getSubclient", orbalId_, appId_, "id", [](Statement&) {});
  if (status != kOk) return nullptr;
  if (subclient_ == nullptr) subclient_ = std::make_unique<MsExchangeSubclient>(appId_, false);
  return subclient_.get();
}

ClientApplicationList::ClientApplicationList() = default;
ClientApplicationList::~ClientApplicationList() = default;

namespace {

// Replaces ids and names with the rows (id, name) of `query`, whose
// parameters `bind` fills; on failure both are left as they were.
template <typename Bind>
int ListSubclients(const char* call, const std::string& key, const char* query, Bind&& bind,
                   std::vector<uint64_t>& ids, std::vector<std::string>& names) {
  return RunCall(call, key, [&] {
    std::vector<uint64_t> foundIds;
    std::vector<std::string> foundNames;
    Statement rows(CurrentStore(), query);
    bind(rows);
    while (rows.Step()) {
      foundIds.push_back(static_cast<uint64_t>(rows.Int(0)));
      foundNames.push_back(rows.Text(1));
    }
    ids = std::move(foundIds);
    names = std::move(foundNames);
    return int{kOk};
  });
}

}  // namespace

int ClientApplicationList::getSubclientList(std::vector<uint64_t>& ids,
                                            std::vector<std::string>& names,
                                            uint64_t applicationTypeId, uint64_t backupSetId,
                                            void* /*reserved*/, int /*flags*/) {
  return ListSubclients(
      "ClientApplicationList::getSubclientList",
      std::to_string(applicationTypeId) + "/" + std::to_string(backupSetId),
      "SELECT id, name FROM subclients WHERE app_type = ?1 AND backup_set = ?2 ORDER BY seq",
      [&](Statement& rows) {
        rows.Bind(1, static_cast<int64_t>(applicationTypeId))
            .Bind(2, static_cast<int64_t>(backupSetId));
      },
      ids, names);
}

int ClientApplicationList::getSubclientList(std::vector<uint64_t>& ids,
                                            std::vector<std::string>& names, uint64_t clientId,
                                            int /*reserved1*/, int /*reserved2*/, int /*reserved3*/,
                                            void* /*reserved*/, int /*flags*/) {
  return ListSubclients(
      "ClientApplicationList::getSubclientList", IdKey(clientId),
      "SELECT id, name FROM subclients WHERE client_id = ?1 ORDER BY seq",
      [&](Statement& rows) { rows.Bind(1, static_cast<int64_t>(clientId)); }, ids, names);
}
