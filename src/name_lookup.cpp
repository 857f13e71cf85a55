#include "name_lookup.h"

#include <cstdint>
#include <utility>

std::string FoldName(const std::string& name) {
  std::string folded = name;
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

namespace {

char FoldChar(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

size_t NameSet::FoldedHash::operator()(std::string_view name) const {
  // FNV-1a over the folded bytes.
  uint64_t hash = 14695981039346656037ull;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(FoldChar(c));
    hash *= 1099511628211ull;
  }
  return static_cast<size_t>(hash);
}

bool NameSet::FoldedEqual::operator()(std::string_view a, std::string_view b) const {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldChar(a[i]) != FoldChar(b[i])) return false;
  }
  return true;
}

NameSet::NameSet(const std::vector<std::string>& names) : names_(names) {
  set_.reserve(names_.size());
  for (const std::string& name : names_) set_.insert(name);
}

bool NameSet::Contains(const std::string& name) const {
  return set_.count(name) != 0;
}

NameClaims::NameClaims(std::vector<std::string> names)
    : names_(std::move(names)), claimed_(names_.size(), false) {
  bySpelling_.reserve(names_.size());
  for (size_t i = 0; i < names_.size(); ++i)
    bySpelling_[FoldName(names_[i])].positions.push_back(i);
}

bool NameClaims::Claim(const std::string& path) {
  auto found = bySpelling_.find(FoldName(path));
  if (found == bySpelling_.end()) return false;
  Spelling& spelling = found->second;
  if (spelling.claimed == spelling.positions.size()) return false;
  claimed_[spelling.positions[spelling.claimed++]] = true;
  return true;
}

std::vector<std::string> NameClaims::Unclaimed() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < names_.size(); ++i) {
    if (!claimed_[i]) names.push_back(names_[i]);
  }
  return names;
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
