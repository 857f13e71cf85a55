// Administration of the configuration store stand-in: creation, checks and
// dumps, for the tzdag tool and the tests. The library never uses this.
#ifndef TZPLATFORM_STORE_H_
#define TZPLATFORM_STORE_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tzplatform/export.h"
#include "tzplatform/log.h"

namespace tzplatform {

// A store that cannot be opened, created or used: not a store, a newer
// schema, a locked or unreadable file. what() says which, with the path.
class TZPLATFORM_API StoreError : public std::runtime_error {
 public:
  explicit StoreError(const std::string& what) : std::runtime_error(what) {}
};

// Opens the store at `path` as the store objects do (bringing an older
// schema up to date) and throws StoreError saying why when it cannot be used.
TZPLATFORM_API void CheckStore(const std::string& path);

// A canonical text form of every table of the store at `path`, row by row in
// a fixed order: equal dumps mean equal stores.
TZPLATFORM_API std::string DumpStore(const std::string& path);

// Copies the store at `from` to a new file `to` (consistent even while other
// connections write).
TZPLATFORM_API void CopyStore(const std::string& from, const std::string& to);

// A client of the store, by id and name.
struct StoredClient {
  uint32_t id = 0;
  std::string name;
};

// The DAG clients of the store at `path`: every client with at least one
// member server entry, by id.
TZPLATFORM_API std::vector<StoredClient> DagClients(const std::string& path);

// Events recorded in the store at `path`, oldest first.
TZPLATFORM_API std::vector<RaisedEvent> StoredEvents(const std::string& path);

}  // namespace tzplatform

#endif  // TZPLATFORM_STORE_H_
