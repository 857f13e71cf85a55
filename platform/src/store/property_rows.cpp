// Property rows: one column set for every kind, the kind given by the type.
#include "store/property_rows.h"

#include <cstdlib>
#include <optional>

namespace tzplatform {
namespace store {

const OwnerTable kClientOwner = {"clients", "client_properties", "client_id"};
const OwnerTable kSubclientOwner = {"subclients", "subclient_properties", "subclient_id"};

namespace {

// The stored columns of one property; a column its kind does not use is null.
struct Row {
  std::string value;
  std::optional<std::string> storeName;
  std::optional<std::string> description;
  std::optional<bool> forceFull;
  std::optional<bool> selected;
  std::optional<bool> agentInstalled;
  std::optional<std::string> associatedServer;
};

Row ToRow(const ApplProperty& property) {
  Row row;
  row.value = property.getValue();
  if (auto* content = dynamic_cast<const ExchangeDBProperty*>(&property)) {
    row.storeName = content->getStoreName();
    row.description = content->getDescription();
    row.forceFull = content->isForceFullOnNextBackup();
  } else if (auto* member = dynamic_cast<const DAGMemberServerProperty*>(&property)) {
    row.selected = member->isSelectedForDAGClient();
    row.agentInstalled = member->isExchDBuVOInstalled();
  } else if (auto* association = dynamic_cast<const DAGDBProperty*>(&property)) {
    row.associatedServer = association->getAssociatedServer();
  }
  return row;
}

void BindOptional(Statement& statement, int index, const std::optional<std::string>& value) {
  if (value) {
    statement.Bind(index, *value);
  } else {
    statement.BindNull(index);
  }
}

void BindOptional(Statement& statement, int index, const std::optional<bool>& value) {
  if (value) {
    statement.BindBool(index, *value);
  } else {
    statement.BindNull(index);
  }
}

// Binds the kind's columns to parameters first .. first + 6.
void BindRow(Statement& statement, int first, const Row& row) {
  statement.Bind(first, row.value);
  BindOptional(statement, first + 1, row.storeName);
  BindOptional(statement, first + 2, row.description);
  BindOptional(statement, first + 3, row.forceFull);
  BindOptional(statement, first + 4, row.selected);
  BindOptional(statement, first + 5, row.agentInstalled);
  BindOptional(statement, first + 6, row.associatedServer);
}

int64_t AsKey(uint64_t id) {
  return static_cast<int64_t>(id);
}

bool NameTaken(Connection& db, const OwnerTable& table, uint64_t owner, const std::string& name) {
  Statement taken(db, std::string("SELECT 1 FROM ") + table.properties + " WHERE " +
                          table.ownerColumn + " = ?1 AND name = ?2 LIMIT 1");
  taken.Bind(1, AsKey(owner)).Bind(2, name);
  return taken.Step();
}

// A name no content entry of the store has had before: a counter in the meta
// table, skipping names the owner already uses for other entries.
std::string NewContentName(Connection& db, const OwnerTable& table, uint64_t owner) {
  Statement read(db, "SELECT value FROM meta WHERE key = 'last_content_number'");
  long long number = read.Step() ? std::strtoll(read.Text(0).c_str(), nullptr, 10) : 0;
  std::string name;
  do {
    name = "exdb-" + std::to_string(++number);
  } while (NameTaken(db, table, owner, name));
  Statement write(db,
                  "INSERT INTO meta (key, value) VALUES ('last_content_number', ?1)"
                  " ON CONFLICT (key) DO UPDATE SET value = excluded.value");
  write.Bind(1, std::to_string(number)).Run();
  return name;
}

}  // namespace

bool OwnerExists(Connection& db, const OwnerTable& table, uint64_t owner) {
  Statement exists(db, std::string("SELECT 1 FROM ") + table.owners + " WHERE id = ?1");
  exists.Bind(1, AsKey(owner));
  return exists.Step();
}

void ReadProperties(Connection& db, const OwnerTable& table, uint64_t owner, PropertiesList& list) {
  Statement rows(db, std::string("SELECT type, name, value, store_name, description, force_full,"
                                 " selected, agent_installed, associated_server FROM ") +
                         table.properties + " WHERE " + table.ownerColumn + " = ?1 ORDER BY seq");
  rows.Bind(1, AsKey(owner));
  const int noNumber = 0;
  while (rows.Step()) {
    int64_t type = rows.Int(0);
    std::string name = rows.Text(1);
    std::unique_ptr<ApplProperty> property;
    switch (type) {
      case ExchangeDBProperty::kType: {
        auto content = std::make_unique<ExchangeDBProperty>(rows.Text(3), rows.Text(4), true,
                                                            no_value_prop, no_value_prop, noNumber);
        content->setForceFullOnNextBackup(rows.Bool(5));
        content->setName(name);
        property = std::move(content);
        break;
      }
      case DAGMemberServerProperty::kType:
        property = std::make_unique<DAGMemberServerProperty>(name, rows.Bool(6), rows.Bool(7));
        break;
      case DAGDBProperty::kType:
        property = std::make_unique<DAGDBProperty>(name, rows.Text(8));
        break;
      default:
        property = std::make_unique<ApplProperty>(type, name, rows.Text(2));
        break;
    }
    list.adopt(std::move(property));
  }
}

bool IsWritable(const ApplProperty& property) {
  switch (property.getType()) {
    case ExchangeDBProperty::kType:
      return dynamic_cast<const ExchangeDBProperty*>(&property) != nullptr;
    case DAGMemberServerProperty::kType:
      return dynamic_cast<const DAGMemberServerProperty*>(&property) != nullptr;
    case DAGDBProperty::kType:
      return dynamic_cast<const DAGDBProperty*>(&property) != nullptr;
    default:
      return true;
  }
}

std::string AppendProperty(Connection& db, const OwnerTable& table, uint64_t owner,
                           const ApplProperty& property) {
  std::string name = property.getType() == ExchangeDBProperty::kType
                         ? NewContentName(db, table, owner)
                         : property.getName();
  Statement insert(
      db, std::string("INSERT INTO ") + table.properties + " (" + table.ownerColumn +
              ", seq, type, name, value, store_name, description, force_full, selected,"
              " agent_installed, associated_server) VALUES (?1, (SELECT COALESCE(MAX(seq), 0) + 1"
              " FROM " +
              table.properties + " WHERE " + table.ownerColumn +
              " = ?1), ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  insert.Bind(1, AsKey(owner)).Bind(2, property.getType()).Bind(3, name);
  BindRow(insert, 4, ToRow(property));
  insert.Run();
  return name;
}

int UpdateProperty(Connection& db, const OwnerTable& table, uint64_t owner,
                   const ApplProperty& property) {
  Statement update(db, std::string("UPDATE ") + table.properties +
                           " SET value = ?1, store_name = ?2, description = ?3, force_full = ?4,"
                           " selected = ?5, agent_installed = ?6, associated_server = ?7 WHERE " +
                           table.ownerColumn + " = ?8 AND name = ?9 AND type = ?10");
  BindRow(update, 1, ToRow(property));
  update.Bind(8, AsKey(owner)).Bind(9, property.getName()).Bind(10, property.getType());
  return update.Run();
}

int DeleteProperties(Connection& db, const OwnerTable& table, uint64_t owner,
                     const std::string& name) {
  Statement remove(db, std::string("DELETE FROM ") + table.properties + " WHERE " +
                           table.ownerColumn + " = ?1 AND name = ?2");
  remove.Bind(1, AsKey(owner)).Bind(2, name);
  return remove.Run();
}

}  // namespace store
}  // namespace tzplatform
