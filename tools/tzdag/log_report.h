// How a command that failed shows why: the lines and events the library
// wrote during the call.
#ifndef TZDAG_TOOL_LOG_REPORT_H_
#define TZDAG_TOOL_LOG_REPORT_H_

#include <ostream>
#include <string>

#include <tzplatform/log.h>
#include <nlohmann/json.hpp>

namespace tzdag_tool {

// One captured line as the log shows it: "function: text" for the function
// forms, the text alone otherwise.
std::string LogLineText(const tzplatform::LogLine& line);

// Adds to a JSON answer "log", every captured line, and, when any event was
// raised, "events" (each as "event 0x1C000175: \"argument\"").
void AddCapturedLog(nlohmann::json& answer, const tzplatform::LogCapture& capture);

// Writes "tzdag: <summary>" and then, indented, every captured line (unless
// the log already goes to standard error, or -v copies it there) and event.
void ReportFailure(std::ostream& err, const std::string& summary,
                   const tzplatform::LogCapture& capture);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_LOG_REPORT_H_
