// Counting a doctor report's findings, as the doctor's report and the
// monitoring answers both need it.
#ifndef TZDAG_TOOL_FINDINGS_H_
#define TZDAG_TOOL_FINDINGS_H_

#include <algorithm>
#include <vector>

#include "tzdag/TzDagApi.h"

namespace tzdag_tool {

// Findings of `severity`, of the check `check` only when it is given.
inline size_t CountFindings(const std::vector<_tagDoctorFinding>& findings, DoctorSeverity severity,
                            const char* check = nullptr) {
  return static_cast<size_t>(
      std::count_if(findings.begin(), findings.end(), [&](const _tagDoctorFinding& f) {
        return f.severity == severity && (check == nullptr || f.check == check);
      }));
}

// The most severe of `findings`; ok when there are none.
inline DoctorSeverity WorstFinding(const std::vector<_tagDoctorFinding>& findings) {
  DoctorSeverity worst = kDoctorOk;
  for (const _tagDoctorFinding& f : findings) worst = std::max(worst, f.severity);
  return worst;
}

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_FINDINGS_H_
