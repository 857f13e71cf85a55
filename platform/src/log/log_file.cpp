#include "log/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

namespace {

// An exclusive flock held while alive. A file system without locks still
// gets its lines, one write() each.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
    while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() { flock(fd_, LOCK_UN); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_;
};

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// How often a line follows a file renamed under it before it is written
// where it is: another process that rotates on every line cannot hold it up
// for ever.
constexpr int kReopenLimit = 8;

}  // namespace

SharedLogFile::~SharedLogFile() {
  Close();
}

bool SharedLogFile::Open(const std::string& path) {
  Close();
  std::string problem;
  fd_ = OpenLogFile(path, problem);
  if (fd_ < 0) return false;
  struct stat st;
  regular_ = fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
  if (regular_) {
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  path_ = path;
  return true;
}

void SharedLogFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  regular_ = false;
  path_.clear();
}

bool SharedLogFile::Append(const std::string& line, long long maxSize, int keep) {
  for (int reopened = 0; fd_ >= 0; ++reopened) {
    if (!regular_) return WriteAll(fd_, line);
    bool again = false;
    {
      FileLock lock(fd_);
      if (reopened < kReopenLimit) {
        // What the name leads to now: when it is still the open file, its
        // size is the open file's too.
        struct stat named;
        if (lstat(path_.c_str(), &named) != 0 || named.st_dev != device_ ||
            named.st_ino != inode_) {
          again = true;
        } else if (maxSize > 0 && named.st_size > 0 &&
                   named.st_size + static_cast<long long>(line.size()) > maxSize) {
          // Under the lock of the file being renamed: whoever waits for it
          // finds the name gone, and follows it.
          Rotate(keep);
          again = true;
        }
      }
      if (!again) {
        if (WriteAll(fd_, line)) return true;
        break;
      }
    }
    const std::string path = path_;
    if (!Open(path)) return false;
  }
  Close();
  return false;
}

void SharedLogFile::Rotate(int keep) const {
  if (keep <= 0) {
    unlink(path_.c_str());
    return;
  }
  // rename() replaces the oldest kept file, and moves a planted link as it
  // is, never what it points to.
  for (int n = keep - 1; n >= 1; --n) {
    rename((path_ + "." + std::to_string(n)).c_str(),
           (path_ + "." + std::to_string(n + 1)).c_str());
  }
  rename(path_.c_str(), (path_ + ".1").c_str());
}

}  // namespace detail
}  // namespace tzplatform
