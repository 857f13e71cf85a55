// The live subclients of a DAG client, as both the health check and the
// update of a client's subclients read them: those of one installation that
// are not deleted, with what backups follow of each.
#ifndef TZDAG_SRC_LIVE_SUBCLIENTS_H_
#define TZDAG_SRC_LIVE_SUBCLIENTS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "discovery_runs.h"

// What an association is named: its database's name with these four
// characters appended (the digit zero, x, one, two).
constexpr char kAssociationSuffix[] = "0x12";

// The database an association name stands for: the name without the suffix;
// false when the name does not end with it.
bool AssociatedDatabase(const std::string& associationName, std::string& database);

struct LiveSubclient {
  uint32_t id = 0;
  std::string name;
  bool automatic = true;
  bool isDefault = false;  // the default subclient of its backup set
  CopyPreferences preferences;
  std::vector<std::string> content;  // database paths, in content order
  // (database, server) of each association, in stored order.
  std::vector<std::pair<std::string, std::string>> associations;

  // "subclient 11 (sales)", or without the name when it has none.
  std::string Label() const;
};

struct LiveSubclients {
  int listStatus = 0;  // of the client's subclient list; non-zero: nothing else was read
  std::vector<LiveSubclient> live;
  // Subclients of the installation whose flags or properties could not be
  // read (id and name only): whether they are live is unknown.
  std::vector<LiveSubclient> unreadable;
};

// Reads the subclients of DAG client `clientId` that belong to installation
// `orbalId` and are not deleted, in subclient list order, each with its
// copy preferences (ReadCopyPreferences, with its lines). A subclient of
// another installation is left out with a line under `logName`.
LiveSubclients ReadLiveSubclients(const char* logName, uint32_t orbalId, uint32_t clientId);

#endif  // TZDAG_SRC_LIVE_SUBCLIENTS_H_
