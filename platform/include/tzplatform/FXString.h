// Wide-to-narrow string conversion of the platform.
#ifndef TZPLATFORM_FXSTRING_H_
#define TZPLATFORM_FXSTRING_H_

#include <string>

#include "tzplatform/export.h"

class TZPLATFORM_API FXString {
 public:
  // UTF-8 of the wide string. A value that is not a Unicode scalar value
  // (a surrogate, or above U+10FFFF) becomes U+FFFD.
  static std::string ToString(const std::wstring& wide);
};

#endif  // TZPLATFORM_FXSTRING_H_
