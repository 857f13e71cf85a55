// The directory agent of direct DAG discovery and the library's global log
// object.
#include "tzdag/DagDiscoverAgent.h"

#include "tzdag/frame.h"

// Constructed when the library is loaded, destroyed when it is unloaded.
TZDAG_API EvEvent event;
