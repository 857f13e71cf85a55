// Opening the log file, which must be the user's own.
#ifndef TZPLATFORM_SRC_LOG_LOG_FILE_H_
#define TZPLATFORM_SRC_LOG_LOG_FILE_H_

#include <string>

namespace tzplatform {
namespace detail {

// Opens `path` for appending, creating it with mode 0600 (log lines name
// servers, accounts and encrypted passwords). A symbolic link is not
// followed and a file of another user is not written to, so that a link or a
// file planted in a shared folder cannot send the lines elsewhere or show
// them to someone else; a character device (/dev/null), which only root can
// make, may belong to anyone. Returns the descriptor (close-on-exec), or -1
// with `problem` saying why ("it is a symbolic link, which is not followed",
// "it belongs to another user (uid 65534)", or the system's words).
int OpenLogFile(const std::string& path, std::string& problem);

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_LOG_LOG_FILE_H_
