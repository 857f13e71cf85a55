#include "signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>

#include <tzplatform/session.h>

namespace tzdag_tool {
namespace {

std::atomic<int> g_received{0};
std::atomic<bool> g_exitAtOnce{false};
std::atomic<bool> g_stopping{false};
std::mutex g_threadMu;
std::thread g_thread;
std::atomic<bool> g_watching{false};  // g_thread runs
std::mutex g_cleanUpMu;
std::function<void()> g_cleanUp;
std::function<void(int)> g_lastWords;

[[noreturn]] void ExitAtOnce(int signal) {
  {
    std::lock_guard<std::mutex> lock(g_cleanUpMu);
    if (g_cleanUp) g_cleanUp();
    if (g_lastWords) g_lastWords(signal);
  }
  _exit(128 + signal);
}

sigset_t StopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  // Its default would dump core, with whatever secret is in memory, and
  // leave the tool running.
  sigaddset(&set, SIGQUIT);
  return set;
}

}  // namespace

SignalWatch::SignalWatch() {
  sigset_t set = StopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatch::~SignalWatch() {
  std::lock_guard<std::mutex> lock(g_threadMu);
  if (!g_thread.joinable()) return;
  g_stopping = true;
  // Wakes the thread with a signal it waits for; g_stopping tells it apart.
  pthread_kill(g_thread.native_handle(), SIGHUP);
  g_thread.join();
}

void SignalWatch::Start() {
  std::lock_guard<std::mutex> lock(g_threadMu);
  if (g_thread.joinable()) return;
  g_thread = std::thread(Watch);
  g_watching = true;
}

int SignalWatch::Received() {
  // Asked often, from every worker of a sync: no lock once the thread runs.
  if (!g_watching) {
    std::lock_guard<std::mutex> lock(g_threadMu);
    if (!g_thread.joinable()) {
      // Nobody waits for the signals: one that came is still pending.
      const sigset_t set = StopSignals();
      const timespec now{0, 0};
      const int signal = sigtimedwait(&set, nullptr, &now);
      int none = 0;
      if (signal > 0) g_received.compare_exchange_strong(none, signal);
    }
  }
  return g_received.load();
}

void SignalWatch::SetLastWords(std::function<void(int)> lastWords) {
  std::lock_guard<std::mutex> lock(g_cleanUpMu);
  g_lastWords = std::move(lastWords);
}

void SignalWatch::SetExitAtOnce(bool atOnce, std::function<void()> cleanUp) {
  if (atOnce) Start();
  {
    std::lock_guard<std::mutex> lock(g_cleanUpMu);
    g_cleanUp = atOnce ? std::move(cleanUp) : nullptr;
  }
  g_exitAtOnce = atOnce;
  // A signal that came just before must not wait for the read to end.
  if (atOnce && g_received.load() != 0) ExitAtOnce(g_received.load());
}

void SignalWatch::Watch() {
  const sigset_t set = StopSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    if (g_stopping) return;
    int none = 0;
    if (!g_received.compare_exchange_strong(none, signal)) continue;  // already stopping
    // The tool's group is killed and reaped by the session that runs it,
    // which then returns; the command unwinds from there.
    tzplatform::CancelRemoteCommands();
    if (g_exitAtOnce) ExitAtOnce(signal);
  }
}

}  // namespace tzdag_tool
