// Name comparison of the library frame, and the keyed name lookups of the
// filters and the subclient update against the straightforward linear
// iStrEqual searches they replace; the frame's string conversion.
#include <gtest/gtest.h>

#include <random>

#include "../src/name_lookup.h"
#include "test_env.h"
#include "tzdag/frame.h"

namespace {

TEST(FrameTest, IStrEqualComparesWholeNamesIgnoringAsciiCaseOnly) {
  // tests/data/name_lookup.json holds the cases.
  for (const nlohmann::json& c : tztest::TestData("name_lookup.json", "iStrEqual"))
    EXPECT_EQ(iStrEqual(c[0].get<std::string>().c_str())(c[1]), c[2]) << c;
}

TEST(FrameTest, WStringToStringIsUtf8WithReplacementForNonScalarValues) {
  for (const nlohmann::json& c : tztest::TestData("name_lookup.json", "wide")) {
    std::wstring wide;
    for (const auto& unit : c[0]) wide += static_cast<wchar_t>(unit.get<uint32_t>());
    EXPECT_EQ(WStringToString(wide), c[1].get<std::string>()) << c;
  }
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
    for (int i = std::uniform_int_distribution<int>(0, 3)(random); i > 0; --i)
      name += kPieces[std::uniform_int_distribution<size_t>(0, std::size(kPieces) - 1)(random)];
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
