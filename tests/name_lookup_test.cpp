// Name comparison of the library frame, and the keyed name lookups of the
// filters and the subclient update against the straightforward linear
// iStrEqual searches they replace; the frame's string conversion.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../src/name_lookup.h"
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
      {"MBX01", "MBX01 ", false},
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
  const std::pair<std::wstring, std::string> cases[] = {
      {L"", ""},
      {L"MBX01", "MBX01"},
      {L"\u00c4\u20ac\U0001F600", "\xc3\x84\xe2\x82\xac\xf0\x9f\x98\x80"},
      {std::wstring(1, static_cast<wchar_t>(0xD800)), "\xef\xbf\xbd"},
      {std::wstring(1, static_cast<wchar_t>(0x110000)), "\xef\xbf\xbd"},
      {std::wstring(L"a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& [wide, narrow] : cases) EXPECT_EQ(WStringToString(wide), narrow);
}

// Random names built from pieces that often make names equal ignoring case,
// and sometimes only nearly: '@' and '[' sit next to 'A' and 'Z', '`' and '{'
// next to 'a' and 'z', the two-byte letters differ only in case outside ASCII;
// duplicates, empty names and prefixes come up often.
std::vector<std::string> RandomNames(std::mt19937& random, int count) {
  static const char* const kPieces[] = {"A",  "a",  "Z",  "z", "@",        "[",        "`", "{",
                                        "\\", "DB", "db", "1", "\xC3\x89", "\xC3\xA9", " ", ""};
  std::vector<std::string> names(count);
  for (std::string& name : names) {
    for (int i = std::uniform_int_distribution<int>(0, 3)(random); i > 0; --i) {
      name += kPieces[std::uniform_int_distribution<size_t>(0, std::size(kPieces) - 1)(random)];
    }
  }
  return names;
}

TEST(NameLookupTest, KeyedLookupsAnswerAsTheLinearSearches) {
  for (unsigned round = 1; round <= 300; ++round) {
    std::mt19937 random(round);
    std::uniform_int_distribution<int> size(0, 40);
    const std::vector<std::string> discovered = RandomNames(random, size(random));
    const std::vector<std::string> paths = RandomNames(random, size(random));

    // A claim takes the first unclaimed name equal ignoring case.
    NameClaims claims(discovered);
    NameSet set(discovered);
    std::vector<std::string> unclaimed = discovered;
    for (const std::string& path : paths) {
      ASSERT_EQ(set.Contains(path),
                std::any_of(discovered.begin(), discovered.end(), iStrEqual(path)))
          << "round " << round << " " << path;
      auto match = std::find_if(unclaimed.begin(), unclaimed.end(), iStrEqual(path));
      ASSERT_EQ(claims.Claim(path), match != unclaimed.end()) << "round " << round << " " << path;
      if (match != unclaimed.end()) unclaimed.erase(match);
    }
    ASSERT_EQ(claims.Unclaimed(), unclaimed) << "round " << round;
  }
}

}  // namespace
