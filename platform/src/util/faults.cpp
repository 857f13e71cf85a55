// Fault hooks of the platform stand-ins.
#include "tzplatform/faults.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace tzplatform {
namespace {

enum class Action { kFail, kThrow, kCrash };

struct Fault {
  int owner;
  std::string call;
  std::string key;
  Action action;
  int status;
  int remaining;  // < 0: unlimited
  int skip;       // matching calls still to let pass
  int fired;
};

struct Registry {
  std::mutex mu;
  std::vector<Fault> faults;
  std::atomic<bool> any{false};  // lets the common case skip the lock
};

Registry& Faults() {
  static Registry registry;
  return registry;
}

std::atomic<int> nextOwner{1};

void Arm(int owner, const std::string& call, const std::string& key, Action action, int status,
         int times, int skip) {
  Registry& r = Faults();
  std::lock_guard<std::mutex> lock(r.mu);
  r.faults.push_back(Fault{owner, call, key, action, status, times, skip < 0 ? 0 : skip, 0});
  r.any = true;
}

}  // namespace

FaultInjector::FaultInjector() : id_(nextOwner++) {}

FaultInjector::~FaultInjector() {
  Registry& r = Faults();
  std::lock_guard<std::mutex> lock(r.mu);
  r.faults.erase(std::remove_if(r.faults.begin(), r.faults.end(),
                                [this](const Fault& f) { return f.owner == id_; }),
                 r.faults.end());
  r.any = !r.faults.empty();
}

void FaultInjector::Fail(const std::string& call, const std::string& key, int status, int times,
                         int skip) {
  Arm(id_, call, key, Action::kFail, status == 0 ? 1 : status, times, skip);
}

void FaultInjector::Throw(const std::string& call, const std::string& key, int times, int skip) {
  Arm(id_, call, key, Action::kThrow, 0, times, skip);
}

void FaultInjector::Crash(const std::string& call, const std::string& key, int skip) {
  Arm(id_, call, key, Action::kCrash, 0, 1, skip);
}

int FaultInjector::Fired(const std::string& call, const std::string& key) const {
  Registry& r = Faults();
  std::lock_guard<std::mutex> lock(r.mu);
  int fired = 0;
  for (const Fault& f : r.faults) {
    if (f.owner == id_ && f.call == call && f.key == key) fired += f.fired;
  }
  return fired;
}

int CheckFault(const char* call, const std::string& key) {
  Registry& r = Faults();
  if (!r.any) return 0;
  Action action = Action::kFail;
  int status = 0;
  {
    std::lock_guard<std::mutex> lock(r.mu);
    for (Fault& f : r.faults) {
      if (f.remaining == 0 || f.call != call || (f.key != "*" && f.key != key)) continue;
      if (f.skip > 0) {
        --f.skip;
        continue;
      }
      if (f.remaining > 0) --f.remaining;
      ++f.fired;
      action = f.action;
      status = f.status;
      break;
    }
  }
  if (action == Action::kCrash) {
    // No clean-up of any kind: the point is to stop as a power cut would.
    kill(getpid(), SIGKILL);
    _exit(137);
  }
  if (action == Action::kThrow) {
    throw InjectedFault(std::string("injected fault in ") + call + " for " + key);
  }
  return status;
}

}  // namespace tzplatform
