#include "progress.h"

#include <unistd.h>

#include <iostream>

#include "output.h"
#include "terminal.h"

namespace tzdag_tool {

std::string Duration(std::chrono::seconds duration) {
  const long long seconds = duration.count();
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
  }
  return std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) + " min";
}

ProgressLine::ProgressLine(const std::string& what, size_t total, bool show)
    : what_(what), total_(total) {
  if (!show || !isatty(STDERR_FILENO)) return;
  ticker_ = std::thread([this] { Tick(); });
}

ProgressLine::~ProgressLine() {
  if (!ticker_.joinable()) return;
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    if (shown_) WriteToTerminal("\r\x1b[K");
    shown_ = false;
  }
  wake_.notify_all();
  ticker_.join();
}

void ProgressLine::Started(size_t index, const std::string& label) {
  std::lock_guard<std::mutex> hold(lock_);
  running_[index] = {label, Clock::now()};
}

void ProgressLine::Finished(size_t index) {
  std::lock_guard<std::mutex> hold(lock_);
  running_.erase(index);
  ++done_;
  if (shown_ && !stopping_) Redraw();
}

void ProgressLine::Tick() {
  std::unique_lock<std::mutex> hold(lock_);
  // A run that ends within a second is not worth a line.
  while (!wake_.wait_for(hold, std::chrono::seconds(1), [this] { return stopping_; })) Redraw();
}

void ProgressLine::Redraw() {
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  const Clock::time_point now = Clock::now();
  std::string line = "\r\x1b[K" + what_ + ": " + std::to_string(done_) + " of " +
                     std::to_string(total_) + " DAG clients done";
  if (!running_.empty()) {
    const Running* longest = nullptr;
    for (const auto& entry : running_) {
      if (longest == nullptr || entry.second.since < longest->since) longest = &entry.second;
    }
    line += ", " + std::to_string(running_.size()) +
            " running (longest: " + DisplayText(longest->label) + ", " +
            Duration(duration_cast<seconds>(now - longest->since)) + ")";
  }
  const seconds elapsed = duration_cast<seconds>(now - start_);
  line += "; " + Duration(elapsed) + " elapsed";
  if (done_ > 0 && done_ < total_) {
    const seconds left = duration_cast<seconds>((now - start_) * (total_ - done_) / done_);
    line += ", about " + Duration(left) + " left";
  }
  WriteToTerminal(line);
  shown_ = true;
}

}  // namespace tzdag_tool
