// How the tool shows what an update changed in a subclient: update-subclient,
// sync and history alike.
#ifndef TZDAG_TOOL_CHANGES_OUTPUT_H_
#define TZDAG_TOOL_CHANGES_OUTPUT_H_

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "output.h"
#include "tzdag/TzDagApi.h"

namespace tzdag_tool {

// {"removed": [..], "added": [..], "reassociated": [{"database", "from"
// (null when it had no server), "to"}], "marked": [..]}
nlohmann::json ChangesJson(const _tagSubclientChanges& changes);

// Rows "CHANGE DATABASE FROM TO": removed, added, reassociated (FROM
// "(none)" in a table, empty in CSV and TSV, when it had no server), then
// "marked full", each in the order given.
std::vector<std::vector<std::string>> ChangeRows(const _tagSubclientChanges& changes,
                                                 TableFormat format = TableFormat::kTable);

// The rows as `format` says; a table with none is "No changes.".
void PrintChanges(std::ostream& out, const _tagSubclientChanges& changes,
                  TableFormat format = TableFormat::kTable);

// What an update did to a subclient's databases, by kind of change.
struct ChangeTotals {
  size_t added = 0;
  size_t removed = 0;
  size_t reassociated = 0;
  size_t marked = 0;
  // Entries of the content before the update that it kept with neither a
  // new server nor a new mark (ASCII letter case ignored, as the store
  // compares names).
  size_t unchanged = 0;
};

ChangeTotals TotalsOf(const _tagSubclientChanges& changes, size_t contentBefore);

// {"added", "removed", "reassociated", "marked", "unchanged"}
nlohmann::json TotalsJson(const ChangeTotals& totals);

// "Databases: 2 added, 1 removed, 1 reassociated, 0 marked full, 5 unchanged"
std::string TotalsLine(const ChangeTotals& totals);

// "3 added, 1 removed": the counts that are not zero, or "no changes".
std::string ChangeCounts(const _tagSubclientChanges& changes);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_CHANGES_OUTPUT_H_
