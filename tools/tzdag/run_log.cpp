#include "run_log.h"

#include <string.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <streambuf>

#include <tzplatform/log.h>
#include <tzplatform/settings.h>

#include "command_line.h"
#include "monitoring.h"
#include "output.h"
#include "signals.h"

namespace tzdag_tool {
namespace {

// Options whose value is a secret, kept out of the log.
const char* const kSecretOptions[] = {"--password"};

bool IsSecretOption(const std::string& word) {
  for (const char* option : kSecretOptions) {
    if (word == option) return true;
  }
  return false;
}

struct RunState {
  std::mutex mu;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::string commandLine;
  std::string reason;  // of the last "tzdag: " line on standard error
  bool started = false;
  bool ended = false;
};

RunState& State() {
  static RunState state;
  return state;
}

void EndLine(int status, const std::string& result, bool failure) {
  RunState& state = State();
  std::lock_guard<std::mutex> lock(state.mu);
  if (!state.started || state.ended) return;
  state.ended = true;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - state.start).count();
  char tail[64];
  std::snprintf(tail, sizeof(tail), "; exit status %d; %.3f s", status, seconds);
  tzplatform::LogToFile(failure ? tzplatform::LogLevel::kError : tzplatform::LogLevel::kInfo,
                        "tzdag: finished: " + result + tail);
}

}  // namespace

// Passes what is written to standard error on, and remembers the last line
// that starts with "tzdag: ": the reason a failed run gives.
class RunLog::ErrorWatch : public std::streambuf {
 public:
  ErrorWatch() : original_(std::cerr.rdbuf(this)) {}
  ~ErrorWatch() override { std::cerr.rdbuf(original_); }

 protected:
  int overflow(int c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    const char ch = static_cast<char>(c);
    Take(&ch, 1);
    return original_->sputc(ch);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    Take(text, static_cast<size_t>(count));
    return original_->sputn(text, count);
  }
  int sync() override { return original_->pubsync(); }

 private:
  void Take(const char* text, size_t count) {
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < count; ++i) {
      if (text[i] != '\n') {
        if (line_.size() < 4096) line_ += text[i];
        continue;
      }
      static const std::string prefix = "tzdag: ";
      if (line_.compare(0, prefix.size(), prefix) == 0) {
        std::lock_guard<std::mutex> stateLock(State().mu);
        State().reason = line_.substr(prefix.size());
      }
      line_.clear();
    }
  }

  std::mutex mu_;
  std::string line_;
  std::streambuf* original_;
};

std::string LoggedArguments(const std::vector<std::string>& args) {
  std::string text;
  bool secretNext = false;
  for (const std::string& arg : args) {
    std::string word = ShellArgument(arg);
    if (secretNext) {
      word = "***";
    } else if (arg == "--") {
      // What follows is no option.
    } else {
      const size_t equals = arg.find('=');
      if (equals != std::string::npos && IsSecretOption(arg.substr(0, equals))) {
        word = arg.substr(0, equals) + "=***";
      }
    }
    secretNext = !secretNext && IsSecretOption(arg);
    text += (text.empty() ? "" : " ") + word;
  }
  return text;
}

RunLog::RunLog(const std::vector<std::string>& args) : watch_(std::make_unique<ErrorWatch>()) {
  RunState& state = State();
  std::lock_guard<std::mutex> lock(state.mu);
  state.start = std::chrono::steady_clock::now();
  state.commandLine = "tzdag" + (args.empty() ? std::string() : " " + LoggedArguments(args));
}

RunLog::~RunLog() = default;

void RunLog::Start() {
  RunState& state = State();
  std::lock_guard<std::mutex> lock(state.mu);
  if (state.started) return;
  state.started = true;
  tzplatform::LogToFile(tzplatform::LogLevel::kInfo, "tzdag: started: " + state.commandLine);
}

int RunLog::End(int status) {
  std::string reason;
  {
    std::lock_guard<std::mutex> lock(State().mu);
    reason = State().reason;
  }
  const std::string because = reason.empty() ? std::string() : ": " + reason;
  if (PluginMode()) {
    // The exit status is the plugin's state, not tzdag's own statuses.
    static const char* const kStates[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    const int state = PluginExit(status);
    const std::string result = std::string("plugin ") + kStates[state];
    EndLine(state, state == kPluginUnknown ? result + because : result, state >= kPluginCritical);
    return status;
  }
  switch (status) {
    case kExitOk:
      EndLine(status, "ok", false);
      break;
    case kExitWarnings:
      EndLine(status, "warnings", false);
      break;
    case kExitUsage:
      EndLine(status, "usage error" + because, true);
      break;
    default:
      EndLine(status, "failed" + because, true);
      break;
  }
  return status;
}

int RunLog::Stopped(int signal) {
  EndLine(128 + signal,
          "stopped by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")", true);
  return 128 + signal;
}

std::string RunLog::CommandLine() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().commandLine;
}

std::unique_ptr<tzplatform::StoreLock> LockStoreFor(const Command& command, bool wait) {
  const StoreWrites writes = command.writesAsParsed ? command.writesAsParsed() : command.writes;
  if (!command.usesStore || writes != StoreWrites::kChanges) return nullptr;
  tzplatform::StoreLockWait how;
  how.wait = wait;
  how.stop = [] { return SignalWatch::Received() != 0; };
  how.waiting = [](const tzplatform::StoreBusy& busy) {
    const std::string text = std::string("waiting: ") + busy.what();
    tzplatform::LogToFile(tzplatform::LogLevel::kInfo, "tzdag: " + text);
    std::cerr << "tzdag: " << DisplayText(text) << std::endl;
    // A wait is no reason for a failure that may follow.
    std::lock_guard<std::mutex> lock(State().mu);
    State().reason.clear();
  };
  try {
    return std::make_unique<tzplatform::StoreLock>(tzplatform::StorePath(), RunLog::CommandLine(),
                                                   how);
  } catch (const tzplatform::StoreBusy& busy) {
    throw std::runtime_error(busy.what() + std::string("; try again later or give --wait"));
  } catch (const tzplatform::StoreError& e) {
    throw UsageError(e.what());
  }
}

}  // namespace tzdag_tool
