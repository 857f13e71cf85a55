#include "store/scratch_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tzplatform/store.h"

namespace tzplatform {
namespace store {
namespace {

[[noreturn]] void Fail(const std::string& what, int error) {
  throw StoreError(what + ": " + std::strerror(error));
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

ScratchFile::ScratchFile(const std::string& target) : target_(target) {
  struct stat info {};
  if (lstat(target.c_str(), &info) == 0) throw StoreError(target + " already exists");
  std::string base =
      target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
  std::string pattern = FolderOf(target) + "/." + base + ".partial-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int fd = mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) Fail("cannot create a file beside " + target, errno);
  close(fd);
  path_ = buffer.data();
}

ScratchFile::~ScratchFile() {
  if (moved_) return;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path_ + suffix).c_str());
}

void ScratchFile::MoveIntoPlace() {
  // A hard link fails instead of replacing a file that appeared meanwhile.
  if (link(path_.c_str(), target_.c_str()) == 0) {
    unlink(path_.c_str());
  } else if (errno == EEXIST) {
    throw StoreError(target_ + " already exists");
  } else if (renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) throw StoreError(target_ + " already exists");
    Fail("cannot move the new store to " + target_, errno);
  }
  moved_ = true;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) unlink((path_ + suffix).c_str());
}

}  // namespace store
}  // namespace tzplatform
