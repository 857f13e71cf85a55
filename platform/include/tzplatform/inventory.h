// What the configuration store holds, for a person choosing ids: the
// installations, the DAG clients and their subclients. The tzdag tool lists
// them and checks the ids it is given against them; the library never uses
// this. Every call reads one consistent view of the store at `path` and
// throws StoreError (store.h) when it cannot be read.
#ifndef TZPLATFORM_INVENTORY_H_
#define TZPLATFORM_INVENTORY_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tzplatform/export.h"

namespace tzplatform {

// A client with member server entries: one that stands for a DAG.
struct InventoryClient {
  uint32_t id = 0;
  std::string name;
  std::string host;              // its network host name
  size_t memberServers = 0;      // member server entries
  size_t selected = 0;           // ... of them selected for the client
  size_t selectedWithAgent = 0;  // ... selected and marked as carrying the database agent:
                                 // the servers database discovery may run on
  size_t subclients = 0;         // its subclients (of the installation asked for), deleted ones too
};

struct InventorySubclient {
  uint32_t id = 0;  // the application id
  uint32_t orbalId = 0;
  uint32_t clientId = 0;
  std::string name;
  bool isDefault = false;
  bool automatic = false;  // database selection automatic (else manual)
  bool deleted = false;
  // The three copy preferences.
  bool backupFromPassive = false;
  bool useActiveIfNoPassive = false;
  bool useLastActivationPreference = false;
  size_t content = 0;       // database content entries
  size_t associations = 0;  // database-to-server associations
};

// The DAG clients by id; with `orbalId`, only those with a subclient of that
// installation, whose subclients alone are counted.
TZPLATFORM_API std::vector<InventoryClient> ReadDagClients(const std::string& path,
                                                           std::optional<uint32_t> orbalId = {});

// The subclients of client `clientId` in the store's order (that of subclient
// lists), every installation's and deleted ones too.
TZPLATFORM_API std::vector<InventorySubclient> ReadClientSubclients(const std::string& path,
                                                                    uint32_t clientId);

// The ids of the installations the store has subclients of, in order.
TZPLATFORM_API std::vector<uint32_t> ReadInstallations(const std::string& path);

// Whether the store knows a client of that id (a DAG client or any other).
TZPLATFORM_API bool HasClient(const std::string& path, uint32_t clientId);

// Whether the store knows an application (subclient) of that id, of any
// client and installation.
TZPLATFORM_API bool HasSubclient(const std::string& path, uint32_t appId);

}  // namespace tzplatform

#endif  // TZPLATFORM_INVENTORY_H_
