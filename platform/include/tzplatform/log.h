// Test and tool access to the log: in-memory capture of lines and events.
#ifndef TZPLATFORM_LOG_H_
#define TZPLATFORM_LOG_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tzplatform/export.h"

namespace tzplatform {

enum class LogForm { kDebug, kDebugLvl, kFunctionDebug, kFunctionDebugLvl, kFunctionError };

struct LogLine {
  LogForm form = LogForm::kDebug;
  int level = 0;          // the level passed to debugLvl / DebugLvl, else 0
  std::string function;   // the function of Debug / DebugLvl / Error, else empty
  std::string text;       // the message exactly as formatted
};

enum class EventSeverity { kInfo, kCritical };

struct EventArgument {
  int kind = 0;           // 11 = narrow string
  std::string value;
};

struct RaisedEvent {
  EventSeverity severity = EventSeverity::kInfo;
  uint32_t id = 0;
  int param1 = 0;
  int param2 = 0;
  std::vector<EventArgument> arguments;
};

enum class LogLevel { kInfo, kError };

// Writes a line of the program's own (not the library's) at `level`, as the
// library's lines are written ("<time> pid=N tid=N INFO|ERROR <text>"), to
// the log file alone: never copied to standard error (SetLogEcho), never in
// a LogCapture, and left out while the log is standard error or cannot be
// written. For a program's record of its own runs, which an operator reads
// back from the file.
TZPLATFORM_API void LogToFile(LogLevel level, const std::string& text);

// While alive, records every line that passes the level filter and every
// event raised in this process, from every thread. The line that an event
// writes to the log is not among Lines(); the event is in Events(). Several captures may be
// alive at once; each sees what happened during its own lifetime.
class TZPLATFORM_API LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<LogLine> Lines() const;
  // The text of every captured line, in order (function forms: text only).
  std::vector<std::string> Texts() const;
  std::vector<RaisedEvent> Events() const;
  void Clear();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace tzplatform

#endif  // TZPLATFORM_LOG_H_
