// Debug log and events of the platform (EvDebug / EvEvent).
//
// Every line is written as
//   2026-12-06 10:58:33.123 pid=1234 tid=1240 DEBUG <text>
// where <text> is the caller's message exactly as formatted; the function
// forms (Debug, DebugLvl, Error) write "<function>: <text>". Lines go to the
// destination of tzplatform::SetLogFile / TZ_LOG_FILE. debugLvl and DebugLvl
// lines are written only when their level is at most the debug level
// (tzplatform::SetDebugLevel / TZ_DEBUG_LEVEL); the other forms always are.
//
// Events: arguments appended with operator<< or addArgument belong to the
// calling thread and are consumed by that thread's next InfoEvent or
// CriticalEvent, so two threads raising events at once never mix arguments.
// A raised event is written to the log as one line and recorded in the
// configuration store's event table (an event the store cannot take is
// only in the log).
//
// All members are thread-safe.
#ifndef TZPLATFORM_EVEVENT_H_
#define TZPLATFORM_EVEVENT_H_

#include <cstdint>
#include <string>

#include "tzplatform/export.h"

class TZPLATFORM_API EvDebug {
 public:
  EvDebug() = default;
  virtual ~EvDebug() = default;
  EvDebug(const EvDebug&) = delete;
  EvDebug& operator=(const EvDebug&) = delete;

  void debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void debugLvl(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void Debug(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void DebugLvl(const char* function, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void Error(const char* function, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // Whether debugLvl / DebugLvl lines of `level` are written now, so that a
  // caller can skip building a costly line that would be dropped.
  bool isLevelEnabled(int level) const;
};

class TZPLATFORM_API EvEvent : public EvDebug {
 public:
  // Argument kinds of addArgument.
  enum ArgumentKind : int { kNarrowString = 11 };

  EvEvent() = default;
  ~EvEvent() override;

  // Appends one narrow-string argument (kind 11) to this thread's next event.
  EvEvent& operator<<(const std::string& text);
  EvEvent& operator<<(const char* text);
  void addArgument(const std::string& value, int kind);

  // Raise the event with the arguments appended so far by this thread, then
  // forget them. The two trailing integers are passed on to the event
  // record unchanged (the library always passes 0, 0).
  void InfoEvent(uint32_t eventId, int param1, int param2);
  void CriticalEvent(uint32_t eventId, int param1, int param2);
};

#endif  // TZPLATFORM_EVEVENT_H_
