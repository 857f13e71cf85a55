#include "subclient_changes.h"

#include <map>

#include <tzplatform/Properties.h>
#include <tzplatform/Subclient.h>

#include "live_subclients.h"
#include "name_lookup.h"

namespace {

// A content entry is the same entry before and after when the store name and
// the path agree (the store may give a freed name to a new entry).
const StoredContentEntry* FindEntry(const std::vector<StoredContentEntry>& entries,
                                    const StoredContentEntry& entry) {
  for (const StoredContentEntry& candidate : entries) {
    if (candidate.name == entry.name && candidate.path == entry.path) return &candidate;
  }
  return nullptr;
}

// The database an association stands for; one stored without the suffix
// stands for the database of its whole name.
std::string DatabaseOf(const StoredAssociation& association) {
  std::string database;
  return AssociatedDatabase(association.name, database) ? database : association.name;
}

}  // namespace

std::vector<std::string> StoredSubclient::Paths() const {
  std::vector<std::string> paths;
  paths.reserve(content.size());
  for (const StoredContentEntry& entry : content) paths.push_back(entry.path);
  return paths;
}

StoredSubclient ReadStoredSubclient(uint32_t appId) {
  StoredSubclient state;
  MsExchangeSubclient subclient(appId, false);
  PropertiesList properties;
  ApplProperties& stored = subclient;
  if (stored.getProperties(properties, nullptr) != 0) return state;
  state.read = true;
  for (const ApplProperty* property : properties) {
    if (const ExchangeDBProperty* entry = AsDatabaseEntry(property)) {
      state.content.push_back(
          {entry->getName(), DatabasePath(*entry), entry->isForceFullOnNextBackup()});
    } else if (const auto* association = dynamic_cast<const DAGDBProperty*>(property)) {
      state.associations.push_back({association->getName(), association->getAssociatedServer()});
    }
  }
  return state;
}

_tagSubclientChanges CompareStoredSubclients(const StoredSubclient& before,
                                             const StoredSubclient& after) {
  _tagSubclientChanges changes;
  for (const StoredContentEntry& entry : before.content) {
    if (FindEntry(after.content, entry) == nullptr) changes.removed.push_back(entry.path);
  }
  for (const StoredContentEntry& entry : after.content) {
    const StoredContentEntry* old = FindEntry(before.content, entry);
    if (old == nullptr) {
      changes.added.push_back(entry.path);
    } else if (!old->forceFull && entry.forceFull) {
      changes.marked.push_back(entry.path);
    }
  }
  // Associations are compared by database, so that one stored under another
  // spelling of its name (with or without the suffix) still counts as the
  // database's previous server.
  std::map<std::string, std::string> previousServers;
  for (const StoredAssociation& association : before.associations) {
    previousServers[DatabaseOf(association)] = association.server;
  }
  for (const StoredAssociation& association : after.associations) {
    _tagReassociation change;
    change.database = DatabaseOf(association);
    change.to = association.server;
    auto previous = previousServers.find(change.database);
    if (previous != previousServers.end()) {
      if (previous->second == association.server) continue;
      change.hadServer = true;
      change.from = previous->second;
    }
    changes.reassociated.push_back(std::move(change));
  }
  return changes;
}
