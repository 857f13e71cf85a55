// Subclient lists of the configuration store. Both forms replace the content
// of `ids` and `names` and list subclients in the store's order, deleted ones
// included. Fault hook keys: "<appType>/<backupSet>" and the decimal client id.
#ifndef TZPLATFORM_CLIENTAPPLICATIONLIST_H_
#define TZPLATFORM_CLIENTAPPLICATIONLIST_H_

#include <cstdint>
#include <string>
#include <vector>

#include "tzplatform/export.h"

class TZPLATFORM_API ClientApplicationList {
 public:
  ClientApplicationList();
  ~ClientApplicationList();

  // The subclients of one backup set of one application type.
  int getSubclientList(std::vector<uint64_t>& ids, std::vector<std::string>& names,
                       uint64_t applicationTypeId, uint64_t backupSetId, void* reserved,
                       int flags);
  // Every subclient of one client.
  int getSubclientList(std::vector<uint64_t>& ids, std::vector<std::string>& names,
                       uint64_t clientId, int reserved1, int reserved2, int reserved3,
                       void* reserved, int flags);
};

#endif  // TZPLATFORM_CLIENTAPPLICATIONLIST_H_
