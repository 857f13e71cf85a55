// Subclient maintenance: the selection type of a subclient, and the rewrite
// of its database content and database-to-server associations from a
// database discovery answer.
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <tzplatform/ApplicationId.h>
#include <tzplatform/Properties.h>
#include <tzplatform/StoreTransaction.h>
#include <tzplatform/Subclient.h>

#include "internal.h"
#include "name_lookup.h"
#include "tzdag/TzDagApi.h"

namespace {

const char kIsManualName[] = "IsAutomaticSubclient";
const char kUpdateName[] = "UpdateSubclient";

// Information event for a database that stays in a subclient's content with
// circular logging enabled; its one argument is the database path.
const uint32_t kCircularLoggingEvent = 469762421;  // 0x1C000175

// An association is named after its database with these four characters
// appended (the digit zero, x, one, two).
const char kAssociationSuffix[] = "0x12";

const int kUpdated = 0;
const int kUpdatedWithCircularLogging = -3;
const int kFailed = -1;

// What the walk over the old properties and the additions share.
struct UpdateState {
  explicit UpdateState(std::vector<std::string> discovered) : claims(std::move(discovered)) {}

  // The discovered names, in answer order with duplicates, as old content
  // entries claim them.
  NameClaims claims;
  // Circular logging per discovered name (exact text; first occurrence counts).
  std::unordered_map<std::string, bool> circularLogging;
  // Server of each old association, by its exact name (the last one counts).
  std::map<std::string, std::string> previousServers;
  // What the single addition names: database paths and association names.
  std::vector<std::string> additionNames;
  bool circularLoggingFound = false;
};

bool HasCircularLogging(const UpdateState& state, const std::string& name) {
  auto it = state.circularLogging.find(name);
  return it != state.circularLogging.end() && it->second;
}

// A failed store write ends the update: the caller's transaction is rolled
// back, so the subclient stays exactly as it was.
bool DeleteStoredProperty(MsExchangeSubclient& subclient, const std::string& name) {
  int status = subclient.deleteProperty(name, 0, 0);
  if (status != 0) {
    event.debug("[%s]: Failed to delete property %s. ErrCode = %d.", kUpdateName, name.c_str(),
                status);
    return false;
  }
  return true;
}

// An old content entry: it stays when an unclaimed discovered name matches
// its path (ignoring letter case), and is removed otherwise. False when a
// store write failed.
bool ReconcileContentEntry(MsExchangeSubclient& subclient, ExchangeDBProperty& entry,
                           bool markForceFull, UpdateState& state) {
  std::string path = DatabasePath(entry);
  // The claimed name is neither matched again nor added again.
  if (!state.claims.Claim(path)) return DeleteStoredProperty(subclient, entry.getName());
  // The circular-logging lookup uses the stored path exactly, so an entry
  // that matched only ignoring case counts as not circular-logging.
  if (HasCircularLogging(state, path)) {
    event << path;
    event.InfoEvent(kCircularLoggingEvent, 0, 0);
    event.debug("[%s]: Circular Logging Enabled for database:%s", kUpdateName, path.c_str());
    if (!markForceFull) {
      state.circularLoggingFound = true;
    } else if (!entry.isForceFullOnNextBackup()) {
      entry.setForceFullOnNextBackup(true);
      int status = subclient.updateProperty(entry, 0, 0);
      if (status != 0) {
        event.debug("[%s]: Failed to update property %s. ErrCode = %d.", kUpdateName,
                    entry.getName().c_str(), status);
        return false;
      }
      state.circularLoggingFound = true;
    }
    // An entry already marked for a full backup needs nothing more.
  }
  return true;
}

// A content entry for a database new to the subclient. The name splits at its
// first backslash; a name without one serves as both description and store
// name.
void AddContentEntry(const std::string& name, PropertiesList& additions, UpdateState& state) {
  std::string description = name;
  std::string storeName = name;
  std::string::size_type slash = name.find('\\');
  if (slash != std::string::npos) {
    description = name.substr(0, slash);
    storeName = name.substr(slash + 1);
  }
  const int noNumber = 0;
  ExchangeDBProperty entry(storeName, description, true, no_value_prop, no_value_prop, noNumber);
  additions.addToPropList(entry);
  state.additionNames.push_back(name);
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string joined;
  for (const std::string& name : names) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return joined;
}

}  // namespace

bool IsManualSubclient(uint32_t orbalId, uint32_t appId) {
  ApplicationId application(orbalId, appId);
  MsExchangeSubclient* subclient = LookUpSubclient(application, kIsManualName);
  if (subclient == nullptr) return false;
  bool automatic = false;
  int status = subclient->isselectionTypeAutomatic(automatic, nullptr);
  bool manual = !automatic;
  if (status != 0) {
    // Whatever the failed query left in the flag decides.
    event.debug("[%s]: isselectionTypeManual failed", kIsManualName);
    return manual;
  }
  event.debug(manual ? "[%s]: This is manual subclient" : "[%s]: This is automatic subclient",
              kIsManualName);
  return manual;
}

namespace {

// The update itself, inside the caller's store transaction: -1 when the
// transaction is to be rolled back.
int UpdateInTransaction(uint32_t orbalId, uint32_t appId, const Uvo::DAGDBResp& resp,
                        bool markForceFull) {
  ApplicationId application(orbalId, appId);
  MsExchangeSubclient* subclient = LookUpSubclient(application, kUpdateName);
  if (subclient == nullptr) return kFailed;
  bool automatic = false;
  if (subclient->isselectionTypeAutomatic(automatic, nullptr) != 0) {
    event.debug("[%s]: isselectionTypeManual failed", kUpdateName);
    return kFailed;
  }
  event.debug(
      automatic ? "[%s]: This is an automatic subclient" : "[%s]: This is a manual subclient",
      kUpdateName);

  // An answer without a database list says nothing about the databases: taken
  // as empty it would strip the subclient of its whole content and every
  // association. Refuse it before anything is written. (An answer with an
  // empty list does mean that no database was found.)
  if (!tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases)) {
    event.debug("[%s]: Discovery answer carries no database list; subclient left unchanged.",
                kUpdateName);
    return kFailed;
  }
  const CNMessageList& databases = resp.getDatabases();
  std::vector<std::string> discovered;
  discovered.reserve(databases.size());
  std::unordered_map<std::string, bool> circularLogging;
  for (const CNMessageBase& db : databases) {
    std::string name = tzdag::GetString(db, Uvo::DAGDB::kDbName);
    circularLogging.emplace(name, tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging) != 0);
    discovered.push_back(std::move(name));
  }
  UpdateState state(std::move(discovered));
  state.circularLogging = std::move(circularLogging);

  PropertiesList stored;
  if (subclient->getProperties(stored, nullptr) != 0) {
    event.debug("[%s]: Subclient configuration lookup failed.", kUpdateName);
    return kFailed;
  }

  // Old content entries are kept or removed one by one; every old
  // association is removed, its server remembered for a manual subclient.
  for (ApplProperty* property : stored) {
    if (property->getType() == ExchangeDBProperty::kType) {
      auto* entry = dynamic_cast<ExchangeDBProperty*>(property);
      if (entry != nullptr && !ReconcileContentEntry(*subclient, *entry, markForceFull, state)) {
        return kFailed;
      }
    } else if (property->getType() == DAGDBProperty::kType) {
      if (auto* association = dynamic_cast<DAGDBProperty*>(property)) {
        state.previousServers[association->getName()] = association->getAssociatedServer();
        if (!DeleteStoredProperty(*subclient, association->getName())) return kFailed;
      }
    }
  }
  event.debug("[%s]: Remove old sublicent content done", kUpdateName);

  PropertiesList additions;
  for (const std::string& name : state.claims.Unclaimed()) {
    if (HasCircularLogging(state, name)) {
      // A new database is reported in the log only; the event is for
      // databases already protected.
      event.debug("[%s]: Circular Logging Enabled for database:%s", kUpdateName, name.c_str());
      state.circularLoggingFound = true;
    }
    AddContentEntry(name, additions, state);
  }
  // Every discovered database gets an association. A manual subclient keeps
  // the server it had chosen; an automatic one follows discovery, "N/A"
  // included.
  for (const CNMessageBase& db : databases) {
    std::string associationName = tzdag::GetString(db, Uvo::DAGDB::kDbName) + kAssociationSuffix;
    auto previous = state.previousServers.find(associationName);
    std::string server = (previous != state.previousServers.end() && !automatic)
                             ? previous->second
                             : tzdag::GetString(db, Uvo::DAGDB::kBackupServer);
    additions.addToPropList(DAGDBProperty(associationName, server));
    state.additionNames.push_back(associationName);
  }
  int status = subclient->addProperties(additions, 0, 0);
  if (status != 0) {
    event.debug("[%s]: Failed to add properties %s. ErrCode = %d.", kUpdateName,
                JoinNames(state.additionNames).c_str(), status);
    return kFailed;
  }
  event.debug("[%s]: Add new sublicent content done", kUpdateName);
  return state.circularLoggingFound ? kUpdatedWithCircularLogging : kUpdated;
}

}  // namespace

int UpdateSubclient(uint32_t orbalId, uint32_t appId, const Uvo::DAGDBResp& resp,
                    bool markForceFull) {
  // One store transaction from the first read to the last write, events
  // included: concurrent updates of a subclient serialise, and a failure (or
  // a crash) leaves the subclient exactly as it was. A caller that holds a
  // transaction of its own decides for both.
  tzplatform::StoreTransaction transaction;
  if (int status = transaction.status()) {
    event.debug(
        "[%s]: Could not begin a store transaction (%s); subclient left unchanged. "
        "ErrCode = %d.",
        kUpdateName, transaction.errorString().c_str(), status);
    return kFailed;
  }
  const int result = UpdateInTransaction(orbalId, appId, resp, markForceFull);
  if (result == kFailed) return kFailed;  // rolled back as the transaction ends
  if (int status = transaction.Commit()) {
    event.debug(
        "[%s]: Could not commit the update (%s); subclient left unchanged. "
        "ErrCode = %d.",
        kUpdateName, transaction.errorString().c_str(), status);
    return kFailed;
  }
  return result;
}
