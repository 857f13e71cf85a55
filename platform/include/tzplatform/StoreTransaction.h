// A write transaction of the configuration store that a caller holds for the
// length of one operation, so that the operation's reads and writes are one
// unit: all or nothing, and isolated from other writers.
//
// The constructor begins the transaction at once on the calling thread's
// connection to the current store (settings.h: StorePath), waiting for the
// write lock up to the store's busy timeout (StoreBusyTimeout). While it is
// open, every store object operation on that thread joins it: its reads see
// the transaction's writes and its writes become durable only when the
// transaction commits. A store object call that fails undoes only its own
// writes; the transaction stays open for the caller to decide.
//
// A StoreTransaction made while another is open on the same thread joins that
// one: its Commit keeps its writes for the enclosing transaction to commit (or
// roll back), and its roll-back undoes only what was written since it began.
//
// Destroyed without a successful Commit, it rolls back. It belongs to the
// thread that made it and must end before the enclosing one. Throws nothing
// but tzplatform::StoreDamaged (store.h), from the constructor or Commit,
// when the store is damaged: then nothing of the transaction is kept.
// Fault hook keys: the store path, for "StoreTransaction::StoreTransaction"
// and "StoreTransaction::Commit".
#ifndef TZPLATFORM_STORETRANSACTION_H_
#define TZPLATFORM_STORETRANSACTION_H_

#include <memory>
#include <string>

#include "tzplatform/export.h"

namespace tzplatform {

class TZPLATFORM_API StoreTransaction {
 public:
  // Statuses (0 = success).
  static constexpr int kStoreFailure = 3;  // the store could not be used
  static constexpr int kStoreBusy = 5;     // another writer held the lock past the busy timeout

  StoreTransaction();
  ~StoreTransaction();
  StoreTransaction(const StoreTransaction&) = delete;
  StoreTransaction& operator=(const StoreTransaction&) = delete;

  // 0 when the transaction is open (or was committed); otherwise why it
  // could not begin, and nothing of it exists.
  int status() const { return status_; }
  // What went wrong with the last failed step, for the log; empty otherwise.
  const std::string& errorString() const { return error_; }

  // Makes the writes durable (the outermost transaction) or hands them to the
  // enclosing one. 0 on success; otherwise everything since the beginning
  // was rolled back. Committing a transaction that did not begin, or has
  // already ended, fails.
  int Commit();
  // Undoes every write since the beginning, now; the transaction then ends.
  void Rollback();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int status_ = 0;
  std::string error_;
};

}  // namespace tzplatform

#endif  // TZPLATFORM_STORETRANSACTION_H_
