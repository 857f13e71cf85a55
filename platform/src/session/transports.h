// What the two transports of the remote command session share, and the ssh
// transport's start of a tool.
#ifndef TZPLATFORM_SRC_SESSION_TRANSPORTS_H_
#define TZPLATFORM_SRC_SESSION_TRANSPORTS_H_

#include <string>
#include <vector>

#include "session/child_process.h"
#include "tzplatform/CTzNetwork.h"
#include "tzplatform/session.h"

namespace tzplatform {
namespace detail {

// What a tool's environment keeps of this process's: where programs are,
// the locale and the time zone. Nothing else reaches it: not a secret in
// some other variable, nor where the caller's password file or key is.
bool IsToolVariable(const std::string& name);
// What the ssh client also gets: what it needs to find the user's
// configuration, agent and Kerberos tickets.
bool IsSshVariable(const std::string& name);

// The argument string as the remote program sees it: split at blanks, no
// quoting, empty pieces dropped.
std::vector<std::string> SplitArguments(const std::string& arguments);

// Starts the tool `request` names on its host over ssh in `child`, once a
// connection to the host is up (one per host, shared by every session of the
// process, TZ_SSH_PERSIST aside). The launch takes no longer than
// `deadline`; an error result when it failed: kHostUnreachable with ssh's
// own reason when no connection could be made.
CWqError StartOverSsh(const AttachRequest& request, int timeoutSeconds,
                      ChildProcess::Clock::time_point deadline, ChildProcess& child);

// Ends every connection StartOverSsh keeps (tzplatform::CloseRemoteConnections).
void CloseSshConnections();

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_SESSION_TRANSPORTS_H_
