#include "log_report.h"

#include <tzplatform/settings.h>

namespace tzdag_tool {

std::string LogLineText(const tzplatform::LogLine& line) {
  if (line.function.empty()) return line.text;
  return line.function + ": " + line.text;
}

void ReportFailure(std::ostream& err, const std::string& summary,
                   const tzplatform::LogCapture& capture) {
  err << "tzdag: " << summary << '\n';
  if (tzplatform::LogFile() != "-") {
    for (const tzplatform::LogLine& line : capture.Lines()) err << LogLineText(line) << '\n';
  }
  err.flush();
}

}  // namespace tzdag_tool
