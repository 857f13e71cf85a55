#include "server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "temp_dir.h"

namespace tztest {

pid_t SpawnServer(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null = open("/dev/null", O_RDONLY);
    if (getppid() != parent || log < 0 || null < 0) _exit(127);
    dup2(null, 0), dup2(log, 1), dup2(log, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

void RunToEnd(const std::vector<std::string>& argv, const std::string& logPath) {
  int status = 0;
  if (waitpid(SpawnServer(argv, logPath), &status, 0) < 0 || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " failed:\n" + ReadFile(logPath));
  }
}

int Loopback(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  auto* any = reinterpret_cast<sockaddr*>(&address);
  const bool ok = port != 0
                      ? connect(fd, any, sizeof address) == 0
                      : bind(fd, any, sizeof address) == 0 && getsockname(fd, any, &length) == 0;
  close(fd);
  return ok ? ntohs(address.sin_port) : 0;
}

bool AwaitListening(pid_t& pid, const std::vector<int>& ports) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    if (waitpid(pid, nullptr, WNOHANG) != 0) {
      pid = -1;  // it exited
      return false;
    }
    bool all = true;
    for (int port : ports) all = all && Loopback(port) != 0;
    if (all) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace tztest
