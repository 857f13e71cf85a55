// The change journal of the configuration store: what each committed update
// of a subclient changed, when, from which discovery answer and by whom, so
// that "when did DB07 stop being protected?" has an answer.
//
// An entry is written inside the update's own store transaction
// (StoreTransaction.h), so it exists exactly when the update was committed.
// Entries outlive the subclients they name. A store made before the journal
// existed is given one when it is upgraded (store.h).
#ifndef TZPLATFORM_JOURNAL_H_
#define TZPLATFORM_JOURNAL_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tzplatform/export.h"

namespace tzplatform {

enum class JournalChangeKind {
  kRemoved,       // a content entry was removed
  kAdded,         // a content entry was added
  kReassociated,  // a database's association names another server, or a new one
  kMarked,        // a kept database was marked for a full backup on the next backup
};

struct JournalChange {
  JournalChangeKind kind = JournalChangeKind::kAdded;
  std::string database;  // its path, "<description>\<store name>"
  // kReassociated only: the server before (when `hadServer`) and after.
  bool hadServer = false;
  std::string from;
  std::string to;
};

struct JournalEntry {
  int64_t id = 0;    // given by the store; a larger id was written later
  std::string time;  // given by the store: UTC, "2026-12-06T10:58:33.123Z"
  uint32_t orbalId = 0;
  uint32_t clientId = 0;
  uint32_t subclientId = 0;
  std::string server;  // the member server whose answer the update used
  int result = 0;      // what the update returned
  // Given by the store: the user this process runs as (its account name, or
  // "uid <n>" when the system names none) and the machine's host name.
  std::string user;
  std::string host;
  std::vector<JournalChange> changes;
};

// Writes `entry` to the journal of the current store (settings.h: StorePath)
// and fills in its id, time, user and host. Joins the calling thread's open
// StoreTransaction, so that it is committed or rolled back with it; without
// one it is a transaction of its own. Statuses: 0, or
// StoreTransaction::kStoreFailure / kStoreBusy with the store's line in the
// log; nothing is written then. Fault hook "Journal::Record", key: the
// decimal subclient id.
TZPLATFORM_API int RecordJournalEntry(JournalEntry& entry);

// Which entries ReadJournal gives.
struct JournalQuery {
  std::optional<uint32_t> clientId;
  std::optional<uint32_t> subclientId;
  // Non-empty: only entries with a change of this database (ASCII letter case
  // ignored), each with only those changes.
  std::string database;
  // Non-empty: only entries made at or after this time (JournalTime's form).
  std::string since;
  size_t limit = 0;  // at most this many entries; 0 = all
};

// The entries of the store at `path` that `query` asks for, newest first.
// A store without a journal has none. Throws StoreError when the store
// cannot be read.
TZPLATFORM_API std::vector<JournalEntry> ReadJournal(const std::string& path,
                                                     const JournalQuery& query);

// Removes every entry of the store at `path` made before `before` (JournalTime's
// form), in one transaction, and returns how many there were. Throws
// StoreError when the store cannot be written.
TZPLATFORM_API size_t PruneJournal(const std::string& path, const std::string& before);

// The time a person wrote, in the journal's form, for comparing with entry
// times: "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" (a blank
// may stand for the T, and a Z may follow), read as UTC. Empty when `text`
// is none of these or names no real date and time.
TZPLATFORM_API std::string JournalTime(const std::string& text);

}  // namespace tzplatform

#endif  // TZPLATFORM_JOURNAL_H_
