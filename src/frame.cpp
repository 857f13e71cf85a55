// The library frame: string conversion over the platform's.
#include "tzdag/frame.h"

#include <tzplatform/FXString.h>

std::string WStringToString(const std::wstring& wide) {
  return FXString::ToString(wide);
}
