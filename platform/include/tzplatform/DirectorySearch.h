// Searching a directory server for DAGs and their member servers.
//
// Direct DAG discovery searches a directory only when the platform is set to.
// The settings come from SetDirectorySettings or, while it was not called,
// from the environment:
//
//   TZ_DIRECTORY_SEARCH   "ldap": search the directory server the caller names
//                         (unset: no search)
//   TZ_DIRECTORY_TLS      "starttls": StartTLS on an ldap:// server (or a bare host name)
//                         before the bind; "none": no TLS there, the password goes in
//                         clear text (a log line says so)                 (unset: starttls)
//   TZ_DIRECTORY_CA_FILE  PEM file of the authorities trusted for the server's certificate
//                         (unset: the system's)
//   TZ_DIRECTORY_TIMEOUT  seconds each directory operation may take        (30)
//
// An ldaps:// server is always spoken to over TLS. An empty variable counts
// as unset. A value that is not valid for its variable is never replaced by
// the default: the search fails naming it.
//
// All functions are thread-safe; every search has its own connection.
#ifndef TZPLATFORM_DIRECTORYSEARCH_H_
#define TZPLATFORM_DIRECTORYSEARCH_H_

#include <string>
#include <vector>

#include "tzplatform/export.h"

namespace tzplatform {

struct DirectorySettings {
  std::string search;       // "ldap", or empty for no search
  std::string tls;          // "starttls" (also when empty), or "none" for clear text to ldap://
  std::string caFile;       // empty: the authorities the system trusts
  int timeoutSeconds = 30;  // from 1 up
  // Entries asked for per page of a search (no variable: a caller's or a
  // test's choice). Active Directory sends at most 1,000 a page whatever is
  // asked; OpenLDAP refuses a page above its own limit.
  int pageSize = 500;
};

// Replaces what the environment says, until ResetSettings.
TZPLATFORM_API void SetDirectorySettings(const DirectorySettings& settings);

// The settings in force. When one of them is not valid, `problem` names the
// variable (or the field) and its value; otherwise it is left empty.
TZPLATFORM_API DirectorySettings CurrentDirectorySettings(std::string& problem);

// Whether DAG discovery is to search a directory: TZ_DIRECTORY_SEARCH (or
// the search field set above) is not empty. A value that is not "ldap" counts
// as set, so that the search reports it instead of being skipped.
TZPLATFORM_API bool DirectorySearchEnabled();

// One DAG object of the directory and the Exchange servers linked to it.
struct DirectoryDag {
  std::string name;                        // its cn
  std::string distinguishedName;           // as the server wrote it
  std::vector<std::string> memberServers;  // the cn of each server object
};

// Finds the DAG objects (object class msExchMDBAvailabilityGroup) under the
// configuration naming context that the server's root DSE names, or only
// those whose cn is `dagName` when it is not empty, and for each one the
// Exchange server objects (msExchExchangeServer) whose
// msExchMDBAvailabilityGroupLink holds its distinguished name.
//
// `server` is "ldap://host[:port]", "ldaps://host[:port]" or a bare host
// name (port 389); `account` is a DN or user@domain, bound to with a simple
// bind and `password`, which is never written anywhere: not to the log, and
// not in clear text to the network unless the TLS setting is "none". The
// process is not dumpable from the call on (KeepSecretsOutOfDumps,
// TZPassword.h), and the directory client's copy of the password is wiped
// once sent. Every search is read page by page (RFC 2696), so a large
// directory is read whole, and every operation is bounded by the timeout.
// TLS certificates are always checked, host name included; a server that
// cannot start TLS is a failure, never a bind in clear text.
//
// The directory gives its entries in no defined order, so the DAGs, and the
// member servers of each, come sorted by name (ASCII letters compared without
// case, then byte by byte, then by distinguished name).
//
// Returns true and appends the DAGs to `dags`; on failure returns false,
// leaves `dags` as it was and sets `error` to what failed (the step, the
// server and the directory's words; never the password).
TZPLATFORM_API bool SearchDirectoryForDags(const std::string& server, const std::string& account,
                                           const std::string& password, const std::string& dagName,
                                           std::vector<DirectoryDag>& dags, std::string& error);

}  // namespace tzplatform

#endif  // TZPLATFORM_DIRECTORYSEARCH_H_
