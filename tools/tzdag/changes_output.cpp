#include "changes_output.h"

#include "output.h"

namespace tzdag_tool {

nlohmann::json ChangesJson(const _tagSubclientChanges& changes) {
  nlohmann::json reassociated = nlohmann::json::array();
  for (const _tagReassociation& r : changes.reassociated) {
    reassociated.push_back({{"database", r.database},
                            {"from", r.hadServer ? nlohmann::json(r.from) : nlohmann::json()},
                            {"to", r.to}});
  }
  return {{"removed", changes.removed},
          {"added", changes.added},
          {"reassociated", reassociated},
          {"marked", changes.marked}};
}

std::vector<std::vector<std::string>> ChangeRows(const _tagSubclientChanges& changes) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& path : changes.removed) rows.push_back({"removed", path, "", ""});
  for (const std::string& path : changes.added) rows.push_back({"added", path, "", ""});
  for (const _tagReassociation& r : changes.reassociated) {
    rows.push_back({"reassociated", r.database, r.hadServer ? r.from : "(none)", r.to});
  }
  for (const std::string& path : changes.marked) rows.push_back({"marked full", path, "", ""});
  return rows;
}

void PrintChanges(std::ostream& out, const _tagSubclientChanges& changes) {
  if (changes.empty()) {
    out << "No changes.\n";
    return;
  }
  PrintTable(out, {"CHANGE", "DATABASE", "FROM", "TO"}, ChangeRows(changes));
}

std::string ChangeCounts(const _tagSubclientChanges& changes) {
  std::string text;
  auto add = [&text](size_t count, const char* what) {
    if (count == 0) return;
    text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + what;
  };
  add(changes.removed.size(), "removed");
  add(changes.added.size(), "added");
  add(changes.reassociated.size(), "reassociated");
  add(changes.marked.size(), "marked full");
  return text.empty() ? "no changes" : text;
}

}  // namespace tzdag_tool
