// The ids a command was given, checked against the configuration store
// before any work: a mistyped id is a usage error (exit 2) naming the option
// and, when the store has few, what it has, rather than a discovery that runs
// the tool and stores a critical event, or an answer for another
// installation.
#ifndef TZDAG_TOOL_ID_CHECK_H_
#define TZDAG_TOOL_ID_CHECK_H_

#include <cstdint>

namespace tzdag_tool {

// Each throws UsageError when the store (tzplatform::StorePath) does not
// know the id:
// --orbal: an installation the store has subclients of.
void CheckInstallation(uint32_t orbalId);
// --client: a client of the store.
void CheckClient(uint32_t clientId);
// --app: a subclient of the client in the installation.
void CheckSubclient(uint32_t orbalId, uint32_t clientId, uint32_t appId);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_ID_CHECK_H_
