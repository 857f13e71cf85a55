// The host key that passwords are encrypted under: 32 random bytes in a file
// that only its owner can read.
#ifndef TZPLATFORM_SRC_UTIL_HOST_KEY_H_
#define TZPLATFORM_SRC_UTIL_HOST_KEY_H_

#include <cstddef>
#include <string>

namespace tzplatform {
namespace detail {

constexpr size_t kHostKeySize = 32;

// Fills `size` bytes at `out` from the kernel's random generator; false when
// it gives none.
bool RandomBytes(unsigned char* out, size_t size);

// Key material, wiped when it goes.
class HostKey {
 public:
  HostKey() = default;
  ~HostKey();
  HostKey(const HostKey&) = delete;
  HostKey& operator=(const HostKey&) = delete;

  const unsigned char* data() const { return bytes_; }
  unsigned char* data() { return bytes_; }

 private:
  unsigned char bytes_[kHostKeySize] = {};
};

// Reads the key file at `path` into `key`. Returns an empty text on success,
// otherwise why the file cannot be used (it does not exist; it is not a
// regular file; it belongs to another user; group or others have any access
// to it; it is not exactly kHostKeySize bytes; it cannot be read).
std::string ReadHostKey(const std::string& path, HostKey& key);

// Reads the key file at `path`, creating it first when it does not exist:
// random bytes written to a private temporary file beside it, which is then
// linked under its name, so that no reader ever sees a half-written key and
// two processes creating it at once end up with the same one. Throws
// KeyFileError saying why when that fails or the file is refused.
void ReadOrCreateHostKey(const std::string& path, HostKey& key);

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_UTIL_HOST_KEY_H_
