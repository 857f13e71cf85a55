// How a command that failed shows why: the library's own log lines.
#ifndef TZDAG_TOOL_LOG_REPORT_H_
#define TZDAG_TOOL_LOG_REPORT_H_

#include <ostream>
#include <string>

#include <tzplatform/log.h>

namespace tzdag_tool {

// One captured line as the log shows it: "function: text" for the function
// forms, the text alone otherwise.
std::string LogLineText(const tzplatform::LogLine& line);

// Writes `summary` ("tzdag: <summary>") and then every line `capture` holds to
// `err`. When the log itself goes to standard error the lines are already
// there and are not repeated.
void ReportFailure(std::ostream& err, const std::string& summary,
                   const tzplatform::LogCapture& capture);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_LOG_REPORT_H_
