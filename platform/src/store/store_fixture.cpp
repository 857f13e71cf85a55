// Creation of a configuration store from the "store" section of a fixture.
//
// The whole section is checked before anything is written, and the store is
// built in a scratch file that is moved into place only when complete.
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "store/connection.h"
#include "store/property_rows.h"
#include "store/scratch_file.h"
#include "tzplatform/Properties.h"
#include "tzplatform/fixture.h"

namespace tzplatform {
namespace {

using json = nlohmann::json;

[[noreturn]] void Fail(const std::string& place, const std::string& message) {
  throw FixtureError(place + ": " + message);
}

// The members of one JSON object of the fixture, read with their place named
// in every error. Keys that the object may not have are errors, so that a
// misspelt key is not silently ignored.
class Fields {
 public:
  Fields(const json& object, std::string place, std::initializer_list<const char*> allowed)
      : object_(object), place_(std::move(place)) {
    if (!object.is_object()) Fail(place_, "must be an object");
    for (const auto& item : object.items()) {
      bool known = false;
      for (const char* key : allowed) known = known || item.key() == key;
      if (!known) Fail(place_, "unknown key '" + item.key() + "'");
    }
  }

  const std::string& place() const { return place_; }
  std::string At(const char* key) const { return place_ + "." + key; }
  bool Has(const char* key) const { return object_.contains(key); }

  uint32_t Id(const char* key) const {
    if (!Has(key)) Fail(place_, std::string("missing key '") + key + "'");
    return UInt32(key, 0);
  }

  uint32_t UInt32(const char* key, uint32_t fallback) const {
    if (!Has(key)) return fallback;
    return AsUInt32(object_.at(key), At(key));
  }

  std::optional<uint32_t> OptionalUInt32(const char* key) const {
    if (!Has(key)) return std::nullopt;
    return AsUInt32(object_.at(key), At(key));
  }

  std::string String(const char* key) const {
    if (!Has(key)) Fail(place_, std::string("missing key '") + key + "'");
    return String(key, std::string());
  }

  std::string String(const char* key, const std::string& fallback) const {
    if (!Has(key)) return fallback;
    const json& value = object_.at(key);
    if (!value.is_string()) Fail(At(key), "must be a string");
    return value.get<std::string>();
  }

  bool Bool(const char* key, bool fallback) const {
    if (!Has(key)) return fallback;
    const json& value = object_.at(key);
    if (!value.is_boolean()) Fail(At(key), "must be true or false");
    return value.get<bool>();
  }

  int64_t Int64(const char* key) const {
    if (!Has(key)) Fail(place_, std::string("missing key '") + key + "'");
    const json& value = object_.at(key);
    if (!value.is_number_integer() ||
        (value.is_number_unsigned() &&
         value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))) {
      Fail(At(key), "must be an integer");
    }
    return value.get<int64_t>();
  }

  // The array under `key`; an absent key is an empty array.
  const json& Array(const char* key) const {
    static const json empty = json::array();
    if (!Has(key)) return empty;
    const json& value = object_.at(key);
    if (!value.is_array()) Fail(At(key), "must be an array");
    return value;
  }

  static uint32_t AsUInt32(const json& value, const std::string& place) {
    if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<int64_t>() < 0) ||
        value.get<uint64_t>() > std::numeric_limits<uint32_t>::max()) {
      Fail(place, "must be an integer from 0 to 4294967295");
    }
    return static_cast<uint32_t>(value.get<uint64_t>());
  }

 private:
  const json& object_;
  std::string place_;
};

std::string Indexed(const std::string& place, size_t index) {
  return place + "[" + std::to_string(index) + "]";
}

// Kinds of property entries. An entry names its kind with "kind"; without it
// the entry has the kind of the list it is in.
constexpr const char kMemberServer[] = "memberServer";
constexpr const char kContent[] = "content";
constexpr const char kAssociation[] = "association";
constexpr const char kOther[] = "other";

std::unique_ptr<ApplProperty> ReadProperty(const json& entry, const std::string& place,
                                           const std::string& listKind) {
  std::string kind = listKind;
  if (entry.is_object() && entry.contains("kind")) {
    const json& named = entry.at("kind");
    if (!named.is_string()) Fail(place + ".kind", "must be a string");
    kind = named.get<std::string>();
  }
  if (kind == kMemberServer) {
    Fields f(entry, place, {"kind", "name", "selected", "agentInstalled"});
    return std::make_unique<DAGMemberServerProperty>(f.String("name"), f.Bool("selected", false),
                                                     f.Bool("agentInstalled", false));
  }
  if (kind == kContent) {
    Fields f(entry, place, {"kind", "description", "storeName", "forceFull"});
    const int noNumber = 0;
    auto content =
        std::make_unique<ExchangeDBProperty>(f.String("storeName"), f.String("description"), true,
                                             no_value_prop, no_value_prop, noNumber);
    content->setForceFullOnNextBackup(f.Bool("forceFull", false));
    return content;
  }
  if (kind == kAssociation) {
    Fields f(entry, place, {"kind", "database", "server"});
    // An association is stored under the name the library gives it: the
    // database's name followed by "0x12".
    return std::make_unique<DAGDBProperty>(f.String("database") + "0x12", f.String("server"));
  }
  if (kind == kOther) {
    Fields f(entry, place, {"kind", "type", "name", "value"});
    int64_t type = f.Int64("type");
    const char* known = type == ExchangeDBProperty::kType        ? kContent
                        : type == DAGMemberServerProperty::kType ? kMemberServer
                        : type == DAGDBProperty::kType           ? kAssociation
                                                                 : nullptr;
    if (known != nullptr) {
      Fail(f.At("type"),
           std::to_string(type) + " is the type of kind '" + known + "'; give the entry that kind");
    }
    return std::make_unique<ApplProperty>(type, f.String("name"), f.String("value", ""));
  }
  Fail(place, "unknown property kind '" + kind + "'");
}

// Appends the entries of the list `key` of `owner` to `properties`.
void ReadPropertyList(const Fields& owner, const char* key, const char* listKind,
                      std::vector<std::unique_ptr<ApplProperty>>& properties) {
  const json& list = owner.Array(key);
  for (size_t i = 0; i < list.size(); ++i) {
    properties.push_back(ReadProperty(list[i], Indexed(owner.At(key), i), listKind));
  }
}

struct Client {
  uint32_t id = 0;
  std::string name;
  std::string host;
  std::optional<uint32_t> release;
  bool dagAssociated = false;
  std::vector<uint32_t> packages;
  std::vector<std::unique_ptr<ApplProperty>> properties;
};

struct Subclient {
  uint32_t orbalId = 0;
  uint32_t appId = 0;
  uint32_t clientId = 0;
  uint32_t appType = 0;
  uint32_t backupSet = 0;
  std::string name;
  bool isDefault = false;
  bool deleted = false;
  bool automatic = false;
  bool backupFromPassive = false;
  bool useActiveIfNoPassive = true;
  bool useLastActivationPreference = false;
  std::vector<std::unique_ptr<ApplProperty>> properties;
};

std::string Folded(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

std::vector<Client> ReadClients(const Fields& section) {
  std::vector<Client> clients;
  std::set<uint32_t> ids;
  std::set<std::string> names;
  const json& list = section.Array("clients");
  for (size_t i = 0; i < list.size(); ++i) {
    Fields f(list[i], Indexed(section.At("clients"), i),
             {"id", "name", "host", "release", "dagAssociated", "packages", "memberServers",
              "properties"});
    Client client;
    client.id = f.Id("id");
    if (!ids.insert(client.id).second) {
      Fail(f.At("id"), "duplicate id " + std::to_string(client.id));
    }
    client.name = f.String("name");
    if (client.name.empty()) Fail(f.At("name"), "must not be empty");
    // Clients are looked up by name without regard to case.
    if (!names.insert(Folded(client.name)).second) {
      Fail(f.At("name"), "duplicate name '" + client.name + "'");
    }
    client.host = f.String("host", client.name);
    client.release = f.OptionalUInt32("release");
    client.dagAssociated = f.Bool("dagAssociated", false);
    const json& packages = f.Array("packages");
    std::set<uint32_t> seen;
    for (size_t p = 0; p < packages.size(); ++p) {
      std::string place = Indexed(f.At("packages"), p);
      uint32_t package = Fields::AsUInt32(packages[p], place);
      if (!seen.insert(package).second) {
        Fail(place, "duplicate package " + std::to_string(package));
      }
      client.packages.push_back(package);
    }
    ReadPropertyList(f, "memberServers", kMemberServer, client.properties);
    ReadPropertyList(f, "properties", kOther, client.properties);
    clients.push_back(std::move(client));
  }
  return clients;
}

std::vector<Subclient> ReadSubclients(const Fields& section, const std::set<uint32_t>& clientIds) {
  std::vector<Subclient> subclients;
  std::set<uint32_t> ids;
  const json& list = section.Array("subclients");
  for (size_t i = 0; i < list.size(); ++i) {
    Fields f(list[i], Indexed(section.At("subclients"), i),
             {"orbalId", "appId", "clientId", "appType", "backupSet", "name", "default", "deleted",
              "automatic", "backupFromPassive", "useActiveIfNoPassive",
              "useLastActivationPreference", "content", "associations", "properties"});
    Subclient subclient;
    subclient.orbalId = f.Id("orbalId");
    subclient.appId = f.Id("appId");
    if (!ids.insert(subclient.appId).second) {
      Fail(f.At("appId"), "duplicate id " + std::to_string(subclient.appId));
    }
    subclient.clientId = f.Id("clientId");
    if (clientIds.count(subclient.clientId) == 0) {
      Fail(f.At("clientId"), "no client has id " + std::to_string(subclient.clientId));
    }
    subclient.appType = f.UInt32("appType", 0);
    subclient.backupSet = f.UInt32("backupSet", 0);
    subclient.name = f.String("name", "");
    subclient.isDefault = f.Bool("default", false);
    subclient.deleted = f.Bool("deleted", false);
    subclient.automatic = f.Bool("automatic", false);
    subclient.backupFromPassive = f.Bool("backupFromPassive", false);
    subclient.useActiveIfNoPassive = f.Bool("useActiveIfNoPassive", true);
    subclient.useLastActivationPreference = f.Bool("useLastActivationPreference", false);
    ReadPropertyList(f, "content", kContent, subclient.properties);
    ReadPropertyList(f, "associations", kAssociation, subclient.properties);
    ReadPropertyList(f, "properties", kOther, subclient.properties);
    subclients.push_back(std::move(subclient));
  }
  return subclients;
}

void WriteClients(store::Connection& db, const std::vector<Client>& clients) {
  store::Statement insert(db,
                          "INSERT INTO clients (id, name, host, release, dag_associated)"
                          " VALUES (?1, ?2, ?3, ?4, ?5)");
  store::Statement package(db,
                           "INSERT INTO client_packages (client_id, package_id) VALUES (?1, ?2)");
  for (const Client& client : clients) {
    insert.Reset();
    insert.Bind(1, int64_t{client.id}).Bind(2, client.name).Bind(3, client.host);
    if (client.release) {
      insert.Bind(4, int64_t{*client.release});
    } else {
      insert.BindNull(4);
    }
    insert.BindBool(5, client.dagAssociated).Run();
    for (uint32_t id : client.packages) {
      package.Reset();
      package.Bind(1, int64_t{client.id}).Bind(2, int64_t{id}).Run();
    }
    for (const auto& property : client.properties) {
      store::AppendProperty(db, store::kClientOwner, client.id, *property);
    }
  }
}

void WriteSubclients(store::Connection& db, const std::vector<Subclient>& subclients) {
  store::Statement insert(
      db,
      "INSERT INTO subclients (id, orbal_id, client_id, seq, name, app_type, backup_set,"
      " is_default, deleted, selection_type, backup_from_passive, use_active_if_no_passive,"
      " use_last_activation_preference) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11,"
      " ?12, ?13)");
  int64_t seq = 0;
  for (const Subclient& s : subclients) {
    insert.Reset();
    insert.Bind(1, int64_t{s.appId})
        .Bind(2, int64_t{s.orbalId})
        .Bind(3, int64_t{s.clientId})
        .Bind(4, ++seq)
        .Bind(5, s.name)
        .Bind(6, int64_t{s.appType})
        .Bind(7, int64_t{s.backupSet})
        .BindBool(8, s.isDefault)
        .BindBool(9, s.deleted)
        .Bind(10, std::string(s.automatic ? "automatic" : "manual"))
        .BindBool(11, s.backupFromPassive)
        .BindBool(12, s.useActiveIfNoPassive)
        .BindBool(13, s.useLastActivationPreference)
        .Run();
    for (const auto& property : s.properties) {
      store::AppendProperty(db, store::kSubclientOwner, s.appId, *property);
    }
  }
}

}  // namespace

void CreateStoreFromFixture(const nlohmann::json& storeSection, const std::string& storePath) {
  Fields section(storeSection, "store", {"clients", "subclients"});
  std::vector<Client> clients = ReadClients(section);
  std::set<uint32_t> clientIds;
  for (const Client& client : clients) clientIds.insert(client.id);
  std::vector<Subclient> subclients = ReadSubclients(section, clientIds);

  store::ScratchFile scratch(storePath);
  {
    std::unique_ptr<store::Connection> db = store::Connection::CreateNew(scratch.path());
    store::WriteTransaction transaction(*db);
    WriteClients(*db, clients);
    WriteSubclients(*db, subclients);
    transaction.Commit();
  }
  scratch.MoveIntoPlace();
}

}  // namespace tzplatform
