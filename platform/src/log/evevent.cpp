// The platform log: one line per message, to a file or standard error, with
// in-memory captures for tests.
#include "tzplatform/EvEvent.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "log/event_sink.h"
#include "log/log_file.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"
#include "util/one_line.h"

namespace tzplatform {

struct LogCapture::Impl {
  mutable std::mutex mu;
  std::vector<LogLine> lines;
  std::vector<RaisedEvent> events;
};

namespace {

// The destination and the live captures. Writing and capturing happen under
// one lock so that lines of different threads never interleave.
class Sink {
 public:
  static Sink& Get() {
    static Sink sink;
    return sink;
  }

  // `fileOnly`: a line of the program's own, for the log file alone (never
  // standard error, never the captures).
  void Write(const std::string& header, const LogLine* line, const RaisedEvent* event,
             const std::string& text, bool fileOnly = false) {
    const std::string path = LogFile();
    const bool echo = LogEcho();
    const long long maxSize = LogMaxSize();
    const int keep = LogKeep();
    // Texts from outside may hold line ends or terminal controls; captures keep
    // the text as it was formatted.
    const std::string whole = header + detail::OneLine(text) + "\n";
    std::lock_guard<std::mutex> lock(mu_);
    const bool inFile = ToFile(path, whole, maxSize, keep);
    if (fileOnly) return;
    // A log that cannot be opened, or is refused, must not lose the lines:
    // they go to standard error instead.
    if (!inFile || echo) {
      std::fwrite(whole.data(), 1, whole.size(), stderr);
      std::fflush(stderr);
    }
    for (LogCapture::Impl* capture : captures_) {
      std::lock_guard<std::mutex> captureLock(capture->mu);
      if (line != nullptr) capture->lines.push_back(*line);
      if (event != nullptr) capture->events.push_back(*event);
    }
  }

  void Attach(LogCapture::Impl* capture) {
    std::lock_guard<std::mutex> lock(mu_);
    captures_.push_back(capture);
  }

  void Detach(LogCapture::Impl* capture) {
    std::lock_guard<std::mutex> lock(mu_);
    captures_.erase(std::remove(captures_.begin(), captures_.end(), capture), captures_.end());
  }

 private:
  // Whether `whole` went to the log file at `path` ("-": standard error, so
  // not).
  bool ToFile(const std::string& path, const std::string& whole, long long maxSize, int keep) {
    if (path == "-" || path.empty()) {
      file_.Close();
      return false;
    }
    if (!file_.IsOpen() || path != file_.path()) {
      if (!file_.Open(path)) return false;
    }
    return file_.Append(whole, maxSize, keep);
  }

  std::mutex mu_;
  detail::SharedLogFile file_;
  std::vector<LogCapture::Impl*> captures_;
};

// getpid and gettid are system calls, and every line names both; they are
// asked once, and again in a forked child, whose first line finds them reset.
std::atomic<long> g_processId{0};
thread_local long t_threadId = 0;

void ForgetIds() {
  g_processId.store(0, std::memory_order_relaxed);
  t_threadId = 0;
}

long ProcessId() {
  static const int watched = pthread_atfork(nullptr, nullptr, ForgetIds);
  static_cast<void>(watched);
  long pid = g_processId.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<long>(getpid());
    g_processId.store(pid, std::memory_order_relaxed);
  }
  return pid;
}

long ThreadId() {
  if (t_threadId == 0) t_threadId = static_cast<long>(syscall(SYS_gettid));
  return t_threadId;
}

std::string Header(const char* level) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  char header[128];
  std::snprintf(header, sizeof(header), "%s.%03ld pid=%ld tid=%ld %s ", stamp,
                static_cast<long>(now.tv_nsec / 1000000), ProcessId(), ThreadId(), level);
  return header;
}

std::string Format(const char* format, va_list args) {
  if (format == nullptr) return std::string();
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int needed = std::vsnprintf(small, sizeof(small), format, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof(small)) return std::string(small, needed);
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  text.resize(static_cast<size_t>(needed));
  return text;
}

void Emit(LogForm form, int level, const char* function, const char* format, va_list args) {
  bool leveled = form == LogForm::kDebugLvl || form == LogForm::kFunctionDebugLvl;
  if (leveled && level > DebugLevel()) return;

  LogLine line;
  line.form = form;
  line.level = leveled ? level : 0;
  if (function != nullptr) line.function = function;
  line.text = Format(format, args);

  char levelName[16];
  if (form == LogForm::kFunctionError) {
    std::snprintf(levelName, sizeof(levelName), "ERROR");
  } else if (leveled) {
    std::snprintf(levelName, sizeof(levelName), "DEBUG%d", level);
  } else {
    std::snprintf(levelName, sizeof(levelName), "DEBUG");
  }
  std::string text = function != nullptr ? line.function + ": " + line.text : line.text;
  Sink::Get().Write(Header(levelName), &line, nullptr, text);
}

// Arguments appended by this thread, per event object, until its next event.
thread_local std::unordered_map<const EvEvent*, std::vector<EventArgument>> pendingArguments;

void Raise(const EvEvent* source, EventSeverity severity, uint32_t id, int param1, int param2) {
  RaisedEvent event;
  event.severity = severity;
  event.id = id;
  event.param1 = param1;
  event.param2 = param2;
  auto pending = pendingArguments.find(source);
  if (pending != pendingArguments.end()) {
    event.arguments = std::move(pending->second);
    pendingArguments.erase(pending);
  }

  char head[96];
  std::snprintf(head, sizeof(head), "event 0x%08" PRIX32 " (%" PRIu32 ") params %d %d args:", id,
                id, param1, param2);
  std::string text = head;
  for (const EventArgument& argument : event.arguments) text += " \"" + argument.value + "\"";
  Sink::Get().Write(Header(severity == EventSeverity::kCritical ? "CRITICAL" : "INFO"), nullptr,
                    &event, text);
  detail::RecordEvent(event);
}

}  // namespace

void LogToFile(LogLevel level, const std::string& text) {
  Sink::Get().Write(Header(level == LogLevel::kError ? "ERROR" : "INFO"), nullptr, nullptr, text,
                    true);
}

LogCapture::LogCapture() : impl_(std::make_unique<Impl>()) {
  Sink::Get().Attach(impl_.get());
}

LogCapture::~LogCapture() {
  Sink::Get().Detach(impl_.get());
}

std::vector<LogLine> LogCapture::Lines() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->lines;
}

std::vector<std::string> LogCapture::Texts() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<std::string> texts;
  texts.reserve(impl_->lines.size());
  for (const LogLine& line : impl_->lines) texts.push_back(line.text);
  return texts;
}

std::vector<RaisedEvent> LogCapture::Events() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->events;
}

void LogCapture::Clear() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->lines.clear();
  impl_->events.clear();
}

}  // namespace tzplatform

using tzplatform::LogForm;

bool EvDebug::isLevelEnabled(int level) const {
  return level <= tzplatform::DebugLevel();
}

void EvDebug::debug(const char* format, ...) {
  va_list args;
  va_start(args, format);
  tzplatform::Emit(LogForm::kDebug, 0, nullptr, format, args);
  va_end(args);
}

void EvDebug::debugLvl(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  tzplatform::Emit(LogForm::kDebugLvl, level, nullptr, format, args);
  va_end(args);
}

void EvDebug::Debug(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  tzplatform::Emit(LogForm::kFunctionDebug, 0, function, format, args);
  va_end(args);
}

void EvDebug::DebugLvl(const char* function, int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  tzplatform::Emit(LogForm::kFunctionDebugLvl, level, function, format, args);
  va_end(args);
}

void EvDebug::Error(const char* function, const char* format, ...) {
  va_list args;
  va_start(args, format);
  tzplatform::Emit(LogForm::kFunctionError, 0, function, format, args);
  va_end(args);
}

// Arguments left pending on other threads are not reachable from here; the
// thread-local table may already be gone when the global object is destroyed
// at unload, so it is not touched.
EvEvent::~EvEvent() = default;

EvEvent& EvEvent::operator<<(const std::string& text) {
  addArgument(text, kNarrowString);
  return *this;
}

EvEvent& EvEvent::operator<<(const char* text) {
  addArgument(text != nullptr ? text : "", kNarrowString);
  return *this;
}

void EvEvent::addArgument(const std::string& value, int kind) {
  tzplatform::pendingArguments[this].push_back(tzplatform::EventArgument{kind, value});
}

void EvEvent::InfoEvent(uint32_t eventId, int param1, int param2) {
  tzplatform::Raise(this, tzplatform::EventSeverity::kInfo, eventId, param1, param2);
}

void EvEvent::CriticalEvent(uint32_t eventId, int param1, int param2) {
  tzplatform::Raise(this, tzplatform::EventSeverity::kCritical, eventId, param1, param2);
}
