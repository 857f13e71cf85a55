#include "changes_output.h"

#include <unordered_set>

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

std::vector<std::vector<std::string>> ChangeRows(const _tagSubclientChanges& changes,
                                                 TableFormat format) {
  const char* noServer = format == TableFormat::kTable ? "(none)" : "";
  std::vector<std::vector<std::string>> rows;
  for (const std::string& path : changes.removed) rows.push_back({"removed", path, "", ""});
  for (const std::string& path : changes.added) rows.push_back({"added", path, "", ""});
  for (const _tagReassociation& r : changes.reassociated) {
    rows.push_back({"reassociated", r.database, r.hadServer ? r.from : noServer, r.to});
  }
  for (const std::string& path : changes.marked) rows.push_back({"marked full", path, "", ""});
  return rows;
}

void PrintChanges(std::ostream& out, const _tagSubclientChanges& changes, TableFormat format) {
  if (changes.empty() && format == TableFormat::kTable) {
    out << "No changes.\n";
    return;
  }
  PrintRows(out, format, {"CHANGE", "DATABASE", "FROM", "TO"}, ChangeRows(changes, format));
}

namespace {

std::string Folded(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

}  // namespace

ChangeTotals TotalsOf(const _tagSubclientChanges& changes, size_t contentBefore) {
  ChangeTotals totals;
  totals.added = changes.added.size();
  totals.removed = changes.removed.size();
  totals.reassociated = changes.reassociated.size();
  totals.marked = changes.marked.size();
  // An added database gets its first association too: only the kept ones
  // that changed count against the content before.
  std::unordered_set<std::string> added, changedKept;
  for (const std::string& path : changes.added) added.insert(Folded(path));
  auto kept = [&](const std::string& path) {
    std::string folded = Folded(path);
    if (added.count(folded) == 0) changedKept.insert(std::move(folded));
  };
  for (const _tagReassociation& r : changes.reassociated) kept(r.database);
  for (const std::string& path : changes.marked) kept(path);
  const size_t gone = totals.removed + changedKept.size();
  totals.unchanged = contentBefore > gone ? contentBefore - gone : 0;
  return totals;
}

nlohmann::json TotalsJson(const ChangeTotals& totals) {
  return {{"added", totals.added},
          {"removed", totals.removed},
          {"reassociated", totals.reassociated},
          {"marked", totals.marked},
          {"unchanged", totals.unchanged}};
}

std::string TotalsLine(const ChangeTotals& totals) {
  return "Databases: " + std::to_string(totals.added) + " added, " +
         std::to_string(totals.removed) + " removed, " + std::to_string(totals.reassociated) +
         " reassociated, " + std::to_string(totals.marked) + " marked full, " +
         std::to_string(totals.unchanged) + " unchanged";
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
