// What a subclient's stored content and associations are, and what changed
// between two readings of them: how an update's effect is told, as the store
// shows it.
#ifndef TZDAG_SRC_SUBCLIENT_CHANGES_H_
#define TZDAG_SRC_SUBCLIENT_CHANGES_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tzdag/TzDagApi.h"

struct StoredContentEntry {
  std::string name;  // as the store named it
  std::string path;  // description, backslash, store name
  bool forceFull = false;
};

struct StoredAssociation {
  std::string name;
  std::string server;
};

// A subclient's content entries and associations, in the store's order.
struct StoredSubclient {
  bool read = false;  // false: its properties could not be read
  std::vector<StoredContentEntry> content;
  std::vector<StoredAssociation> associations;

  std::vector<std::string> Paths() const;
};

StoredSubclient ReadStoredSubclient(uint32_t appId);

// Removed and added entries (one is the same entry before and after when its
// store name and path agree), entries newly marked for a full backup, and
// associations that name a new server, compared by database.
_tagSubclientChanges CompareStoredSubclients(const StoredSubclient& before,
                                             const StoredSubclient& after);

#endif  // TZDAG_SRC_SUBCLIENT_CHANGES_H_
