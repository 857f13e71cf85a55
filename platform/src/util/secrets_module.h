// The password cipher module (platform/modules/secrets): AES-256-GCM made
// with OpenSSL's libcrypto, loaded on first use (util/modules.h).
#ifndef TZPLATFORM_SRC_UTIL_SECRETS_MODULE_H_
#define TZPLATFORM_SRC_UTIL_SECRETS_MODULE_H_

#include <cstddef>

namespace tzplatform {

// AES-256-GCM under a 32-byte key with a 12-byte nonce, the additional
// authenticated data `aad` and a 16-byte tag.
struct SecretsModule {
  // Encrypts `size` bytes of `in` into `out` (as long) and writes the tag.
  bool (*seal)(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad,
               size_t aadSize, const unsigned char* in, size_t size, unsigned char* out,
               unsigned char* tag);
  // Decrypts `size` bytes of `in` into `out` (as long); false when the tag
  // does not match (the text was made under another key, or changed since).
  // `out` then holds nothing to use, and is the caller's to wipe.
  bool (*open)(const unsigned char* key, const unsigned char* nonce, const unsigned char* aad,
               size_t aadSize, const unsigned char* in, size_t size, unsigned char* out,
               const unsigned char* tag);
};

constexpr char kSecretsModuleFile[] = "secrets.so";
// Returns a const SecretsModule*; the number is the table's version.
constexpr char kSecretsModuleEntry[] = "tzplatform_secrets_module_1";

}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_UTIL_SECRETS_MODULE_H_
