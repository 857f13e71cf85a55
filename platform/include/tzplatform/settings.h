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
//   TZ_LOG_MAX_SIZE    bytes a log file may reach before it is rotated;
//                      0 = never rotated                        (10485760)
//   TZ_LOG_KEEP        rotated log files kept (FILE.1 ... FILE.N) (5)
//   TZ_DEBUG_LEVEL     highest debugLvl level written           (0)
//   TZ_KEY_FILE        host key of encrypted passwords          (tzdag.key beside the store;
//                                                               none while there is no store)
//   TZ_REMOTE_TRANSPORT, TZ_SSH_COMMAND, TZ_REMOTE_TOOL, TZ_REMOTE_SHELL,
//   TZ_SSH_PERSIST     how sessions reach the hosts (below)
//
// An empty variable counts as unset. A value that is not valid for its
// variable is never replaced by the default: CheckSettings refuses it, and
// a session refuses to start a tool while TZ_REMOTE_TIMEOUT is not valid.
//
// All functions are thread-safe. A setting changed while another thread is
// inside a platform call takes effect for that thread's next call.
#ifndef TZPLATFORM_SETTINGS_H_
#define TZPLATFORM_SETTINGS_H_

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tzplatform/export.h"

namespace tzplatform {

TZPLATFORM_API void SetStorePath(const std::string& path);
TZPLATFORM_API std::string StorePath();

TZPLATFORM_API void SetRemoteRoot(const std::string& path);
TZPLATFORM_API std::string RemoteRoot();

// A setting that is not valid for its variable; what() names the variable
// (or the file) and the value.
class TZPLATFORM_API SettingsError : public std::runtime_error {
 public:
  explicit SettingsError(const std::string& what) : std::runtime_error(what) {}
};

// Checks every setting not set through this header against what its
// variable allows (TZ_REMOTE_TIMEOUT, TZ_DEBUG_LEVEL, TZ_LOG_MAX_SIZE,
// TZ_LOG_KEEP, that TZ_LOG_FILE can
// be written, the directory settings of tzplatform/DirectorySearch.h, the
// transport's: that the ssh client is found on PATH and the tool's path can
// pass through the servers' shell) and throws SettingsError for the first
// that is not valid.
// For a caller to run before any work.
TZPLATFORM_API void CheckSettings();

// Seconds; values below 1 are taken as 1. RemoteTimeout throws SettingsError
// when TZ_REMOTE_TIMEOUT decides and is not a whole number from 1 to
// 2147483647.
TZPLATFORM_API void SetRemoteTimeout(int seconds);
TZPLATFORM_API int RemoteTimeout();

// "-" writes to standard error. The file is opened for appending and made
// with mode 0600 when missing; a symbolic link is not followed and a file of
// another user is not written to (a character device such as /dev/null
// aside). A file that cannot be opened, or is refused, sends the lines to
// standard error instead.
TZPLATFORM_API void SetLogFile(const std::string& path);
TZPLATFORM_API std::string LogFile();
// Throws SettingsError saying why when the log cannot be written at `path`
// ("-" always can): "cannot write the log file PATH: it is a symbolic link,
// which is not followed", "...: it belongs to another user (uid N)", or the
// system's words. Creates the file when it does not exist.
TZPLATFORM_API void CheckLogFile(const std::string& path);

// Size-based rotation of a log file: when a line would take the file past
// LogMaxSize() bytes, FILE.N-1 becomes FILE.N, ..., FILE becomes FILE.1 and
// a new FILE is begun; FILE.N is dropped, and with LogKeep() 0 the old FILE
// itself. A file that is empty takes a line of any size. Standard error, a
// character device or a FIFO never rotates. Processes that share one log
// take turns on it (flock), and each notices when the file was renamed
// under it (by another process or by logrotate) and writes to the new one,
// so no line is lost and none goes to a renamed file. The getters give the
// default while the variable decides and is not valid (CheckSettings
// refuses it).
constexpr long long kDefaultLogMaxSize = 10LL * 1024 * 1024;
constexpr int kDefaultLogKeep = 5;
constexpr int kMaxLogKeep = 1000;
// Values below 0 are taken as 0 (never rotated).
TZPLATFORM_API void SetLogMaxSize(long long bytes);
TZPLATFORM_API long long LogMaxSize();
// From 0 to kMaxLogKeep; values outside are taken as the nearest.
TZPLATFORM_API void SetLogKeep(int files);
TZPLATFORM_API int LogKeep();

// Debug levels run from 0 to kMaxDebugLevel. DebugLevel gives 0 while
// TZ_DEBUG_LEVEL decides and is not valid (CheckSettings refuses it).
constexpr int kMaxDebugLevel = 10;
TZPLATFORM_API void SetDebugLevel(int level);
TZPLATFORM_API int DebugLevel();

// Whether every line written to a log file is also written to standard
// error (off). No effect while the log goes to standard error itself.
TZPLATFORM_API void SetLogEcho(bool echo);
TZPLATFORM_API bool LogEcho();

// The host key file that TZPassword encrypts under: set here, else
// $TZ_KEY_FILE, else tzdag.key in the folder of StorePath().
TZPLATFORM_API void SetKeyFile(const std::string& path);
TZPLATFORM_API std::string KeyFile();
// Why no password may be encrypted under KeyFile() now; empty when one may.
// A key file taken from the folder of the store is used only while the store
// is there: run without one (StorePath() defaults to a file in the current
// folder), a program would make a key wherever it runs, and passwords
// encrypted under that key would not decrypt where the store is. The text:
// "there is no store at PATH to keep the host key beside".
TZPLATFORM_API std::string KeyFileProblem();

// Milliseconds a store write waits for another writer's lock before it fails
// (30000); values below 0 are taken as 0. Applies to transactions begun after
// the call.
TZPLATFORM_API void SetStoreBusyTimeout(int milliseconds);
TZPLATFORM_API int StoreBusyTimeout();

// Whether this program only reads the configuration store (off). When on,
// the store is opened read-only and never changed: a store write, an event
// included, fails. When off the store is still opened read-only, and opened
// for writing only by the first write transaction, so that a program that
// never writes never changes the store either.
TZPLATFORM_API void SetStoreReadOnly(bool readOnly);
TZPLATFORM_API bool StoreReadOnly();

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

// How a session reaches a host.
//
//   TZ_REMOTE_TRANSPORT  root: the folder <remote root>/<host> stands for the
//                        host; ssh: the system's OpenSSH client runs the tool
//                        on the host the store names                     (root)
//   TZ_SSH_COMMAND       the client and its fixed options, split into words
//                        at blanks ('...' and "..." group; no shell)      (ssh)
//   TZ_REMOTE_TOOL       the tool's path on the servers      (the name asked for)
//   TZ_REMOTE_SHELL      the servers' shell, which decides the quoting:
//                        cmd, powershell or sh                            (cmd)
//   TZ_SSH_PERSIST       seconds an unused connection is kept open once the
//                        process ended (unset: closed with the process)
//
// The getters throw SettingsError when the variable decides and is not valid.
enum class Transport { kRoot, kSsh };
enum class ShellKind { kCmd, kPowerShell, kSh };

TZPLATFORM_API void SetRemoteTransport(Transport transport);
TZPLATFORM_API Transport RemoteTransport();
// "root" or "ssh"; false for anything else.
TZPLATFORM_API bool ParseTransport(const std::string& text, Transport& transport);

TZPLATFORM_API void SetSshCommand(const std::vector<std::string>& words);
TZPLATFORM_API std::vector<std::string> SshCommand();
// `text` split into words as TZ_SSH_COMMAND is; false, with `why`, for an
// unmatched quote or no word at all.
TZPLATFORM_API bool SplitCommandWords(const std::string& text, std::vector<std::string>& words,
                                      std::string& why);

// Empty: the executable the request names, found on the server's PATH.
TZPLATFORM_API void SetRemoteTool(const std::string& path);
TZPLATFORM_API std::string RemoteTool();

TZPLATFORM_API void SetRemoteShell(ShellKind shell);
TZPLATFORM_API ShellKind RemoteShell();
// "cmd", "powershell" or "sh"; false for anything else.
TZPLATFORM_API bool ParseShellKind(const std::string& text, ShellKind& shell);
TZPLATFORM_API const char* ShellName(ShellKind shell);

// Seconds; 0 (the default) closes the connections with the process.
TZPLATFORM_API void SetSshPersist(int seconds);
TZPLATFORM_API int SshPersist();

// Forgets every value set above, so that the environment decides again.
TZPLATFORM_API void ResetSettings();

}  // namespace tzplatform

#endif  // TZPLATFORM_SETTINGS_H_
