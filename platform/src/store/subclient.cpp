// Property owners: clients and subclients.
#include "tzplatform/Subclient.h"

#include <vector>

#include "store/connection.h"
#include "store/property_rows.h"
#include "store/store_call.h"

namespace tzplatform {
namespace store {
namespace {

// Reads one flag column of a subclient row; `named` is false for a subclient
// object that was never given an id.
int ReadSubclientFlag(const char* call, bool named, uint64_t subclientId, const char* column,
                      bool& flag) {
  return RunCall(call, IdKey(subclientId), [&] {
    if (!named) return int{kNotFound};
    Connection& db = CurrentStore();
    Statement read(db, std::string("SELECT ") + column + " FROM subclients WHERE id = ?1");
    read.Bind(1, static_cast<int64_t>(subclientId));
    if (!read.Step()) return int{kNotFound};
    flag = read.Bool(0);
    return int{kOk};
  });
}

}  // namespace
}  // namespace store
}  // namespace tzplatform

using tzplatform::store::CurrentStore;
using tzplatform::store::IdKey;
using tzplatform::store::kBadArgument;
using tzplatform::store::kClientOwner;
using tzplatform::store::kNotFound;
using tzplatform::store::kOk;
using tzplatform::store::kSubclientOwner;
using tzplatform::store::OwnerTable;
using tzplatform::store::RunCall;

namespace {

const OwnerTable* OwnerTableOf(bool client) {
  return client ? &kClientOwner : &kSubclientOwner;
}

}  // namespace

ApplProperties::ApplProperties() = default;
ApplProperties::~ApplProperties() = default;

int ApplProperties::getProperties(PropertiesList& list, void* /*reserved*/) {
  return RunCall("ApplProperties::getProperties", IdKey(ownerId_), [&] {
    if (ownerKind_ == OwnerKind::kNone) return int{kNotFound};
    const OwnerTable& table = *OwnerTableOf(ownerKind_ == OwnerKind::kClient);
    auto& db = CurrentStore();
    tzplatform::store::ReadTransaction snapshot(db);
    if (!OwnerExists(db, table, ownerId_)) return int{kNotFound};
    // Read into a list of our own so that a failure leaves the caller's as it was.
    PropertiesList read;
    ReadProperties(db, table, ownerId_, read);
    for (ApplProperty* property : read) list.addToPropList(*property);
    return int{kOk};
  });
}

int ApplProperties::updateProperty(const ApplProperty& property, int /*reserved1*/,
                                   int /*reserved2*/) {
  return RunCall("ApplProperties::updateProperty", IdKey(ownerId_), [&] {
    if (ownerKind_ == OwnerKind::kNone) return int{kNotFound};
    if (!tzplatform::store::IsWritable(property)) return int{kBadArgument};
    const OwnerTable& table = *OwnerTableOf(ownerKind_ == OwnerKind::kClient);
    auto& db = CurrentStore();
    tzplatform::store::WriteTransaction transaction(db);
    if (!OwnerExists(db, table, ownerId_)) return int{kNotFound};
    int updated = UpdateProperty(db, table, ownerId_, property);
    transaction.Commit();
    return updated > 0 ? int{kOk} : int{kNotFound};
  });
}

int ApplProperties::deleteProperty(const std::string& name, int /*reserved1*/, int /*reserved2*/) {
  return RunCall("ApplProperties::deleteProperty", IdKey(ownerId_), [&] {
    if (ownerKind_ == OwnerKind::kNone) return int{kNotFound};
    const OwnerTable& table = *OwnerTableOf(ownerKind_ == OwnerKind::kClient);
    auto& db = CurrentStore();
    tzplatform::store::WriteTransaction transaction(db);
    if (!OwnerExists(db, table, ownerId_)) return int{kNotFound};
    DeleteProperties(db, table, ownerId_, name);
    transaction.Commit();
    return int{kOk};
  });
}

ApplBackupContent::~ApplBackupContent() = default;

ClientProperties::ClientProperties(uint64_t clientId) {
  setOwner(OwnerKind::kClient, clientId);
}

ClientProperties::~ClientProperties() = default;

Subclient::Subclient() = default;

Subclient::Subclient(uint64_t subclientId) {
  setOwner(OwnerKind::kSubclient, subclientId);
}

Subclient::~Subclient() = default;

int Subclient::setSubclientId(uint64_t subclientId) {
  return RunCall("Subclient::setSubclientId", IdKey(subclientId), [&] {
    setOwner(OwnerKind::kSubclient, subclientId);
    auto& db = CurrentStore();
    return OwnerExists(db, kSubclientOwner, subclientId) ? int{kOk} : int{kNotFound};
  });
}

int Subclient::isDefaultSubclient(bool& isDefault, void* /*reserved*/) {
  return tzplatform::store::ReadSubclientFlag("Subclient::isDefaultSubclient",
                                              ownerKind() == OwnerKind::kSubclient, ownerId(),
                                              "is_default", isDefault);
}

int Subclient::isDeleted(bool& deleted, void* /*reserved*/) {
  return tzplatform::store::ReadSubclientFlag(
      "Subclient::isDeleted", ownerKind() == OwnerKind::kSubclient, ownerId(), "deleted", deleted);
}

int Subclient::addProperties(PropertiesList& list, int /*reserved1*/, int /*reserved2*/) {
  return RunCall("Subclient::addProperties", IdKey(ownerId()), [&] {
    if (ownerKind() != OwnerKind::kSubclient) return int{kNotFound};
    for (const ApplProperty* property : list) {
      if (!tzplatform::store::IsWritable(*property)) return int{kBadArgument};
    }
    auto& db = CurrentStore();
    tzplatform::store::WriteTransaction transaction(db);
    if (!OwnerExists(db, kSubclientOwner, ownerId())) return int{kNotFound};
    std::vector<std::string> names;
    names.reserve(list.size());
    for (const ApplProperty* property : list) {
      names.push_back(AppendProperty(db, kSubclientOwner, ownerId(), *property));
    }
    transaction.Commit();
    // The caller's entries learn their store names only once they are stored.
    size_t i = 0;
    for (ApplProperty* property : list) property->setName(names[i++]);
    return int{kOk};
  });
}

SubclientConf::SubclientConf() = default;
SubclientConf::SubclientConf(uint64_t subclientId) : Subclient(subclientId) {}
SubclientConf::~SubclientConf() = default;

MsSqlSubclient::MsSqlSubclient() = default;
MsSqlSubclient::MsSqlSubclient(uint64_t subclientId) : SubclientConf(subclientId) {}
MsSqlSubclient::~MsSqlSubclient() = default;

MsExchangeSubclient::MsExchangeSubclient(uint64_t subclientId, bool /*flag*/)
    : MsSqlSubclient(subclientId) {}

MsExchangeSubclient::~MsExchangeSubclient() = default;

int MsExchangeSubclient::isselectionTypeAutomatic(bool& automatic, void* /*reserved*/) {
  return tzplatform::store::ReadSubclientFlag("MsExchangeSubclient::isselectionTypeAutomatic",
                                              ownerKind() == OwnerKind::kSubclient, ownerId(),
                                              "selection_type = 'automatic'", automatic);
}

int MsExchangeSubclient::isDAGBackupFromPassiveCopySet(bool& set, void* /*reserved*/) {
  return tzplatform::store::ReadSubclientFlag("MsExchangeSubclient::isDAGBackupFromPassiveCopySet",
                                              ownerKind() == OwnerKind::kSubclient, ownerId(),
                                              "backup_from_passive", set);
}

int MsExchangeSubclient::isDAGBackupFromActiveCopy(bool& set, void* /*reserved*/) {
  return tzplatform::store::ReadSubclientFlag("MsExchangeSubclient::isDAGBackupFromActiveCopy",
                                              ownerKind() == OwnerKind::kSubclient, ownerId(),
                                              "use_active_if_no_passive", set);
}

int MsExchangeSubclient::isDAGUseLastActivationPreferenceSet(bool& set, void* /*reserved*/) {
  return tzplatform::store::ReadSubclientFlag(
      "MsExchangeSubclient::isDAGUseLastActivationPreferenceSet",
      ownerKind() == OwnerKind::kSubclient, ownerId(), "use_last_activation_preference", set);
}
