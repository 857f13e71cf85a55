// How tzdag stops on SIGINT, SIGTERM, SIGHUP and SIGQUIT: the running discovery tool
// runs in a process group of its own, which neither a terminal's Ctrl-C nor a
// signal sent to tzdag alone reaches, so tzdag ends it, lets the command
// unwind (its temporary files go), and exits with 128 + the signal number.
#ifndef TZDAG_TOOL_SIGNALS_H_
#define TZDAG_TOOL_SIGNALS_H_

#include <atomic>
#include <functional>
#include <thread>

namespace tzdag_tool {

class SignalWatch {
 public:
  // Blocks the four signals in the calling thread, and so in every thread it
  // starts later. Construct it before any other thread.
  SignalWatch();
  // Stops the waiting thread.
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // Starts the thread that waits for the signals (once; a signal that came
  // before waited for it): before a command starts any work. An answer that
  // needs no work (--version, a usage error) is given without it.
  static void Start();

  // The first signal received, 0 while none was.
  static int Received();
  // While set, a signal ends the process at once (exit status 128 + n): for a
  // wait that cannot be interrupted otherwise, such as reading standard
  // input. `cleanUp`, when given, runs first on the thread that saw the
  // signal (to give a terminal back its settings, say).
  static void SetExitAtOnce(bool atOnce, std::function<void()> cleanUp = {});
  // What a signal that ends the process at once says last (after the
  // clean-up), as a stop that unwinds says it.
  static void SetLastWords(std::function<void(int signal)> lastWords);

 private:
  static void Watch();
};

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_SIGNALS_H_
