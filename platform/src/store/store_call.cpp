#include "store/store_call.h"

#include "tzplatform/EvEvent.h"

namespace tzplatform {
namespace store {

void LogStoreFailure(const char* call, const std::string& what) {
  EvDebug log;
  log.Error(call, "%s", what.c_str());
}

}  // namespace store
}  // namespace tzplatform
