// Lookups of server and database names in the lists that narrow a discovery
// answer, and the database path of a subclient content entry.
#ifndef TZDAG_SRC_NAME_LOOKUP_H_
#define TZDAG_SRC_NAME_LOOKUP_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <tzplatform/Properties.h>

// The name as iStrEqual compares it: ASCII letters folded to lower case,
// every other byte as it is. Two names are iStrEqual exactly when their
// foldings are equal, so it serves as a key.
std::string FoldName(const std::string& name);

// Answers "is this name in the list?" with the same result as a linear
// iStrEqual search over the list. The filters only ever ask whether a name is
// present (never which entry matched), so a keyed lookup on the ASCII-folded
// name gives exactly the first-match answer without a scan per database.
class NameSet {
 public:
  explicit NameSet(const std::vector<std::string>& names);
  NameSet(const NameSet&) = delete;
  NameSet& operator=(const NameSet&) = delete;
  bool Contains(const std::string& name) const;

 private:
  // Hashed and compared as folded, so that a name asked for needs no
  // folded copy of its own.
  struct FoldedHash {
    size_t operator()(std::string_view name) const;
  };
  struct FoldedEqual {
    bool operator()(std::string_view a, std::string_view b) const;
  };
  std::vector<std::string> names_;  // what the set's views show
  std::unordered_set<std::string_view, FoldedHash, FoldedEqual> set_;
};

// The discovered database names of an answer, in answer order and with
// duplicates, from which a subclient's content entries claim names one at a
// time. Claim takes the first unclaimed name equal to the path ignoring ASCII
// letter case -- the very name a linear iStrEqual search over the unclaimed
// names finds -- so that a large answer and a large subclient cost one keyed
// lookup per entry instead of a scan and an erase from the middle of a list.
class NameClaims {
 public:
  explicit NameClaims(std::vector<std::string> names);
  // Whether an unclaimed name matched; it is claimed then.
  bool Claim(const std::string& path);
  // The names nobody claimed, in answer order.
  std::vector<std::string> Unclaimed() const;

 private:
  // Positions of the names with one folded spelling, in answer order, and
  // how many of them are claimed: claims always take the earliest left.
  struct Spelling {
    std::vector<size_t> positions;
    size_t claimed = 0;
  };
  std::vector<std::string> names_;
  std::vector<bool> claimed_;
  std::unordered_map<std::string, Spelling> bySpelling_;
};

// The content entry as the Exchange database entry it stands for, or null
// when it is an entry of another kind.
const ExchangeDBProperty* AsDatabaseEntry(const ApplProperty* property);

// description + "\" + store name: the form of dbName in the tool's answer.
std::string DatabasePath(const ExchangeDBProperty& entry);

#endif  // TZDAG_SRC_NAME_LOOKUP_H_
