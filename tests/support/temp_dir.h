// A temporary folder that is removed with everything in it.
#ifndef TZ_TESTS_SUPPORT_TEMP_DIR_H_
#define TZ_TESTS_SUPPORT_TEMP_DIR_H_

#include <string>

namespace tztest {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes a whole file, replacing it; `mode` as for chmod.
void WriteFile(const std::string& path, const std::string& content, unsigned mode = 0644);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TEMP_DIR_H_
