// The subclient behind an application id, as every subclient query of the
// library reaches it.
#include <tzplatform/ApplicationId.h>

#include "internal.h"
#include "tzdag/frame.h"

MsExchangeSubclient* LookUpSubclient(ApplicationId& application, const char* logName) {
  if (application.getApplicationId(nullptr) != 0) {
    event.debug("[%s]: getApplicationId() failed with error '%s'.", logName,
                application.getErrorString().c_str());
    return nullptr;
  }
  MsExchangeSubclient* subclient = application.getSubclient(nullptr);
  if (subclient == nullptr) event.debug("[%s]: Failed to get subclient", logName);
  return subclient;
}
