// Lookups of server and database names in the lists that narrow a discovery
// answer, and the database path of a subclient content entry.
#ifndef TZDAG_SRC_NAME_LOOKUP_H_
#define TZDAG_SRC_NAME_LOOKUP_H_

#include <string>
#include <unordered_set>
#include <vector>

#include <tzplatform/Properties.h>

// Answers "is this name in the list?" with the same result as a linear
// iStrEqual search over the list. The filters only ever ask whether a name is
// present (never which entry matched), so a keyed lookup on the ASCII-folded
// name gives exactly the first-match answer without a scan per database.
class NameSet {
 public:
  explicit NameSet(const std::vector<std::string>& names);
  bool Contains(const std::string& name) const;

 private:
  std::unordered_set<std::string> folded_;
};

// The content entry as the Exchange database entry it stands for, or null
// when it is an entry of another kind.
const ExchangeDBProperty* AsDatabaseEntry(const ApplProperty* property);

// description + "\" + store name: the form of dbName in the tool's answer.
std::string DatabasePath(const ExchangeDBProperty& entry);

#endif  // TZDAG_SRC_NAME_LOOKUP_H_
