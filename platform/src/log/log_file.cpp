#include "log/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tzplatform {
namespace detail {

int OpenLogFile(const std::string& path, std::string& problem) {
  // Not blocking while opening: a FIFO nobody reads is refused, not waited for.
  const int fd =
      open(path.c_str(),
           O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    const int error = errno;
    struct stat link;
    if (error == ELOOP && lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      problem = "it is a symbolic link, which is not followed";
    } else {
      problem = std::strerror(error);
    }
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    problem = std::strerror(errno);
    close(fd);
    return -1;
  }
  if (st.st_uid != geteuid() && !S_ISCHR(st.st_mode)) {
    problem = "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    close(fd);
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace detail
}  // namespace tzplatform
