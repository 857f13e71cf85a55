// What every part of the library shares: the global log object, the name
// comparison and the wide-to-narrow conversion.
#ifndef TZDAG_FRAME_H_
#define TZDAG_FRAME_H_

#include <string>
#include <utility>

#include <tzplatform/EvEvent.h>

#include "tzdag/export.h"

// The library's one global object, constructed when the library is loaded
// and destroyed when it is unloaded. Every log line and every event the
// library writes goes through it: to the log (tzplatform::SetLogFile,
// TZ_LOG_FILE), to any live tzplatform::LogCapture, and, for events, to the
// store. Thread-safe (tzplatform/EvEvent.h).
extern TZDAG_API EvEvent event;

// Equality of server and database names ignoring ASCII letter case, whole
// string, nothing trimmed. Holds its own copy of the name; used as the
// predicate of linear searches (first match wins).
class iStrEqual {
 public:
  explicit iStrEqual(std::string name) : name_(std::move(name)) {}
  bool operator()(const std::string& other) const {
    if (other.size() != name_.size()) return false;
    for (size_t i = 0; i < other.size(); ++i) {
      if (Fold(other[i]) != Fold(name_[i])) return false;
    }
    return true;
  }

 private:
  static char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
  std::string name_;
};

// The platform's narrowing of a wide string (FXString::ToString): UTF-8, a
// value that is not a Unicode scalar value becoming U+FFFD.
TZDAG_API std::string WStringToString(const std::wstring& wide);

#endif  // TZDAG_FRAME_H_
