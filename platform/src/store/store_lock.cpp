#include "tzplatform/store_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <sstream>
#include <thread>

#include "util/one_line.h"

namespace tzplatform {
namespace {

// A lock file longer than this was not written by a holder.
constexpr size_t kMaxLockText = 4096;
constexpr std::chrono::milliseconds kPollInterval{100};

std::string Now() {
  const time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  return stamp;
}

std::string BusyText(const std::string& path, pid_t pid, const std::string& holder,
                     const std::string& since) {
  std::string text = "the configuration store " + path + " is in use by ";
  if (pid <= 0) return text + "another process";
  text += "pid " + std::to_string(pid);
  if (!holder.empty() || !since.empty()) {
    text += " (" + holder + (holder.empty() || since.empty() ? "" : ", ") +
            (since.empty() ? "" : "since " + since) + ")";
  }
  return text;
}

// Who holds the lock, as its lock file says: "pid N", "since TIME" and
// "command WHAT" lines, each taken only when well-formed (the file can be
// written by anyone who can write the store, and is read as such).
StoreBusy Holder(const std::string& path, int fd) {
  std::string text(kMaxLockText, '\0');
  ssize_t got;
  do {
    got = pread(fd, &text[0], text.size(), 0);
  } while (got < 0 && errno == EINTR);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  pid_t pid = 0;
  std::string holder, since;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("pid ", 0) == 0) {
      const std::string digits = line.substr(4);
      if (!digits.empty() && digits.size() < 10 &&
          digits.find_first_not_of("0123456789") == std::string::npos) {
        pid = static_cast<pid_t>(std::stol(digits));
      }
    } else if (line.rfind("since ", 0) == 0) {
      since = detail::OneLine(line.substr(6));
    } else if (line.rfind("command ", 0) == 0) {
      holder = detail::OneLine(line.substr(8));
    }
  }
  return StoreBusy(path, pid, holder, since);
}

[[noreturn]] void Refuse(const std::string& storePath, const std::string& lockPath,
                         const std::string& why) {
  throw StoreError("cannot lock the configuration store " + storePath + ": " + lockPath + ": " +
                   why);
}

// Opens the lock file, making it when missing, and checks that it may be used.
int OpenLockFile(const std::string& storePath, const std::string& lockPath) {
  const int fd = open(lockPath.c_str(),
                      O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0600);
  if (fd < 0) {
    const int error = errno;
    struct stat link;
    if (error == ELOOP && lstat(lockPath.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      Refuse(storePath, lockPath, "it is a symbolic link, which is not followed");
    }
    if (error == EISDIR) Refuse(storePath, lockPath, "it is not a regular file");
    Refuse(storePath, lockPath, std::strerror(error));
  }
  struct stat st, store;
  const bool haveStore = stat(storePath.c_str(), &store) == 0;
  if (fstat(fd, &st) != 0) {
    const int error = errno;
    close(fd);
    Refuse(storePath, lockPath, std::strerror(error));
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    Refuse(storePath, lockPath, "it is not a regular file");
  }
  // Root running for the store's owner makes the file the owner's, so that
  // the owner's next run can use it.
  if (st.st_uid == geteuid() && geteuid() == 0 && haveStore && store.st_uid != 0 &&
      fchown(fd, store.st_uid, store.st_gid) == 0) {
    st.st_uid = store.st_uid;
  }
  if (st.st_uid != geteuid() && !(haveStore && st.st_uid == store.st_uid)) {
    close(fd);
    Refuse(storePath, lockPath,
           "it belongs to another user (uid " + std::to_string(st.st_uid) + ")");
  }
  return fd;
}

bool TryLock(int fd) {
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    return false;
  }
}

}  // namespace

StoreBusy::StoreBusy(const std::string& path, pid_t pid, const std::string& holder,
                     const std::string& since)
    : StoreError(BusyText(path, pid, holder, since)), pid_(pid), holder_(holder), since_(since) {}

std::string StoreLock::LockPath(const std::string& storePath) {
  return storePath + ".lock";
}

StoreLock::StoreLock(const std::string& storePath, const std::string& holder,
                     const StoreLockWait& wait) {
  const std::string lockPath = LockPath(storePath);
  fd_ = OpenLockFile(storePath, lockPath);
  bool told = false;
  while (!TryLock(fd_)) {
    if (errno != EWOULDBLOCK) {
      const int error = errno;
      close(fd_);
      fd_ = -1;
      Refuse(storePath, lockPath, std::strerror(error));
    }
    if (!wait.wait || (wait.stop && wait.stop())) {
      const StoreBusy busy = Holder(storePath, fd_);
      close(fd_);
      fd_ = -1;
      throw busy;
    }
    if (!told && wait.waiting) wait.waiting(Holder(storePath, fd_));
    told = true;
    std::this_thread::sleep_for(kPollInterval);
  }
  const std::string text = "pid " + std::to_string(getpid()) + "\nsince " + Now() + "\ncommand " +
                           detail::OneLine(holder) + "\n";
  // Who holds it is only a help to whoever waits: the lock is the flock.
  if (ftruncate(fd_, 0) == 0) {
    ssize_t written;
    do {
      written = pwrite(fd_, text.data(), text.size(), 0);
    } while (written < 0 && errno == EINTR);
  }
}

StoreLock::~StoreLock() {
  if (fd_ < 0) return;
  // What the next holder finds while it writes its own lines is nobody's.
  static_cast<void>(ftruncate(fd_, 0) == 0);
  flock(fd_, LOCK_UN);
  close(fd_);
}

}  // namespace tzplatform
