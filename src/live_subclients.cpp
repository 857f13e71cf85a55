#include "live_subclients.h"

#include <limits>

#include <tzplatform/ApplicationId.h>
#include <tzplatform/ClientApplicationList.h>
#include <tzplatform/Properties.h>
#include <tzplatform/Subclient.h>

#include "name_lookup.h"
#include "tzdag/frame.h"

namespace {

// The store's own value for the subclient list query.
const int kSubclientListFlags = 15;

enum class Reading { kLive, kLeftOut, kUnreadable };

Reading ReadOne(const char* logName, uint32_t orbalId, LiveSubclient& subclient) {
  ApplicationId application(orbalId, subclient.id);
  if (application.getApplicationId(nullptr) != 0) {
    event.debug("[%s]: Subclient %u is not one of installation %u (%s); left out", logName,
                subclient.id, orbalId, application.getErrorString().c_str());
    return Reading::kLeftOut;
  }
  MsExchangeSubclient stored(subclient.id, false);
  bool deleted = false;
  bool automatic = true;
  bool isDefault = false;
  PropertiesList properties;
  ApplProperties& storedProperties = stored;
  if (stored.isDeleted(deleted, nullptr) != 0 ||
      stored.isselectionTypeAutomatic(automatic, nullptr) != 0 ||
      stored.isDefaultSubclient(isDefault, nullptr) != 0 ||
      storedProperties.getProperties(properties, nullptr) != 0) {
    return Reading::kUnreadable;
  }
  if (deleted) return Reading::kLeftOut;
  subclient.automatic = automatic;
  subclient.isDefault = isDefault;
  subclient.preferences = ReadCopyPreferences(orbalId, subclient.id);
  for (const ApplProperty* property : properties) {
    if (const ExchangeDBProperty* entry = AsDatabaseEntry(property)) {
      subclient.content.push_back(DatabasePath(*entry));
    } else if (property->getType() == DAGDBProperty::kType) {
      auto* association = dynamic_cast<const DAGDBProperty*>(property);
      std::string database;
      if (association != nullptr && AssociatedDatabase(property->getName(), database)) {
        subclient.associations.emplace_back(database, association->getAssociatedServer());
      }
    }
  }
  return Reading::kLive;
}

}  // namespace

bool AssociatedDatabase(const std::string& associationName, std::string& database) {
  const size_t suffix = sizeof(kAssociationSuffix) - 1;
  if (associationName.size() < suffix ||
      associationName.compare(associationName.size() - suffix, suffix, kAssociationSuffix) != 0) {
    return false;
  }
  database = associationName.substr(0, associationName.size() - suffix);
  return true;
}

std::string LiveSubclient::Label() const {
  std::string label = "subclient " + std::to_string(id);
  if (!name.empty()) label += " (" + name + ")";
  return label;
}

LiveSubclients ReadLiveSubclients(const char* logName, uint32_t orbalId, uint32_t clientId) {
  LiveSubclients read;
  std::vector<uint64_t> ids;
  std::vector<std::string> names;
  ClientApplicationList list;
  read.listStatus = list.getSubclientList(ids, names, static_cast<uint64_t>(clientId), 0, 0, 0,
                                          nullptr, kSubclientListFlags);
  if (read.listStatus != 0) return read;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (ids[i] > std::numeric_limits<uint32_t>::max()) continue;  // no application id
    LiveSubclient subclient;
    subclient.id = static_cast<uint32_t>(ids[i]);
    subclient.name = i < names.size() ? names[i] : std::string();
    switch (ReadOne(logName, orbalId, subclient)) {
      case Reading::kLive:
        read.live.push_back(std::move(subclient));
        break;
      case Reading::kUnreadable:
        read.unreadable.push_back(std::move(subclient));
        break;
      case Reading::kLeftOut:
        break;
    }
  }
  return read;
}
