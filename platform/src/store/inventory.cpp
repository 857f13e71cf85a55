// The inventory of the configuration store: installations, DAG clients and
// subclients as a person lists them.
#include "tzplatform/inventory.h"

#include "store/connection.h"
#include "tzplatform/Properties.h"

namespace tzplatform {

using store::Connection;
using store::Statement;

std::vector<InventoryClient> ReadDagClients(const std::string& path,
                                            std::optional<uint32_t> orbalId) {
  Connection& db = store::ThreadConnection(path);
  store::ReadTransaction snapshot(db);
  Statement rows(
      db,
      "SELECT c.id, c.name, c.host,"
      " (SELECT count(*) FROM client_properties AS p WHERE p.client_id = c.id AND p.type = ?1),"
      " (SELECT count(*) FROM client_properties AS p WHERE p.client_id = c.id AND p.type = ?1"
      "   AND p.selected = 1),"
      " (SELECT count(*) FROM client_properties AS p WHERE p.client_id = c.id AND p.type = ?1"
      "   AND p.selected = 1 AND p.agent_installed = 1),"
      " (SELECT count(*) FROM subclients AS s WHERE s.client_id = c.id"
      "   AND (?2 IS NULL OR s.orbal_id = ?2)) AS subclient_count"
      " FROM clients AS c"
      " WHERE EXISTS (SELECT 1 FROM client_properties AS p WHERE p.client_id = c.id"
      "   AND p.type = ?1) AND (?2 IS NULL OR subclient_count > 0)"
      " ORDER BY c.id");
  rows.Bind(1, DAGMemberServerProperty::kType);
  if (orbalId) rows.Bind(2, int64_t{*orbalId});
  std::vector<InventoryClient> clients;
  while (rows.Step()) {
    InventoryClient client;
    client.id = static_cast<uint32_t>(rows.Int(0));
    client.name = rows.Text(1);
    client.host = rows.Text(2);
    client.memberServers = static_cast<size_t>(rows.Int(3));
    client.selected = static_cast<size_t>(rows.Int(4));
    client.selectedWithAgent = static_cast<size_t>(rows.Int(5));
    client.subclients = static_cast<size_t>(rows.Int(6));
    clients.push_back(std::move(client));
  }
  return clients;
}

std::vector<InventorySubclient> ReadClientSubclients(const std::string& path, uint32_t clientId) {
  Connection& db = store::ThreadConnection(path);
  store::ReadTransaction snapshot(db);
  Statement rows(db,
                 "SELECT s.id, s.orbal_id, s.client_id, s.name, s.is_default,"
                 " s.selection_type = 'automatic', s.deleted, s.backup_from_passive,"
                 " s.use_active_if_no_passive, s.use_last_activation_preference,"
                 " (SELECT count(*) FROM subclient_properties AS p WHERE p.subclient_id = s.id"
                 "   AND p.type = ?2),"
                 " (SELECT count(*) FROM subclient_properties AS p WHERE p.subclient_id = s.id"
                 "   AND p.type = ?3)"
                 " FROM subclients AS s WHERE s.client_id = ?1 ORDER BY s.seq");
  rows.Bind(1, int64_t{clientId}).Bind(2, ExchangeDBProperty::kType).Bind(3, DAGDBProperty::kType);
  std::vector<InventorySubclient> subclients;
  while (rows.Step()) {
    InventorySubclient subclient;
    subclient.id = static_cast<uint32_t>(rows.Int(0));
    subclient.orbalId = static_cast<uint32_t>(rows.Int(1));
    subclient.clientId = static_cast<uint32_t>(rows.Int(2));
    subclient.name = rows.Text(3);
    subclient.isDefault = rows.Bool(4);
    subclient.automatic = rows.Bool(5);
    subclient.deleted = rows.Bool(6);
    subclient.backupFromPassive = rows.Bool(7);
    subclient.useActiveIfNoPassive = rows.Bool(8);
    subclient.useLastActivationPreference = rows.Bool(9);
    subclient.content = static_cast<size_t>(rows.Int(10));
    subclient.associations = static_cast<size_t>(rows.Int(11));
    subclients.push_back(std::move(subclient));
  }
  return subclients;
}

std::vector<uint32_t> ReadInstallations(const std::string& path) {
  Connection& db = store::ThreadConnection(path);
  store::ReadTransaction snapshot(db);
  Statement rows(db, "SELECT DISTINCT orbal_id FROM subclients ORDER BY orbal_id");
  std::vector<uint32_t> installations;
  while (rows.Step()) installations.push_back(static_cast<uint32_t>(rows.Int(0)));
  return installations;
}

namespace {

bool HasRow(const std::string& path, const char* query, uint32_t id) {
  Connection& db = store::ThreadConnection(path);
  Statement row(db, query);
  row.Bind(1, int64_t{id});
  return row.Step();
}

}  // namespace

bool HasClient(const std::string& path, uint32_t clientId) {
  return HasRow(path, "SELECT 1 FROM clients WHERE id = ?1", clientId);
}

bool HasSubclient(const std::string& path, uint32_t appId) {
  return HasRow(path, "SELECT 1 FROM subclients WHERE id = ?1", appId);
}

}  // namespace tzplatform
