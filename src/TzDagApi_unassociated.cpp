// The databases of a DAG client that no subclient of that client protects.
#include <string>
#include <unordered_set>
#include <vector>

#include <tzplatform/ClientApplicationList.h>
#include <tzplatform/Properties.h>
#include <tzplatform/Subclient.h>

#include "internal.h"
#include "name_lookup.h"
#include "tzdag/TzDagApi.h"

namespace {

const char kName[] = "DiscoverUnassociatedExDatabase";

// Lists every subclient of the client with its content.
const int kSubclientListFlags = 15;

// Appends the database path of every content entry of subclient `id` to
// `paths`. False when its properties cannot be read.
bool CollectContent(uint64_t id, std::vector<std::string>& paths) {
  MsExchangeSubclient subclient(id, false);
  PropertiesList properties;
  int status = subclient.getProperties(properties, nullptr);
  if (status != 0) {
    event.Error(kName, "MsExchange Subclient::getProperties() failed with error [%d]", status);
    return false;
  }
  for (const ApplProperty* property : properties) {
    const ExchangeDBProperty* entry = AsDatabaseEntry(property);
    if (entry == nullptr) continue;
    std::string path = DatabasePath(*entry);
    event.DebugLvl(kName, 3, "Found content [%s] for scId [%lu]", path.c_str(),
                   static_cast<unsigned long>(id));
    paths.push_back(path);
  }
  return true;
}

// Whether some content path names the database exactly (letter case counts).
// The search is written out comparison by comparison at level 5; when those
// lines are not written, a keyed lookup gives the same answer without a scan
// of every subclient's content per database.
bool IsProtected(const std::string& dbName, const std::vector<std::string>& paths,
                 const std::unordered_set<std::string>* keyed) {
  if (keyed != nullptr) return keyed->count(dbName) != 0;
  for (const std::string& path : paths) {
    event.DebugLvl(kName, 5, "Compare sc content [%s] with exDBName [%s]", path.c_str(),
                   dbName.c_str());
    if (path == dbName) return true;
  }
  return false;
}

}  // namespace

bool DiscoverUnassociatedExDatabase(uint32_t orbalId, uint32_t clientId, Uvo::DAGDBResp& resp) {
  event.Debug(kName, "Invoked for clientId [%u]", clientId);

  // No subclient filter: every database of the client's selected servers.
  std::string server;
  bool discovered = DiscoverExDatabase(orbalId, clientId, 0, server, resp, 0);
  const Uvo::DAGDBResp& answer = resp;
  if (!discovered || !tzdag::IsSet(answer, Uvo::DAGDBResp::kDatabases) ||
      answer.getDatabases().empty()) {
    event.Error(kName, "Failed to discover unassociated DBs (filtered by client)");
    return false;
  }

  std::vector<uint64_t> ids;
  std::vector<std::string> names;
  ClientApplicationList applications;
  if (applications.getSubclientList(ids, names, static_cast<uint64_t>(clientId), 0, 0, 0, nullptr,
                                    kSubclientListFlags) != 0) {
    event.Error(kName, "Error getting subclient list for clientId[%u]", clientId);
    return false;
  }
  event.DebugLvl(kName, 2, "Found [%lu] subclients for clientId[%u]",
                 static_cast<unsigned long>(ids.size()), clientId);

  std::vector<std::string> paths;
  for (uint64_t id : ids) {
    if (!CollectContent(id, paths)) return false;
  }

  std::unordered_set<std::string> keyed;
  const bool comparisonsLogged = event.isLevelEnabled(5);
  if (!comparisonsLogged) keyed.insert(paths.begin(), paths.end());
  CNMessageList unassociated;
  for (const CNMessageBase& db : answer.getDatabases()) {
    std::string dbName = tzdag::GetString(db, Uvo::DAGDB::kDbName);
    if (IsProtected(dbName, paths, comparisonsLogged ? nullptr : &keyed)) continue;
    event.DebugLvl(kName, 5, "Adding unassociated content [%s] to response", dbName.c_str());
    unassociated.push_back(db);
  }
  resp.setDatabases(unassociated);

  event.Debug(kName,
              "Response xml that is sent for db contents that are not associated to any SCs is: %s",
              RecordXml(resp).c_str());
  event.Debug(kName,
              "Discover exchange database to return db contents un-associated to any SC finished "
              "successfully");
  return true;
}
