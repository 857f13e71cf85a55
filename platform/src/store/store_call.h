// What every status-returning call of the store objects shares: its fault
// hook, and the turning of a store failure into a logged status.
#ifndef TZPLATFORM_SRC_STORE_STORE_CALL_H_
#define TZPLATFORM_SRC_STORE_STORE_CALL_H_

#include <cstdint>
#include <string>

#include "store/connection.h"
#include "tzplatform/faults.h"
#include "tzplatform/store.h"

namespace tzplatform {
namespace store {

// Statuses of the store objects (0 = success).
enum Status : int {
  kOk = 0,
  kNotFound = 2,      // no such client, subclient, application or property
  kStoreFailure = 3,  // the store could not be opened, read or written
  kBadArgument = 4,   // an argument the store cannot take
  kStoreBusy = 5,     // another writer held the write lock past the busy timeout
};

// Writes a store failure to the platform log.
void LogStoreFailure(const char* call, const std::string& what);

// Runs one call: a fault armed for (call, key) decides first (its status is
// returned, or it throws); otherwise `body` returns the status. A StoreError
// is logged and becomes kStoreFailure, but a damaged store is no status: its
// StoreDamaged is logged and passes through, as any other exception does.
template <typename Body>
int RunCall(const char* call, const std::string& key, Body&& body) {
  if (int status = CheckFault(call, key)) return status;
  try {
    return body();
  } catch (const StoreDamaged& e) {
    LogStoreFailure(call, e.what());
    throw;
  } catch (const StoreBusy& e) {
    LogStoreFailure(call, e.what());
    return kStoreBusy;
  } catch (const StoreError& e) {
    LogStoreFailure(call, e.what());
    return kStoreFailure;
  }
}

inline std::string IdKey(uint64_t id) {
  return std::to_string(id);
}

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_STORE_CALL_H_
