// Installed software packages of clients.
// Fault hook keys: "*" for the constructor, the decimal client id (as the
// signed 32-bit value passed) for IsPackageInstalled.
#ifndef TZPLATFORM_TZINSTALLEDPACKAGES_H_
#define TZPLATFORM_TZINSTALLEDPACKAGES_H_

#include <cstdint>

#include "tzplatform/export.h"

struct DBtran;  // a database transaction of the product; the stand-in takes null

class TZPLATFORM_API TZInstalledPackages {
 public:
  // May throw (a platform error).
  explicit TZInstalledPackages(DBtran* transaction);
  ~TZInstalledPackages();

  // Sets `installed` to whether the package is installed on the client whose
  // id, taken as an unsigned 32-bit value, is `clientId`. 0 on success,
  // non-zero (and `installed` untouched) when the client is unknown. May throw.
  int IsPackageInstalled(int32_t clientId, int packageId, bool& installed);
};

#endif  // TZPLATFORM_TZINSTALLEDPACKAGES_H_
