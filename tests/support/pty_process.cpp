#include "pty_process.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tztest {

PtyProcess::PtyProcess(const std::string& program, const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& environment) {
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);

  // Everything the child needs is made before fork.
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    if (environment.count(variable.substr(0, variable.find('='))) == 0) {
      variables.push_back(variable);
    }
  }
  for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(&variable[0]);
  envp.push_back(nullptr);

  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (pid_ == 0) {
    // A new session whose controlling terminal is the pseudo-terminal.
    setsid();
    ioctl(slave_, TIOCSCTTY, 0);
    dup2(slave_, 0);
    dup2(slave_, 1);
    dup2(slave_, 2);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
}

PtyProcess::~PtyProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (master_ >= 0) close(master_);
  if (slave_ >= 0) close(slave_);
}

bool PtyProcess::ReadSome() {
  // The parent's copy of the other side keeps the terminal open after the
  // program ends, so its end is looked for between short waits. A stuck
  // program ends the test through CTest's own timeout.
  for (;;) {
    pollfd fd{master_, POLLIN, 0};
    const int ready = poll(&fd, 1, 100);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) break;
    siginfo_t info{};
    if (pid_ <= 0) return false;
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_) {
      // What it wrote last may still be on its way through the terminal:
      // it is done once a while passes with nothing more.
      if (poll(&fd, 1, 500) <= 0) return false;
      break;
    }
  }
  char buffer[4096];
  ssize_t n = read(master_, buffer, sizeof(buffer));
  if (n <= 0) return false;
  transcript_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool PtyProcess::ReadUntil(const std::string& text) {
  while (transcript_.find(text) == std::string::npos) {
    if (!ReadSome()) return false;
  }
  return true;
}

void PtyProcess::Type(const std::string& text) {
  if (write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("cannot type on the terminal");
  }
}

bool PtyProcess::Echoes() const {
  termios settings{};
  if (tcgetattr(slave_, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  return (settings.c_lflag & ECHO) != 0;
}

int PtyProcess::Wait() {
  while (ReadSome()) {
  }
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace tztest
