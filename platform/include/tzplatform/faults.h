// Fault hooks: make a chosen platform call fail or throw for a chosen key.
//
// Tests use these for failures that the real stand-ins cannot produce. A call
// site asks CheckFault(call, key) before doing its work; when a fault is armed
// for (call, key) or (call, "*") it either returns the armed status, which
// the call then returns instead of doing its work, or throws
// tzplatform::InjectedFault.
//
// Call names are "Class::method" as the library sees them, for example
// "TZClient::getClientId", "ApplicationId::getApplicationId",
// "ApplProperties::getProperties", "ApplProperties::deleteProperty",
// "Subclient::addProperties", "TZInstalledPackages::IsPackageInstalled",
// "TZInstalledPackages::TZInstalledPackages", "ClientApplicationList::getSubclientList",
// "StoreTransaction::StoreTransaction", "StoreTransaction::Commit", and
// "Store::write", asked before every statement that writes inside a store
// transaction (key: the store path).
// Keys: the client name for TZClient calls, the decimal client id for
// ClientProperties and TZInstalledPackages, the decimal application/subclient
// id for ApplicationId and subclient calls, and the decimal client id or
// "appType/backupSet" for the two ClientApplicationList forms. Each header
// names the key its calls use.
#ifndef TZPLATFORM_FAULTS_H_
#define TZPLATFORM_FAULTS_H_

#include <stdexcept>
#include <string>

#include "tzplatform/export.h"

namespace tzplatform {

class TZPLATFORM_API InjectedFault : public std::runtime_error {
 public:
  explicit InjectedFault(const std::string& what) : std::runtime_error(what) {}
};

// Arms faults for as long as it lives; the destructor disarms every fault it
// armed. Faults are process-wide and visible to every thread.
class TZPLATFORM_API FaultInjector {
 public:
  FaultInjector();
  ~FaultInjector();
  FaultInjector(const FaultInjector&) = delete;
  FaultInjector& operator=(const FaultInjector&) = delete;

  // The call returns `status` (non-zero) for `key`; "*" matches every key.
  // `times` < 0 means every time; otherwise the fault fires that many times.
  // The first `skip` matching calls pass untouched.
  void Fail(const std::string& call, const std::string& key, int status, int times = -1,
            int skip = 0);
  // The call throws InjectedFault for `key`.
  void Throw(const std::string& call, const std::string& key, int times = -1, int skip = 0);
  // The process is killed (SIGKILL) at the call, after `skip` matching calls:
  // a crash at a chosen point, for crash tests run in a child process.
  void Crash(const std::string& call, const std::string& key, int skip = 0);
  // How many times a fault armed by this injector fired for (call, key).
  int Fired(const std::string& call, const std::string& key) const;

 private:
  int id_;
};

// Used by the stand-ins: 0 when no fault is armed for (call, key); the armed
// status otherwise. Throws InjectedFault when a throwing fault is armed.
TZPLATFORM_API int CheckFault(const char* call, const std::string& key);

}  // namespace tzplatform

#endif  // TZPLATFORM_FAULTS_H_
