// Process-wide settings of the platform stand-ins.
//
// Every platform object the library builds on its stack reaches one
// process-wide backend. The caller of the library (the tzdag tool, a test)
// chooses it here; whatever is not set comes from the environment:
//
//   TZ_CONFIG_STORE    path of the SQLite configuration store  (./tzdag-store.db)
//   TZ_REMOTE_ROOT     folder that stands for the remote hosts  (./remote)
//   TZ_REMOTE_TIMEOUT  seconds a remote tool may take           (300)
//   TZ_LOG_FILE        log destination, "-" = standard error    (-)
//   TZ_DEBUG_LEVEL     highest debugLvl level written           (0)
//
// All functions are thread-safe. A setting changed while another thread is
// inside a platform call takes effect for that thread's next call.
#ifndef TZPLATFORM_SETTINGS_H_
#define TZPLATFORM_SETTINGS_H_

#include <cstdint>
#include <string>

#include "tzplatform/export.h"

namespace tzplatform {

TZPLATFORM_API void SetStorePath(const std::string& path);
TZPLATFORM_API std::string StorePath();

TZPLATFORM_API void SetRemoteRoot(const std::string& path);
TZPLATFORM_API std::string RemoteRoot();

// Seconds; values below 1 are taken as 1.
TZPLATFORM_API void SetRemoteTimeout(int seconds);
TZPLATFORM_API int RemoteTimeout();

// "-" writes to standard error. The file is opened for appending.
TZPLATFORM_API void SetLogFile(const std::string& path);
TZPLATFORM_API std::string LogFile();

TZPLATFORM_API void SetDebugLevel(int level);
TZPLATFORM_API int DebugLevel();

// Milliseconds a store write waits for another writer's lock before it fails
// (30000); values below 0 are taken as 0. Applies to transactions begun after
// the call.
TZPLATFORM_API void SetStoreBusyTimeout(int milliseconds);
TZPLATFORM_API int StoreBusyTimeout();

// What TZPlatformInfo reports about the local machine. By default the type is
// 0 (bit 0 clear), the core host client name is empty and the physical
// machine name is the host name of this machine.
struct PlatformIdentity {
  uint32_t platformType = 0;
  std::string corehostClientName;
  std::string physicalMachine;
};
TZPLATFORM_API void SetPlatformIdentity(const PlatformIdentity& identity);
TZPLATFORM_API PlatformIdentity GetPlatformIdentity();

// Forgets every value set above, so that the environment decides again.
TZPLATFORM_API void ResetSettings();

}  // namespace tzplatform

#endif  // TZPLATFORM_SETTINGS_H_
