#include "session/keeper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace tzplatform {
namespace detail {
namespace {

// Only system calls from here on: see keeper.h.

void Report(int fd, int32_t kind, int32_t value) {
  KeeperReport record;
  record.kind = kind;
  record.value = value;
  while (write(fd, &record, sizeof record) < 0 && errno == EINTR) {
  }
}

void CloseRange(int first, int last, int maxDescriptor) {
  if (first > last) return;
  if (syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) {
    return;
  }
  // Kernels before 5.9 close one by one.
  const int end = last < maxDescriptor ? last : maxDescriptor;
  for (int fd = first; fd <= end; ++fd) close(fd);
}

// Closes every descriptor but the `count` in `keep` (unsorted, -1 ignored).
void CloseAllBut(int* keep, int count, int maxDescriptor) {
  for (int i = 1; i < count; ++i) {
    for (int j = i; j > 0 && keep[j - 1] > keep[j]; --j) {
      const int swap = keep[j];
      keep[j] = keep[j - 1];
      keep[j - 1] = swap;
    }
  }
  int next = 0;
  for (int i = 0; i < count; ++i) {
    if (keep[i] < next) continue;  // -1, or a duplicate
    CloseRange(next, keep[i] - 1, maxDescriptor);
    next = keep[i] + 1;
  }
  CloseRange(next, 0x7FFFFFFF, maxDescriptor);
}

// "/proc/self/task/<pid>/children" for a single-threaded process.
void ChildrenPath(pid_t self, char (&path)[64]) {
  const char head[] = "/proc/self/task/";
  const char tail[] = "/children";
  int at = 0;
  for (const char* c = head; *c != '\0'; ++c) path[at++] = *c;
  char digits[16];
  int count = 0;
  for (long n = self; n > 0 || count == 0; n /= 10)
    digits[count++] = static_cast<char>('0' + n % 10);
  while (count > 0) path[at++] = digits[--count];
  for (const char* c = tail; *c != '\0'; ++c) path[at++] = *c;
  path[at] = '\0';
}

// Sends SIGKILL to every child of this process; false when they cannot be
// listed.
bool KillChildren(const char* childrenPath) {
  const int fd = open(childrenPath, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[512];
  long pid = 0;
  bool inNumber = false;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] >= '0' && buffer[i] <= '9') {
        pid = pid * 10 + (buffer[i] - '0');
        inNumber = true;
      } else if (inNumber) {
        kill(static_cast<pid_t>(pid), SIGKILL);
        pid = 0;
        inNumber = false;
      }
    }
  }
  if (inNumber) kill(static_cast<pid_t>(pid), SIGKILL);
  close(fd);
  return true;
}

struct Keeper {
  const KeeperPlan* plan;
  pid_t program = -1;
  bool programReaped = false;
  int programStatus = 0;
  char childrenPath[64];

  void NoteReaped(pid_t pid, int status) {
    if (pid == program) {
      programReaped = true;
      programStatus = status;
    }
  }

  // Kills the program, with its group, and every process below the keeper,
  // and reaps them all. A process whose parent dies is handed to the keeper
  // (a subreaper) before that parent can be reaped, so listing the children
  // again after each reap reaches every level.
  void KillEverything() {
    // While the program is unreaped its pid reserves the group id, so this
    // reaches only what runs in its group.
    if (!programReaped) kill(-program, SIGKILL);
    for (;;) {
      if (!KillChildren(childrenPath)) {
        // Without a list of children only the group could be reached; what
        // left it is left to init rather than waited for forever.
        int status = 0;
        pid_t pid;
        while ((pid = waitpid(-1, &status, WNOHANG)) > 0) NoteReaped(pid, status);
        if (!programReaped) {
          while ((pid = waitpid(program, &status, 0)) < 0 && errno == EINTR) {
          }
          if (pid == program) NoteReaped(pid, status);
        }
        return;
      }
      int status = 0;
      const pid_t pid = waitpid(-1, &status, 0);
      if (pid < 0) {
        if (errno == EINTR) continue;
        return;  // ECHILD: nothing is left
      }
      NoteReaped(pid, status);
    }
  }

  // Reaps the children that ended, except the program, which is only peeked
  // at; true when the program has ended.
  bool ReapEnded() {
    for (;;) {
      siginfo_t info;
      info.si_pid = 0;
      if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0) {
        return false;
      }
      if (info.si_pid == program) return true;
      int status = 0;
      waitpid(info.si_pid, &status, 0);
    }
  }

  [[noreturn]] void Leave(bool report, bool killAll = true) {
    if (killAll) {
      KillEverything();
    } else {
      int status = 0;
      while (waitpid(program, &status, 0) < 0 && errno == EINTR) {
      }
      NoteReaped(program, status);
    }
    if (report) Report(plan->report, KeeperReport::kEnded, programStatus);
    if (plan->removeWhenDone != nullptr) {
      for (const char* const* path = plan->removeWhenDone; *path != nullptr; ++path) {
        if (unlink(*path) != 0) rmdir(*path);
      }
    }
    _exit(0);
  }
};

[[noreturn]] void RunProgram(const KeeperPlan& plan, pid_t keeper, int execStatus) {
  // The keeper closed this process's 0 to 2, so its own descriptors may sit
  // where the program's standard streams go.
  execStatus = fcntl(execStatus, F_DUPFD_CLOEXEC, 3);
  int fds[3] = {plan.input, plan.output, plan.error};
  for (int i = 0; i < 3; ++i) {
    if (fds[i] < 0) fds[i] = open("/dev/null", (i == 0 ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
  }
  // Above 2 first, so that putting one in place never overwrites another.
  int moved[3];
  for (int i = 0; i < 3; ++i) moved[i] = fcntl(fds[i], F_DUPFD_CLOEXEC, 3);
  int error = 0;
  for (int i = 0; i < 3; ++i) {
    if (moved[i] < 0 || dup2(moved[i], i) < 0) error = errno;
  }
  int keep[4] = {0, 1, 2, execStatus};
  CloseAllBut(keep, 4, plan.maxDescriptor);

  // A group of its own, so that a kill reaches what it started too; signals
  // as a freshly started program expects them, whatever its caller blocks or
  // ignores; and an end with the keeper, should that die first.
  setpgid(0, 0);
  struct sigaction defaults = {};
  defaults.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &defaults, nullptr);
  }
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (getppid() != keeper) _exit(127);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  if (error == 0) {
    execve(plan.path, plan.argv, plan.envp);
    error = errno;
  }
  while (write(execStatus, &error, sizeof error) < 0 && errno == EINTR) {
  }
  _exit(127);
}

}  // namespace

void RunKeeper(const KeeperPlan& plan) {
  Keeper keeper;
  keeper.plan = &plan;
  const pid_t self = getpid();
  ChildrenPath(self, keeper.childrenPath);

  int keep[4] = {plan.input, plan.output, plan.error, plan.report};
  CloseAllBut(keep, 4, plan.maxDescriptor);
  // Out of the caller's group: a terminal's Ctrl-C is the caller's to handle.
  setpgid(0, 0);
  prctl(PR_SET_CHILD_SUBREAPER, 1);

  sigset_t watched;
  sigemptyset(&watched);
  sigaddset(&watched, SIGCHLD);
  sigaddset(&watched, SIGTERM);
  const int signals = signalfd(-1, &watched, SFD_CLOEXEC);
  int execStatus[2];
  if (signals < 0 || pipe2(execStatus, O_CLOEXEC) != 0) {
    Report(plan.report, KeeperReport::kExecFailed, errno);
    _exit(0);
  }

  keeper.program = _Fork();
  if (keeper.program == 0) {
    close(execStatus[0]);
    RunProgram(plan, self, execStatus[1]);
  }
  if (keeper.program < 0) {
    Report(plan.report, KeeperReport::kExecFailed, errno);
    _exit(0);
  }
  // Only the program holds its standard streams from here on.
  close(execStatus[1]);
  const int streams[3] = {plan.input, plan.output, plan.error};
  for (int fd : streams) {
    if (fd >= 0) close(fd);
  }
  int error = 0;
  ssize_t n;
  while ((n = read(execStatus[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(execStatus[0]);
  if (n > 0) {
    Report(plan.report, KeeperReport::kExecFailed, error);
    keeper.Leave(false);
  }
  Report(plan.report, KeeperReport::kStarted, keeper.program);

  for (;;) {
    // The report pipe reports an error once its reader is gone: the caller
    // ended, and so must everything it started.
    pollfd fds[2] = {{signals, POLLIN, 0}, {plan.report, 0, 0}};
    if (poll(fds, 2, -1) < 0) continue;
    if ((fds[1].revents & (POLLERR | POLLHUP)) != 0) keeper.Leave(false);
    if ((fds[0].revents & POLLIN) == 0) continue;
    signalfd_siginfo info;
    if (read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
    if (info.ssi_signo == SIGTERM) keeper.Leave(true);
    if (keeper.ReapEnded()) keeper.Leave(true, !plan.leaveRunning);
  }
}

}  // namespace detail
}  // namespace tzplatform
