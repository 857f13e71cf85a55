// Clients of the configuration store and their installed packages.
#include "tzplatform/TZClient.h"
#include "tzplatform/TZInstalledPackages.h"

#include "store/connection.h"
#include "store/store_call.h"

using tzplatform::store::CurrentStore;
using tzplatform::store::kNotFound;
using tzplatform::store::kOk;
using tzplatform::store::RunCall;
using tzplatform::store::Statement;

namespace {

// Runs `read` on the client's row (columns id, host, release, dag_associated);
// kNotFound when no client has that name.
template <typename Read>
int WithClientRow(const char* call, const std::string& name, Read&& read) {
  return RunCall(call, name, [&] {
    Statement row(CurrentStore(),
                  "SELECT id, host, release, dag_associated FROM clients WHERE name = ?1");
    row.Bind(1, name);
    if (!row.Step()) return int{kNotFound};
    return read(row);
  });
}

}  // namespace

TZClient::TZClient(const std::string& name, bool flag, int number)
    : name_(name), flag_(flag), number_(number) {}

TZClient::~TZClient() {
  // The flag and number change nothing in this store; they are only kept.
  static_cast<void>(flag_);
  static_cast<void>(number_);
}

int TZClient::lookup(void* /*reserved*/) {
  return WithClientRow("TZClient::lookup", name_, [](Statement&) { return int{kOk}; });
}

int TZClient::getClientId(uint64_t& id, void* /*reserved*/) {
  return WithClientRow("TZClient::getClientId", name_, [&](Statement& row) {
    id = static_cast<uint64_t>(row.Int(0));
    return int{kOk};
  });
}

int TZClient::getNetworkHostnameMangled(std::string& host, void* /*reserved*/) {
  return WithClientRow("TZClient::getNetworkHostnameMangled", name_, [&](Statement& row) {
    host = row.Text(1);
    return int{kOk};
  });
}

int TZClient::isDAGAssociatedClient(bool& associated, void* /*reserved*/) {
  return WithClientRow("TZClient::isDAGAssociatedClient", name_, [&](Statement& row) {
    associated = row.Bool(3);
    return int{kOk};
  });
}

int TZClient::getReleaseId(uint32_t& release, void* /*reserved*/) {
  return WithClientRow("TZClient::getReleaseId", name_, [&](Statement& row) {
    if (row.IsNull(2)) return int{kNotFound};
    release = static_cast<uint32_t>(row.Int(2));
    return int{kOk};
  });
}

TZInstalledPackages::TZInstalledPackages(DBtran* /*transaction*/) {
  if (int status = tzplatform::CheckFault("TZInstalledPackages::TZInstalledPackages", "*")) {
    throw tzplatform::StoreError("installed packages: cannot be read (status " +
                                 std::to_string(status) + ")");
  }
  // Fails here, as the product's would, when the store cannot be used at all.
  CurrentStore();
}

TZInstalledPackages::~TZInstalledPackages() = default;

int TZInstalledPackages::IsPackageInstalled(int32_t clientId, int packageId, bool& installed) {
  return RunCall("TZInstalledPackages::IsPackageInstalled", std::to_string(clientId), [&] {
    auto& db = CurrentStore();
    tzplatform::store::ReadTransaction snapshot(db);
    int64_t client = static_cast<uint32_t>(clientId);
    Statement known(db, "SELECT 1 FROM clients WHERE id = ?1");
    known.Bind(1, client);
    if (!known.Step()) return int{kNotFound};
    Statement package(db, "SELECT 1 FROM client_packages WHERE client_id = ?1 AND package_id = ?2");
    package.Bind(1, client).Bind(2, int64_t{packageId});
    installed = package.Step();
    return int{kOk};
  });
}
