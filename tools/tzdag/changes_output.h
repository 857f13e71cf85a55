// How the tool shows what an update changed in a subclient: update-subclient,
// sync and history alike.
#ifndef TZDAG_TOOL_CHANGES_OUTPUT_H_
#define TZDAG_TOOL_CHANGES_OUTPUT_H_

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tzdag/TzDagApi.h"

namespace tzdag_tool {

// {"removed": [..], "added": [..], "reassociated": [{"database", "from"
// (null when it had no server), "to"}], "marked": [..]}
nlohmann::json ChangesJson(const _tagSubclientChanges& changes);

// Rows "CHANGE DATABASE FROM TO": removed, added, reassociated ("(none)" when
// it had no server), then "marked full", each in the order given.
std::vector<std::vector<std::string>> ChangeRows(const _tagSubclientChanges& changes);

// The rows as a table, or "No changes." when there are none.
void PrintChanges(std::ostream& out, const _tagSubclientChanges& changes);

// "3 added, 1 removed": the counts that are not zero, or "no changes".
std::string ChangeCounts(const _tagSubclientChanges& changes);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_CHANGES_OUTPUT_H_
