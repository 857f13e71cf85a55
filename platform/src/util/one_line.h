// Text from outside (a tool's error text or standard error, a name from the
// store) made safe to write as one line of the log or to a terminal.
#ifndef TZPLATFORM_SRC_UTIL_ONE_LINE_H_
#define TZPLATFORM_SRC_UTIL_ONE_LINE_H_

#include <cstddef>
#include <string>

namespace tzplatform {
namespace detail {

// `text` with what could end the line or talk to a terminal written out:
// C0 controls but the tab, DEL and every byte that is not part of a UTF-8
// sequence as \xNN; C1 controls, U+2028 and U+2029 as \uNNNN. Everything
// else, non-ASCII text included, is kept.
std::string OneLine(const std::string& text);

// `text` cut to at most `longest` bytes (at the start of a character, "..."
// added) and then made one line as OneLine does.
std::string ShortLine(const std::string& text, size_t longest);

// The length of the UTF-8 sequence that starts at `at` (1 for ASCII), with
// its code point in `code`; 0 when none starts there (no overlong forms,
// surrogates or values above U+10FFFF).
size_t Utf8SequenceAt(const std::string& text, size_t at, unsigned& code);

}  // namespace detail
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_UTIL_ONE_LINE_H_
