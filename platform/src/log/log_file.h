// Opening the log file, which must be the user's own, and appending to it
// when other processes write the same file.
#ifndef TZPLATFORM_SRC_LOG_LOG_FILE_H_
#define TZPLATFORM_SRC_LOG_LOG_FILE_H_

#include <sys/types.h>

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

// One log file, open for appending, that other processes (a timer's run and
// a person's, say) may append to and rotate at the same time. Each line is
// written with one write() while holding an exclusive flock on the file, so
// lines never interleave; before it, the name is checked to still lead to
// the open file, and when it does not (another process rotated it, or
// logrotate renamed it) the name is opened again, so no process goes on
// writing to a renamed file. Not thread-safe: its owner serialises calls.
class SharedLogFile {
 public:
  SharedLogFile() = default;
  ~SharedLogFile();
  SharedLogFile(const SharedLogFile&) = delete;
  SharedLogFile& operator=(const SharedLogFile&) = delete;

  // Opens `path`, closing what was open; false (nothing open) when
  // OpenLogFile refuses or fails.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

  // Appends `line` (its newline included). When the file is a regular file
  // that is not empty and `line` would take it past `maxSize` bytes (0: no
  // bound), it is rotated first, keeping `keep` old files. False when the
  // line could not be written (the file could not be opened again after a
  // rotation, or the write failed); the file is closed then.
  bool Append(const std::string& line, long long maxSize, int keep);

 private:
  void Rotate(int keep) const;

  int fd_ = -1;
  bool regular_ = false;
  // Which file fd_ is, to tell whether the name still leads to it.
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::string path_;
};

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_LOG_LOG_FILE_H_
