// The progress of work on many DAG clients, for a person at a terminal.
#ifndef TZDAG_TOOL_PROGRESS_H_
#define TZDAG_TOOL_PROGRESS_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace tzdag_tool {

// While alive, and only when `show` and standard error is a terminal, one
// line on standard error from the first second on, redrawn every second and
// whenever a client ends:
// "Sync: 3 of 20 DAG clients done, 4 running (longest: 7 (DAG07), 12 s);
// 41 s elapsed, about 2 min left". The estimate is the time taken so far per
// client done, for the clients left. Cleared when it ends. Thread-safe.
class ProgressLine {
 public:
  ProgressLine(const std::string& what, size_t total, bool show);
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Started(size_t index, const std::string& label);
  void Finished(size_t index);

 private:
  using Clock = std::chrono::steady_clock;
  void Redraw();  // with lock_ held
  void Tick();

  const std::string what_;
  const size_t total_;
  const Clock::time_point start_ = Clock::now();
  bool shown_ = false;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  size_t done_ = 0;
  struct Running {
    std::string label;
    Clock::time_point since;
  };
  std::map<size_t, Running> running_;
  std::thread ticker_;
};

// "41 s", "2 min 5 s", "1 h 3 min".
std::string Duration(std::chrono::seconds duration);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_PROGRESS_H_
