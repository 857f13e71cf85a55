// The directory-value helpers on arbitrary text: DecodeADAttributeValue on
// the input as a zero-terminated text, FormDomainPostfix on the input, and
// FindAndReplace with the input split at its first two line feeds into text,
// pattern and replacement.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <tzplatform/settings.h>

#include "fuzz_check.h"
#include "internal.h"
#include "tzdag/DagDiscoverAgent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    tzplatform::SetLogFile("/dev/null");
    return true;
  }();
  (void)quiet;
  const std::string input(reinterpret_cast<const char*>(data), size);

  std::vector<char> value(input.begin(), input.end());
  value.push_back('\0');
  const std::string decoded = DecodeADAttributeValue(value.data());
  if (value[0] != ':') FUZZ_CHECK(decoded == value.data(), "a plain value did not come back");

  const std::string postfix = FormDomainPostfix(input);
  FUZZ_CHECK(postfix.find(',') == std::string::npos, "a comma is left in " + postfix);
  FUZZ_CHECK(postfix.size() <= input.size(), "the postfix is longer than the name");

  const size_t first = input.find('\n');
  const size_t second = first == std::string::npos ? first : input.find('\n', first + 1);
  if (second == std::string::npos) return 0;
  std::string text = input.substr(0, first);
  const std::string pattern = input.substr(first + 1, second - first - 1);
  const std::string replacement = input.substr(second + 1);
  // Every input ends; only a replacement shorter than its pattern is
  // searched again until no occurrence is left.
  FindAndReplace(text, pattern, replacement);
  if (!pattern.empty() && replacement.size() < pattern.size()) {
    FUZZ_CHECK(text.find(pattern) == std::string::npos, "the pattern is left in the text");
  }
  return 0;
}
