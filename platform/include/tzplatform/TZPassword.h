// Password encryption of the platform, and Base64.
//
// Encrypted form (what `tzdag encrypt` prints): "TZP2:" followed by the
// Base64 of a random 12-byte nonce, the AES-256-GCM ciphertext of the
// password and its 16-byte tag, under the host key. The host key is 32 random
// bytes in the key file tzplatform::KeyFile() names (settings.h), which only
// its owner may read; Encrypt creates it on first use. The older form
// "TZP1:", which needs no key, still decrypts.
#ifndef TZPLATFORM_TZPASSWORD_H_
#define TZPLATFORM_TZPASSWORD_H_

#include <cstddef>
#include <stdexcept>
#include <string>

#include "tzplatform/export.h"

namespace tzplatform {

// The host key file cannot be created or is not one to trust; what() names
// the file and says why.
class TZPLATFORM_API KeyFileError : public std::runtime_error {
 public:
  explicit KeyFileError(const std::string& what) : std::runtime_error(what) {}
};

// Makes this process not dumpable for the rest of its run: no core dump is
// written, and other processes of the user cannot read its memory (ptrace,
// /proc/PID/mem); /proc/PID then belongs to root. TZPassword and the
// directory search call it before a plain password is in memory; a program
// calls it before it reads one itself. It is not undone when the password is
// wiped, since copies out of the program's reach (the C library's input
// buffers, memory a library gave back) may outlive it. A child process is
// dumpable again once it runs another program. Thread-safe.
TZPLATFORM_API void KeepSecretsOutOfDumps();

// Overwrites `size` bytes at `bytes` with zeros, as a store the compiler may
// not leave out: for a secret's memory before it is given back.
TZPLATFORM_API void WipeSecret(void* bytes, size_t size);

}  // namespace tzplatform

class TZPLATFORM_API TZPassword {
 public:
  TZPassword();
  ~TZPassword();

  // Decrypts `encrypted` (either form) into `buffer`. On entry *length is
  // the number of bytes the buffer may receive; no byte past
  // buffer[*length - 1] is ever written and no terminator is added. On
  // success returns 0 and sets *length to the length of the plain text. On
  // failure (null or malformed text, a text not made under this host's key
  // or altered since, a missing or refused key file, plain text longer than
  // the buffer) returns non-zero, writes nothing and sets *length to 0.
  // Never creates the key file and never throws. The process is not dumpable
  // from then on (KeepSecretsOutOfDumps); the caller wipes the buffer.
  int decrypt(const char* encrypted, char* buffer, int* length);

  // The "TZP2:" form of `plain`, with a fresh random nonce: printable ASCII
  // without blanks. Throws tzplatform::KeyFileError when the key file cannot
  // be created or read, or is refused, and when it would be made beside a
  // store that does not exist (tzplatform::KeyFileProblem, settings.h).
  static std::string Encrypt(const std::string& plain);

  // Why `encrypted` does not decrypt, as a sentence part ("it was not made
  // with the key in /x/tzdag.key, or was changed since"); empty when it
  // decrypts (whatever the length of its plain text).
  static std::string Problem(const char* encrypted);
};

// Strict standard Base64 (RFC 4648 alphabet, '=' padding required, no
// whitespace). Text that is not valid Base64 decodes to the empty string.
TZPLATFORM_API std::string base64_decode(const std::string& text);
TZPLATFORM_API std::string base64_encode(const std::string& bytes);

#endif  // TZPLATFORM_TZPASSWORD_H_
