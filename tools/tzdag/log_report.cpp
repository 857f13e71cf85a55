#include "log_report.h"

#include <cstdio>

#include <tzplatform/settings.h>

#include "output.h"

namespace tzdag_tool {
namespace {

std::string EventText(const tzplatform::RaisedEvent& raised) {
  char id[16];
  std::snprintf(id, sizeof(id), "0x%08X", static_cast<unsigned>(raised.id));
  std::string text =
      std::string(raised.severity == tzplatform::EventSeverity::kCritical ? "critical event "
                                                                          : "event ") +
      id + ":";
  for (const tzplatform::EventArgument& argument : raised.arguments) {
    text += " \"" + argument.value + "\"";
  }
  return text;
}

}  // namespace

std::string LogLineText(const tzplatform::LogLine& line) {
  if (line.function.empty()) return line.text;
  return line.function + ": " + line.text;
}

void AddCapturedLog(nlohmann::json& answer, const tzplatform::LogCapture& capture) {
  nlohmann::json lines = nlohmann::json::array();
  for (const tzplatform::LogLine& line : capture.Lines()) lines.push_back(LogLineText(line));
  answer["log"] = lines;
  nlohmann::json events = nlohmann::json::array();
  for (const tzplatform::RaisedEvent& raised : capture.Events())
    events.push_back(EventText(raised));
  if (!events.empty()) answer["events"] = events;
}

void ReportFailure(std::ostream& err, const std::string& summary,
                   const tzplatform::LogCapture& capture) {
  err << "tzdag: " << summary << '\n';
  // When the log itself goes to standard error (or -v copies it there) its
  // lines are already there.
  std::string destination = tzplatform::LogFile();
  if (destination != "-" && !destination.empty() && !tzplatform::LogEcho()) {
    for (const tzplatform::LogLine& line : capture.Lines()) {
      err << "  " << DisplayText(LogLineText(line)) << '\n';
    }
  }
  for (const tzplatform::RaisedEvent& raised : capture.Events()) {
    err << "  " << DisplayText(EventText(raised)) << '\n';
  }
  err.flush();
}

}  // namespace tzdag_tool
