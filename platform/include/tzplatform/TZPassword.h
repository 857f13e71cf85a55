// Password encryption of the platform, and Base64.
#ifndef TZPLATFORM_TZPASSWORD_H_
#define TZPLATFORM_TZPASSWORD_H_

#include <string>

#include "tzplatform/export.h"

class TZPLATFORM_API TZPassword {
 public:
  TZPassword();
  ~TZPassword();

  // Decrypts `encrypted` (the form Encrypt produces, which `tzdag encrypt`
  // prints) into `buffer`. On entry *length is the number of bytes the buffer
  // may receive; no byte past buffer[*length - 1] is ever written and no
  // terminator is added. On success returns 0 and sets *length to the length
  // of the plain text. On failure (null or malformed text, plain text longer
  // than the buffer) returns non-zero, writes nothing and sets *length to 0.
  int decrypt(const char* encrypted, char* buffer, int* length);

  // The encrypted form of `plain`: printable ASCII without blanks.
  static std::string Encrypt(const std::string& plain);
};

// Strict standard Base64 (RFC 4648 alphabet, '=' padding required, no
// whitespace). Text that is not valid Base64 decodes to the empty string.
TZPLATFORM_API std::string base64_decode(const std::string& text);
TZPLATFORM_API std::string base64_encode(const std::string& bytes);

#endif  // TZPLATFORM_TZPASSWORD_H_
