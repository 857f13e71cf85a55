#include "process_census.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace tztest {

int OpenDescriptorCount() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the listing's own descriptor
}

bool HasChildProcess() {
  siginfo_t info;
  std::memset(&info, 0, sizeof info);
  int rc = waitid(P_ALL, 0, &info, WEXITED | WSTOPPED | WCONTINUED | WNOHANG | WNOWAIT);
  return !(rc < 0 && errno == ECHILD);
}

namespace {

// What /proc says of a process: whether it lives, and its process group.
struct ProcessStat {
  bool alive = false;
  long group = -1;
};

ProcessStat Stat(const std::string& pid) {
  ProcessStat result;
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return result;
  // After the name in parentheses: state, parent, process group.
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return result;
  char state = text[close + 2];
  result.alive = state != 'Z' && state != 'X';
  long parent = 0;
  if (std::sscanf(text.c_str() + close + 3, " %ld %ld", &parent, &result.group) != 2) {
    result.group = -1;
  }
  return result;
}

bool Alive(pid_t pid) {
  return Stat(std::to_string(pid)).alive;
}

template <typename Done>
bool WithinSeconds(int seconds, Done done) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace

bool ProcessEnds(pid_t pid) {
  return WithinSeconds(5, [pid] { return !Alive(pid); });
}

pid_t ReadPid(const std::string& path) {
  std::ifstream in(path);
  long pid = -1;
  if (!(in >> pid)) return -1;
  return static_cast<pid_t>(pid);
}

pid_t WaitForPid(const std::string& path) {
  pid_t pid = -1;
  WithinSeconds(10, [&] { return (pid = ReadPid(path)) > 0; });
  return pid;
}

int ProcessesInGroup(pid_t group) {
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return -1;
  int count = 0;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
    ProcessStat stat = Stat(entry->d_name);
    if (stat.alive && stat.group == group) ++count;
  }
  closedir(dir);
  return count;
}

bool GroupEnds(pid_t group) {
  return WithinSeconds(5, [group] { return ProcessesInGroup(group) == 0; });
}

}  // namespace tztest
