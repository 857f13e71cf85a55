// Store transactions held by the library's callers for one operation.
#include "tzplatform/StoreTransaction.h"

#include <utility>

#include "store/connection.h"
#include "store/store_call.h"
#include "tzplatform/faults.h"
#include "tzplatform/settings.h"

namespace tzplatform {

struct StoreTransaction::Impl {
  Impl(store::Connection& connection, std::string storePath)
      : path(std::move(storePath)), transaction(connection) {}
  std::string path;
  store::WriteTransaction transaction;
};

StoreTransaction::StoreTransaction() {
  const std::string path = StorePath();
  const char* call = "StoreTransaction::StoreTransaction";
  try {
    if (int status = CheckFault(call, path)) {
      status_ = status;
      error_ = "injected fault (status " + std::to_string(status) + ")";
      return;
    }
    impl_ = std::make_unique<Impl>(store::ThreadConnection(path), path);
  } catch (const StoreDamaged& e) {
    store::LogStoreFailure(call, e.what());
    throw;
  } catch (const store::StoreBusy& e) {
    status_ = kStoreBusy;
    error_ = e.what();
  } catch (const StoreError& e) {
    status_ = kStoreFailure;
    error_ = e.what();
  }
  if (status_ != 0) store::LogStoreFailure(call, error_);
}

StoreTransaction::~StoreTransaction() = default;

int StoreTransaction::Commit() {
  const char* call = "StoreTransaction::Commit";
  if (!impl_) {
    if (status_ == 0) status_ = kStoreFailure;
    error_ = "no transaction to commit";
    return status_;
  }
  int status = 0;
  try {
    status = CheckFault(call, impl_->path);
    if (status != 0) {
      error_ = "injected fault (status " + std::to_string(status) + ")";
    } else {
      impl_->transaction.Commit();
    }
  } catch (const StoreDamaged& e) {
    store::LogStoreFailure(call, e.what());
    impl_.reset();
    throw;
  } catch (const StoreError& e) {
    status = kStoreFailure;
    error_ = e.what();
  }
  if (status != 0) {
    status_ = status;
    store::LogStoreFailure(call, error_);
  }
  // Committed or not, it has ended: a failed commit rolls everything back.
  impl_.reset();
  return status;
}

void StoreTransaction::Rollback() {
  impl_.reset();
}

}  // namespace tzplatform
