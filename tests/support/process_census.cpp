#include "process_census.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace tztest {
namespace {

// Whether process `pid` lives (not a zombie), and its process group or -1.
bool Alive(const std::string& pid, long* group = nullptr) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return false;
  // After the name in parentheses: state, parent, process group.
  const size_t close = text.rfind(')');
  long parent = 0, ownGroup = -1;
  if (close == std::string::npos || close + 2 >= text.size() ||
      std::sscanf(text.c_str() + close + 3, " %ld %ld", &parent, &ownGroup) != 2) {
    return false;
  }
  if (group != nullptr) *group = ownGroup;
  return text[close + 2] != 'Z' && text[close + 2] != 'X';
}

template <typename Done>
bool WithinSeconds(int seconds, Done done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

int OpenDescriptorCount() {
  std::error_code error;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    std::error_code unreadable;
    const std::string target = std::filesystem::read_symlink(entry.path(), unreadable).string();
    if (target.rfind("/memfd:tzdag-keeper", 0) != 0) ++count;
  }
  // The listing's own descriptor is left out.
  return error ? -1 : count - 1;
}

bool HasChildProcess() {
  siginfo_t info{};
  return !(waitid(P_ALL, 0, &info, WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT) < 0 &&
           errno == ECHILD);
}

bool ProcessEnds(pid_t pid) {
  return WithinSeconds(5, [pid] { return !Alive(std::to_string(pid)); });
}

pid_t ReadPid(const std::string& path) {
  std::ifstream in(path);
  long pid = -1;
  return in >> pid ? static_cast<pid_t>(pid) : -1;
}

pid_t WaitForPid(const std::string& path) {
  pid_t pid = -1;
  WithinSeconds(10, [&] { return (pid = ReadPid(path)) > 0; });
  return pid;
}

int ProcessesInGroup(pid_t group) {
  std::error_code error;
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string pid = entry.path().filename();
    long own = -1;
    if (pid[0] >= '1' && pid[0] <= '9' && Alive(pid, &own) && own == group) ++count;
  }
  return error ? -1 : count;
}

bool GroupEnds(pid_t group) {
  return WithinSeconds(5, [group] { return ProcessesInGroup(group) == 0; });
}

void KillProcessTree(pid_t root) {
  // Stopped first, so that nothing below forks or goes away meanwhile; the
  // tree is looked at again until no stopped process has a child left.
  kill(root, SIGSTOP);
  std::set<long> tree = {root};
  for (bool grew = true; grew;) {
    grew = false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
      const std::string pid = entry.path().filename();
      std::ifstream stat("/proc/" + pid + "/stat");
      std::string text;
      if (pid[0] < '1' || pid[0] > '9' || !std::getline(stat, text)) continue;
      const size_t close = text.rfind(')');
      long parent = 0;
      if (close == std::string::npos ||
          std::sscanf(text.c_str() + close + 2, "%*c %ld", &parent) != 1 ||
          tree.count(parent) == 0 || !tree.insert(std::stol(pid)).second) {
        continue;
      }
      kill(static_cast<pid_t>(std::stol(pid)), SIGSTOP);
      grew = true;
    }
  }
  for (long pid : tree) kill(static_cast<pid_t>(pid), SIGKILL);
  waitpid(root, nullptr, 0);
}

void AdoptOrphans() {
  prctl(PR_SET_CHILD_SUBREAPER, 1);
}

int KillLeftBehind() {
  int count = 0;
  for (;;) {
    // An orphan is handed to one of this process's threads.
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
      std::ifstream children(task.path() / "children");
      for (long pid; children >> pid;) kill(static_cast<pid_t>(pid), SIGKILL);
    }
    const pid_t reaped = waitpid(-1, nullptr, __WALL);
    if (reaped < 0 && errno == EINTR) continue;
    if (reaped < 0) return count;
    ++count;
  }
}

}  // namespace tztest
