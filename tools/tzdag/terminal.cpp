#include "terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include <tzplatform/TZPassword.h>
#include <tzplatform/session.h>

#include "output.h"
#include "signals.h"

namespace tzdag_tool {

void WriteToTerminal(const std::string& text) {
  const char* at = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = write(STDERR_FILENO, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    at += n;
    left -= static_cast<size_t>(n);
  }
}

namespace {

// Echo off on standard input for as long as it lives. The saved settings
// are also what a signal's clean-up restores, since the destructor does not
// run when a signal ends the process.
class NoEcho {
 public:
  NoEcho() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    // The line end is still shown, so that the terminal moves on a line.
    quiet.c_lflag |= ECHONL;
    active_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  }
  ~NoEcho() { Restore(); }
  NoEcho(const NoEcho&) = delete;
  NoEcho& operator=(const NoEcho&) = delete;

  void Restore() {
    if (active_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    active_ = false;
  }

 private:
  termios saved_{};
  bool active_ = false;
};

// Reads the line a byte at a time straight from the descriptor: no stream
// buffer keeps a copy of it, nothing past its end is taken, and a line longer
// than `most` bytes is read no further than one byte past them. `line` has
// its room reserved first, so that it never moves (a move leaves a copy
// behind).
bool ReadLine(size_t most, std::string& line) {
  line.clear();
  line.reserve(most + 2);
  bool any = false;
  char byte = 0;
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    any = true;
    if (byte == '\n') break;
    line.push_back(byte);
    // A CR may still be the first half of the line end.
    if (line.size() > most + 1 || (line.size() == most + 1 && byte != '\r')) break;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

}  // namespace

bool ReadSecretLine(const std::string& prompt, size_t most, std::string& line) {
  // Before the first byte of it is read.
  tzplatform::KeepSecretsOutOfDumps();
  if (!isatty(STDIN_FILENO)) {
    // Nothing to clean up while waiting for the input: a signal ends it.
    SignalWatch::SetExitAtOnce(true);
    const bool read = ReadLine(most, line);
    SignalWatch::SetExitAtOnce(false);
    return read;
  }
  // Echo goes off before the prompt shows, so that nothing typed after it
  // is ever echoed.
  NoEcho noEcho;
  WriteToTerminal(prompt);
  SignalWatch::SetExitAtOnce(true, [&noEcho] {
    noEcho.Restore();
    WriteToTerminal("\n");
  });
  const bool read = ReadLine(most, line);
  SignalWatch::SetExitAtOnce(false);
  // Also drops what was typed past a line too long, which would otherwise go
  // to the shell.
  noEcho.Restore();
  // Ctrl-D leaves the cursor after the prompt.
  if (!read) WriteToTerminal("\n");
  return read;
}

namespace {

// The tools being waited for, by the thread that waits (tzdag doctor waits
// for several at once), and whether a line is on the terminal. The hook runs
// on each waiting thread, so all of it is done under the lock, the drawing
// included, lest two threads' lines run into each other.
struct WaitLine {
  std::mutex lock;
  std::map<std::thread::id, tzplatform::RemoteWait> waits;  // each after its first second
  bool shown = false;

  void Update(const tzplatform::RemoteWait& wait) {
    std::lock_guard<std::mutex> hold(lock);
    const std::thread::id waiter = std::this_thread::get_id();
    if (wait.ended) {
      waits.erase(waiter);
    } else if (wait.waitedSeconds >= 1) {  // one that answers within a second is not worth a line
      waits[waiter] = wait;
    } else {
      return;
    }
    Draw();
  }

  // "\r" and erase-to-end redraw the one line in place: the tool waited for
  // longest, and how many more there are.
  void Draw() {
    if (waits.empty()) {
      if (shown) WriteToTerminal("\r\x1b[K");
      shown = false;
      return;
    }
    const tzplatform::RemoteWait* longest = nullptr;
    for (const auto& entry : waits) {
      if (longest == nullptr || entry.second.waitedSeconds > longest->waitedSeconds) {
        longest = &entry.second;
      }
    }
    std::string line = "\r\x1b[KWaiting for " + DisplayText(longest->executable) + " on " +
                       DisplayText(longest->host) + ": " + std::to_string(longest->waitedSeconds) +
                       " s of " + std::to_string(longest->timeoutSeconds) + " s";
    if (waits.size() > 1) line += " (and " + std::to_string(waits.size() - 1) + " more)";
    WriteToTerminal(line);
    shown = true;
  }
};

}  // namespace

WaitIndicator::WaitIndicator() {
  if (!isatty(STDERR_FILENO)) return;
  installed_ = true;
  auto line = std::make_shared<WaitLine>();
  tzplatform::SetRemoteWaitHook([line](const tzplatform::RemoteWait& wait) { line->Update(wait); });
}

WaitIndicator::~WaitIndicator() {
  if (installed_) tzplatform::SetRemoteWaitHook(nullptr);
}

}  // namespace tzdag_tool
