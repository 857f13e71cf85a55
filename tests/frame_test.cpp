// Name comparison and string conversion of the library frame.
#include <gtest/gtest.h>

#include <string>

#include "tzdag/frame.h"

namespace {

TEST(FrameTest, IStrEqualComparesWholeNamesIgnoringAsciiCaseOnly) {
  struct Case {
    const char* held;
    std::string other;
    bool equal;
  };
  const Case cases[] = {
      {"MBX01", "mbx01", true},
      {"MBX01", "MBX01", true},
      {"MBX01", "MBX01 ", false},
      {"MBX01", "MBX011", false},
      {"MBX01", "MBX0", false},
      {"", "", true},
      {"First\\DB01", "FIRST\\db01", true},
      {"a@[`{", "A@[`{", true},         // only letters fold
      {"@", "`", false},                // 0x40 and 0x60 differ by the case bit
      {"\xc3\x84", "\xc3\xa4", false},  // no folding beyond ASCII
  };
  for (const Case& c : cases) {
    EXPECT_EQ(iStrEqual(c.held)(c.other), c.equal) << c.held << " vs " << c.other;
  }
}

TEST(FrameTest, WStringToStringIsUtf8WithReplacementForNonScalarValues) {
  struct Case {
    std::wstring wide;
    std::string narrow;
  };
  const Case cases[] = {
      {L"", ""},
      {L"MBX01", "MBX01"},
      {L"\u00c4", "\xc3\x84"},
      {L"\u20ac", "\xe2\x82\xac"},
      {L"\U0001F600", "\xf0\x9f\x98\x80"},
      {std::wstring(1, static_cast<wchar_t>(0xD800)), "\xef\xbf\xbd"},
      {std::wstring(1, static_cast<wchar_t>(0x110000)), "\xef\xbf\xbd"},
      {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
  };
  for (const Case& c : cases) EXPECT_EQ(WStringToString(c.wide), c.narrow);
}

}  // namespace
