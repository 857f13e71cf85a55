// What tzdag does only for a person at a terminal: a password prompt that
// does not echo, and a line that shows a remote tool being waited for.
#ifndef TZDAG_TOOL_TERMINAL_H_
#define TZDAG_TOOL_TERMINAL_H_

#include <cstddef>
#include <string>

namespace tzdag_tool {

// Writes `text` to standard error at once, past the output a command holds
// until it ends: what only a person watching the terminal needs.
void WriteToTerminal(const std::string& text);

// Reads one line of standard input, its line end ("\n" or "\r\n") dropped,
// holding it nowhere but in `line`; the process is not dumpable from then on.
// A line longer than `most` bytes is read no further than one byte past them
// and comes back that long, for the caller to refuse. On a terminal it first
// writes `prompt` to standard error and turns echo off while the line is
// typed, giving the terminal back its settings (and dropping what else was
// typed) on every way out, a signal included. False at the end of the input.
bool ReadSecretLine(const std::string& prompt, size_t most, std::string& line);

// While alive, and only when standard error is a terminal, shows on standard
// error one line while remote tools have been running for a second or more
// ("Waiting for PshimProxy.exe on mbx02.corp.example: 3 s of 300 s"; the
// one waited for longest, with " (and 2 more)" when others run beside it),
// redrawn every second and cleared when the last of them ends.
class WaitIndicator {
 public:
  WaitIndicator();
  ~WaitIndicator();
  WaitIndicator(const WaitIndicator&) = delete;
  WaitIndicator& operator=(const WaitIndicator&) = delete;

 private:
  bool installed_ = false;
};

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_TERMINAL_H_
