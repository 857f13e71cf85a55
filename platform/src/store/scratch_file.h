// A store file built beside its final place and moved there only when
// complete, so that a failure leaves no half-built store behind.
#ifndef TZPLATFORM_SRC_STORE_SCRATCH_FILE_H_
#define TZPLATFORM_SRC_STORE_SCRATCH_FILE_H_

#include <string>

namespace tzplatform {
namespace store {

class ScratchFile {
 public:
  // Creates an empty scratch file in the folder of `target`. Throws
  // StoreError when `target` already exists or the folder is not writable.
  explicit ScratchFile(const std::string& target);
  // Removes the scratch file and its SQLite side files unless moved.
  ~ScratchFile();
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;

  const std::string& path() const { return path_; }

  // Renames the scratch file to the target; never replaces a file that
  // appeared there meanwhile (StoreError). Every connection to the scratch
  // file must be closed first.
  void MoveIntoPlace();

 private:
  std::string target_;
  std::string path_;
  bool moved_ = false;
};

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_SCRATCH_FILE_H_
