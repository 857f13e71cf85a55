// The plain directory records.
#include "tzdag/records.h"

#include <cstdio>

void _tagDagServer::DumpObject() {
  // A dump for people at a console, deliberately not through the log.
  std::printf("Dag name = %s\n", name.c_str());
  std::printf("Dag DN = %s\n", distinguishedName.c_str());
  for (const _tagExServer& server : servers)
    std::printf("===Child Server: %s\n", server.name.c_str());
}
