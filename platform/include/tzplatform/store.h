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

// The store is damaged: SQLite found its file malformed (SQLITE_CORRUPT or
// SQLITE_NOTADB, from any statement), or its integrity check failed before a
// write. Nothing read from it can be trusted and nothing is written to it.
// Once this was seen, every later use of that store in this process (a store
// object call, a transaction, an event) refuses with it too, until another
// file is put at its path. The store objects let it pass instead of turning
// it into a status. what(): "the configuration store is damaged: <path>:
// <detail>".
class TZPLATFORM_API StoreDamaged : public StoreError {
 public:
  StoreDamaged(const std::string& path, const std::string& detail)
      : StoreError("the configuration store is damaged: " + path + ": " + detail),
        path_(path),
        detail_(detail) {}
  const std::string& path() const { return path_; }
  const std::string& detail() const { return detail_; }

 private:
  std::string path_;
  std::string detail_;
};

// Opens the store at `path` for reading as the store objects do and throws
// StoreError saying why when it cannot be used (StoreDamaged when SQLite
// finds it damaged). Changes nothing in the store or beside it.
TZPLATFORM_API void CheckStore(const std::string& path);

// As CheckStore, and that this process may write the store (StoreReadOnly()
// is off) and can: the file, the write-ahead log files beside it and its
// folder. Throws StoreError ("... cannot be written: <why>") otherwise, so
// that a writer is refused before it does any work.
TZPLATFORM_API void CheckStoreWritable(const std::string& path);

// What SQLite's integrity check says of the store at `path`: empty when it
// found no problem, else at most `limit` problems in its words. A store too
// damaged to be opened gives the reason as its one problem; one that is not a
// store (missing, foreign, newer) throws StoreError. Damage found is
// remembered as a StoreDamaged is. Reads only.
TZPLATFORM_API std::vector<std::string> StoreIntegrityProblems(const std::string& path,
                                                               int limit = 10);

// The damage seen on the store at `path` in this process (the detail of the
// StoreDamaged), empty when none.
TZPLATFORM_API std::string StoreDamageSeen(const std::string& path);

// A folder that users other than its owner may write.
struct ExposedFolder {
  std::string folder;
  std::string text;  // one sentence: who may write it, and what they can do
};

// The folders of the store at `path` and of the host key (KeyFile()) that
// users other than their owner may write (group or others); empty when there
// is none. Such a user can put another store or key in place, or plant the
// files SQLite reads beside the store. The platform also writes each to its
// log (a plain debug line) when it first opens the store.
TZPLATFORM_API std::vector<ExposedFolder> ExposedStoreFolders(const std::string& path);

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
