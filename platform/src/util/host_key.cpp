#include "util/host_key.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tzplatform/TZPassword.h"

namespace tzplatform {
namespace detail {
namespace {

// Owns one file descriptor.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

std::string ModeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Reads exactly `size` bytes; false on a short read or an error (errno set,
// or 0 at the end of the file).
bool ReadAll(int fd, unsigned char* into, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, into + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = 0;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const unsigned char* from, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(fd, from + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes a new key file at `path` unless one is there already. Returns an
// empty text when a key file is there afterwards (made here or by another
// process), otherwise why none could be made.
std::string CreateHostKey(const std::string& path) {
  HostKey fresh;
  if (!RandomBytes(fresh.data(), kHostKeySize)) {
    return "cannot create the key file " + path + ": no random bytes to be had";
  }
  std::string temporary = path + ".XXXXXX";
  // mkostemp creates the file with mode 0600, whatever the umask.
  Fd out(mkostemp(&temporary[0], O_CLOEXEC));
  if (out.fd < 0) return "cannot create the key file " + path + ": " + std::strerror(errno);
  struct Removal {
    const std::string& name;
    ~Removal() { unlink(name.c_str()); }
  } removal{temporary};
  if (!WriteAll(out.fd, fresh.data(), kHostKeySize) || fsync(out.fd) != 0) {
    return "cannot create the key file " + path + ": " + std::strerror(errno);
  }
  // link() never replaces: when another process made the key first, its key
  // is the one everybody uses.
  if (link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST) {
    return "cannot create the key file " + path + ": " + std::strerror(errno);
  }
  Fd folder(open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.fd >= 0) fsync(folder.fd);
  return std::string();
}

}  // namespace

bool RandomBytes(unsigned char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = getrandom(out + done, size - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

HostKey::~HostKey() {
  WipeSecret(bytes_, sizeof(bytes_));
}

std::string ReadHostKey(const std::string& path, HostKey& key) {
  if (path.empty()) return "no key file is named";
  Fd in(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (in.fd < 0) {
    if (errno == ENOENT) return "the key file " + path + " does not exist";
    return "cannot read the key file " + path + ": " + std::strerror(errno);
  }
  struct stat st;
  if (fstat(in.fd, &st) != 0) {
    return "cannot read the key file " + path + ": " + std::strerror(errno);
  }
  if (!S_ISREG(st.st_mode)) return "the key file " + path + " is not a regular file";
  if (st.st_uid != geteuid()) {
    return "the key file " + path + " belongs to another user (uid " + std::to_string(st.st_uid) +
           ")";
  }
  if ((st.st_mode & 077) != 0) {
    return "the key file " + path + " is open to group or others (mode " + ModeText(st.st_mode) +
           "); only its owner may read it (chmod 600 " + path + ")";
  }
  if (st.st_size != static_cast<off_t>(kHostKeySize)) {
    return "the key file " + path + " is " + std::to_string(st.st_size) + " bytes long, not " +
           std::to_string(kHostKeySize);
  }
  if (!ReadAll(in.fd, key.data(), kHostKeySize)) {
    return "cannot read the key file " + path + ": " +
           (errno != 0 ? std::strerror(errno) : "it ended early");
  }
  return std::string();
}

void ReadOrCreateHostKey(const std::string& path, HostKey& key) {
  if (path.empty()) throw KeyFileError("no key file is named");
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
    std::string problem = CreateHostKey(path);
    if (!problem.empty()) throw KeyFileError(problem);
  }
  std::string problem = ReadHostKey(path, key);
  if (!problem.empty()) throw KeyFileError(problem);
}

}  // namespace detail
}  // namespace tzplatform
