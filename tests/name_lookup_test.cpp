// The keyed name lookups of the filters and the subclient update against the
// straightforward linear iStrEqual searches they replace, on random names
// that collide often: same name in other letter cases, non-ASCII bytes that
// must not fold, duplicates, empty names, prefixes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../src/name_lookup.h"
#include "tzdag/frame.h"

namespace {

// Pieces of names chosen so that random names often equal each other
// ignoring case, and sometimes only nearly: '@' and '[' sit next to 'A' and
// 'Z', '`' and '{' next to 'a' and 'z', and the two-byte letters differ only
// in case outside ASCII.
const char* const kPieces[] = {"A",  "a",  "Z",  "z", "@",        "[",        "`", "{", "\\",
                               "DB", "db", "Db", "1", "\xC3\x89", "\xC3\xA9", " ", ""};

std::string RandomName(std::mt19937& random) {
  std::uniform_int_distribution<int> length(0, 3);
  std::uniform_int_distribution<size_t> piece(0, std::size(kPieces) - 1);
  std::string name;
  for (int i = length(random); i > 0; --i) name += kPieces[piece(random)];
  return name;
}

std::vector<std::string> RandomNames(std::mt19937& random, int count) {
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(RandomName(random));
  return names;
}

// The straightforward claim: the first unclaimed name equal ignoring case,
// found by a linear search and erased from the list.
bool LinearClaim(std::vector<std::string>& unclaimed, const std::string& path) {
  auto match = std::find_if(unclaimed.begin(), unclaimed.end(), iStrEqual(path));
  if (match == unclaimed.end()) return false;
  unclaimed.erase(match);
  return true;
}

TEST(NameClaimsTest, ClaimsWhatTheLinearSearchClaimsAndLeavesTheSameNamesInOrder) {
  for (unsigned round = 1; round <= 300; ++round) {
    std::mt19937 random(round);
    std::uniform_int_distribution<int> size(0, 40);
    std::vector<std::string> discovered = RandomNames(random, size(random));
    std::vector<std::string> paths = RandomNames(random, size(random));

    NameClaims claims(discovered);
    std::vector<std::string> linear = discovered;
    for (const std::string& path : paths) {
      ASSERT_EQ(claims.Claim(path), LinearClaim(linear, path)) << "round " << round << " " << path;
    }
    ASSERT_EQ(claims.Unclaimed(), linear) << "round " << round;
  }
}

TEST(NameClaimsTest, EdgeCases) {
  struct Case {
    const char* what;
    std::vector<std::string> discovered;
    std::vector<std::string> paths;
    std::vector<bool> claimed;
    std::vector<std::string> unclaimed;
  };
  const Case cases[] = {
      {"nothing discovered", {}, {"A\\B"}, {false}, {}},
      {"one name claimed once", {"A\\B"}, {"a\\b", "A\\B"}, {true, false}, {}},
      {"a duplicate is claimed twice",
       {"A\\B", "x", "a\\b"},
       {"A\\b", "A\\B"},
       {true, true},
       {"x"}},
      {"the first of the spellings goes first",
       {"a\\b", "A\\B", "C"},
       {"A\\B"},
       {true},
       {"A\\B", "C"}},
      {"non-ASCII letters do not fold", {"\xC3\x89"}, {"\xC3\xA9"}, {false}, {"\xC3\x89"}},
      {"whole names only", {"DB01", "DB0"}, {"db01 ", "db0"}, {false, true}, {"DB01"}},
      {"an empty name is a name", {"", "A"}, {"", ""}, {true, false}, {"A"}},
  };
  for (const Case& c : cases) {
    NameClaims claims(c.discovered);
    std::vector<bool> claimed;
    for (const std::string& path : c.paths) claimed.push_back(claims.Claim(path));
    EXPECT_EQ(claimed, c.claimed) << c.what;
    EXPECT_EQ(claims.Unclaimed(), c.unclaimed) << c.what;
  }
}

TEST(NameSetTest, ContainsWhatTheLinearSearchFindsOnRandomNames) {
  for (unsigned round = 1; round <= 300; ++round) {
    std::mt19937 random(round);
    std::uniform_int_distribution<int> size(0, 30);
    std::vector<std::string> names = RandomNames(random, size(random));
    NameSet set(names);
    for (const std::string& probe : RandomNames(random, 30)) {
      bool linear = std::any_of(names.begin(), names.end(), iStrEqual(probe));
      ASSERT_EQ(set.Contains(probe), linear) << "round " << round << " " << probe;
    }
  }
}

}  // namespace
