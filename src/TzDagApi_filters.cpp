// Narrowing of a database discovery answer: to the member servers selected
// for the DAG client, and to the databases of one subclient.
#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include <tzplatform/ApplicationId.h>
#include <tzplatform/ClientApplicationList.h>
#include <tzplatform/Properties.h>
#include <tzplatform/Subclient.h>

#include "internal.h"
#include "name_lookup.h"
#include "tzdag/TzDagApi.h"

namespace {

const char kNotAvailable[] = "N/A";
// The store's own value for the subclient list query.
const int kSubclientListFlags = 15;

// The backup server the configuration allows for one database.
const std::string& ChooseBackupServer(const std::string& toolChoice, const NameSet& selected,
                                      const CNStringList& keptCopyServers) {
  // The tool's "no server" marker is exact; "n/a" is just a name.
  if (toolChoice == kNotAvailable) return toolChoice;
  if (selected.Contains(toolChoice)) return toolChoice;
  return keptCopyServers.front();
}

// The database paths of a subclient's content, appended in content order.
void AppendDatabasePaths(const PropertiesList& properties, std::vector<std::string>& paths) {
  for (const ApplProperty* property : properties) {
    const ExchangeDBProperty* entry = AsDatabaseEntry(property);
    if (entry != nullptr) paths.push_back(DatabasePath(*entry));
  }
}

}  // namespace

bool FilterResponceForClient(uint32_t clientId, Uvo::DAGDBResp& response) {
  static const char kLogName[] = "FilterResponceForClient";
  std::vector<std::string> selectedServers = GetSelectedServers(clientId);
  if (selectedServers.empty()) {
    event.debug("[%s]: No member servers found for this DAG client", kLogName);
    return false;
  }
  NameSet selected(selectedServers);

  // The answer is narrowed where it lies: the decoded records are the
  // client's records once they lose the copies it does not select and what
  // the tool sent beyond the four fields. The list is set even when nothing
  // is left.
  const tzdag::FieldId& list = Uvo::DAGDBResp::kDatabases;
  CNMessageList& databases =
      response.getlistobject(list.field, list.slot, list.classKey, list.fieldKey, true);
  // A record of another kind fails here, as reading its copies would, before
  // anything has changed.
  for (const CNMessageBase& database : databases) {
    if (database.getTagID() != Uvo::DAGDB::kClassKey) {
      tzdag::GetStringList(database, Uvo::DAGDB::kCopyServers);
    }
  }
  size_t kept = 0;
  for (CNMessageBase& database : databases) {
    const tzdag::FieldId& copies = Uvo::DAGDB::kCopyServers;
    CNStringList& servers =
        database.getliststring(copies.field, copies.slot, copies.classKey, copies.fieldKey, true);
    servers.erase(std::remove_if(servers.begin(), servers.end(),
                                 [&selected](const std::string& server) {
                                   return !selected.Contains(server);
                                 }),
                  servers.end());
    // No selected server holds a copy: nothing of this client to back up.
    if (servers.empty()) continue;

    const std::string& backupServer = tzdag::GetStringRef(database, Uvo::DAGDB::kBackupServer);
    tzdag::SetString(database, Uvo::DAGDB::kBackupServer,
                     ChooseBackupServer(backupServer, selected, servers));
    // Each of the four fields is set, as in a record built for the client.
    tzdag::SetString(database, Uvo::DAGDB::kDbName,
                     tzdag::GetStringRef(database, Uvo::DAGDB::kDbName));
    tzdag::SetInt64(database, Uvo::DAGDB::kCircularLogging,
                    tzdag::GetInt64(database, Uvo::DAGDB::kCircularLogging) != 0 ? 1 : 0);
    database.clearunknown();
    if (&databases[kept] != &database) databases[kept] = std::move(database);
    ++kept;
  }
  databases.erase(databases.begin() + static_cast<std::ptrdiff_t>(kept), databases.end());
  return true;
}

bool GetSubclientsDbList(uint32_t orbalId, uint32_t appId,
                         std::vector<std::string>& defaultSubclientDbs,
                         std::vector<std::string>& customSubclientDbs) {
  static const char kLogName[] = "GetSubclientsDbList";
  defaultSubclientDbs.clear();
  customSubclientDbs.clear();

  ApplicationId application(orbalId, appId);
  if (application.getApplicationId(nullptr) != 0) {
    event.debug("[%s]: getApplicationId() failed with error '%s'.", kLogName,
                application.getErrorString().c_str());
    return false;
  }
  uint64_t appType = application.getApplicationType(nullptr).getApplicationTypeId();
  uint64_t backupSet = application.getBackupSet(nullptr).getBackupSetId();

  std::vector<uint64_t> ids;
  std::vector<std::string> names;
  ClientApplicationList subclients;
  if (subclients.getSubclientList(ids, names, appType, backupSet, nullptr, kSubclientListFlags) !=
      0) {
    event.debug("[%s]: Error getting subclient list for appType[%ld] backupSet[%ld].", kLogName,
                static_cast<long>(appType), static_cast<long>(backupSet));
    return false;
  }

  // The default subclient stands for every database no custom subclient
  // names, so a backup set without one cannot be divided.
  bool defaultFound = false;
  Subclient probe;
  for (uint64_t id : ids) {
    probe.setSubclientId(id);
    bool isDefault = false;
    int status = probe.isDefaultSubclient(isDefault, nullptr);
    if (status != 0) {
      event.debug("[%s]: MsExchange2000Subclient::isDefaultSubclient() failed with error '%d'.",
                  kLogName, status);
      return false;
    }
    if (isDefault) {
      event.debug("Found the default Subclient.");
      defaultFound = true;
      break;
    }
  }
  if (!defaultFound) {
    event.debug("[%s]: Could not find the default subclient.", kLogName);
    return false;
  }

  for (uint64_t id : ids) {
    MsExchangeSubclient subclient(id, false);
    try {
      bool deleted = false;
      int status = subclient.isDeleted(deleted, nullptr);
      if (status != 0) {
        event.debug("[%s]: MsExchange2000Subclient::isDeleted() failed with error '%d'.", kLogName,
                    status);
        return false;
      }
      if (deleted) {
        event.debug("[%s]: *** FOUND A DELETED SUBCLIENT ***", kLogName);
        continue;
      }
      bool isDefault = false;
      status = subclient.isDefaultSubclient(isDefault, nullptr);
      if (status != 0) {
        event.debug("[%s]: MsExchange2000Subclient::isDefaultSubclient() failed with error '%d'.",
                    kLogName, status);
        return false;
      }
      if (isDefault) event.debug("Found the default Subclient.");

      PropertiesList content;
      ApplProperties& properties = subclient;
      status = properties.getProperties(content, nullptr);
      if (status != 0) {
        event.debug("[%s]: MsExchange2000Subclient::getProperties() failed with error '%d'.",
                    kLogName, status);
        return false;
      }
      AppendDatabasePaths(content, isDefault ? defaultSubclientDbs : customSubclientDbs);
    } catch (...) {
      event.debug(
          "GetSubclientsDbListGetSubclientsDbList: Exception in comparing with all sublicents");
      return false;
    }
  }
  return true;
}

bool GetSubclientContent(uint32_t orbalId, uint32_t appId, bool& isDefault,
                         std::vector<std::string>& content) {
  static const char kLogName[] = "GetSubclientContent";
  isDefault = false;

  ApplicationId application(orbalId, appId);
  MsExchangeSubclient* subclient = LookUpSubclient(application, kLogName);
  if (subclient == nullptr) return false;

  PropertiesList properties;
  ApplProperties& stored = *subclient;
  int status = stored.getProperties(properties, nullptr);
  if (status != 0) {
    event.debug("[%s]: Subclient configuration lookup failed with error [%d].", kLogName, status);
    return false;
  }
  for (const ApplProperty* property : properties) {
    const ExchangeDBProperty* entry = AsDatabaseEntry(property);
    if (entry == nullptr) continue;
    event.debug("Description: %s; StoreName: %s", entry->getDescription(), entry->getStoreName());
    std::string path = DatabasePath(*entry);
    event.debug("[%s]: Get database path from content tab: %s", kLogName, path.c_str());
    content.push_back(path);
  }

  status = subclient->isDefaultSubclient(isDefault, nullptr);
  if (status != 0) {
    event.debug("[%s]: Check subclient is default or not failed with error [%d].", kLogName,
                status);
    return false;
  }
  event.debug(
      isDefault ? "[%s]: This is from default subclient" : "[%s]: This is from custom subclient",
      kLogName);
  return true;
}

bool FilterResponceForSubClient(uint32_t orbalId, uint32_t appId, Uvo::DAGDBResp& response) {
  static const char kLogName[] = "FilterResponceForSubClient";
  std::vector<std::string> defaultSubclientDbs;
  std::vector<std::string> customSubclientDbs;
  if (!GetSubclientsDbList(orbalId, appId, defaultSubclientDbs, customSubclientDbs)) {
    event.debug("[%s]: GetSubclientsDbList failed", kLogName);
    return false;
  }
  bool isDefault = false;
  std::vector<std::string> content;
  if (!GetSubclientContent(orbalId, appId, isDefault, content)) {
    event.debug("[%s]: GetSubclientContent failed", kLogName);
    return false;
  }

  // The default subclient protects what no custom subclient names; a custom
  // one protects exactly its own content.
  NameSet names(isDefault ? customSubclientDbs : content);
  CNMessageList& databases = response.getDatabases();
  CNMessageList kept;
  kept.reserve(databases.size());
  for (CNMessageBase& database : databases) {
    bool named = names.Contains(tzdag::GetStringRef(database, Uvo::DAGDB::kDbName));
    // Whole records: whatever else the tool said about a database stays.
    if (named != isDefault) kept.push_back(std::move(database));
  }
  ReplaceList(response, Uvo::DAGDBResp::kDatabases, std::move(kept));
  return true;
}
