#include "name_lookup.h"

namespace {

// The folding of iStrEqual: ASCII letters only, every other byte as it is.
std::string Fold(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

}  // namespace

NameSet::NameSet(const std::vector<std::string>& names) {
  folded_.reserve(names.size());
  for (const std::string& name : names) folded_.insert(Fold(name));
}

bool NameSet::Contains(const std::string& name) const {
  return folded_.count(Fold(name)) != 0;
}

const ExchangeDBProperty* AsDatabaseEntry(const ApplProperty* property) {
  if (property == nullptr || property->getType() != ExchangeDBProperty::kType) return nullptr;
  return dynamic_cast<const ExchangeDBProperty*>(property);
}

std::string DatabasePath(const ExchangeDBProperty& entry) {
  std::string path = entry.getDescription();
  path += '\\';
  path += entry.getStoreName();
  return path;
}
