#include "test_directory.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tztest {
namespace {

const char kSlapd[] = "/usr/sbin/slapd";
const char kSlapadd[] = "/usr/sbin/slapadd";
const char kOpenssl[] = "/usr/bin/openssl";

std::string DataDir() {
  return std::string(TZ_TEST_DATA_DIR) + "/directory";
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// Starts `argv` with its output going to `logPath`. The child dies with this
// process, so that a test that crashes leaves no server behind.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& logPath) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null = open("/dev/null", O_RDONLY);
    if (log < 0 || null < 0) _exit(127);
    dup2(null, 0);
    dup2(log, 1);
    dup2(log, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs `argv` to its end; its output is added to `logPath`.
void Run(const std::vector<std::string>& argv, const std::string& logPath) {
  if (Wait(Spawn(argv, logPath)) != 0) {
    throw std::runtime_error(argv[0] + " failed; see " + logPath + ":\n" + ReadFile(logPath));
  }
}

// A loopback port that nothing listens on just now.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("no free loopback port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

}  // namespace

TestDirectory::TestDirectory(const Options& options) : options_(options) {
  for (const char* program : {kSlapd, kSlapadd, kOpenssl}) {
    if (access(program, X_OK) != 0) {
      throw std::runtime_error(std::string(program) +
                               " is missing: scripts/deps installs slapd and openssl");
    }
  }
  const std::string log = dir_.File("setup.log");
  std::string tls;
  if (options_.tls) {
    Run({kOpenssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-keyout", dir_.File("key.pem"), "-out", caFile(), "-days", "2", "-subj",
         "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
        log);
    tls = "TLSCertificateFile " + caFile() + "\nTLSCertificateKeyFile " + dir_.File("key.pem");
  }
  std::string config = ReadFile(DataDir() + "/slapd.conf.in");
  ReplaceAll(config, "@STATE@", dir_.path());
  ReplaceAll(config, "@DATA@", DataDir());
  ReplaceAll(config, "@TLS@", tls);
  ReplaceAll(config, "@PAGE_LIMIT@", options_.pageLimit ? " size.pr=5" : "");
  WriteFile(dir_.File("slapd.conf"), config);
  std::filesystem::create_directories(dir_.File("db"));
  Run({kSlapadd, "-q", "-f", dir_.File("slapd.conf"), "-l", DataDir() + "/directory.ldif"}, log);

  // Another process may take the port between our look and slapd's bind:
  // then slapd exits, and another port is tried.
  std::string why;
  for (int attempt = 0; attempt < 5; ++attempt) {
    if (Start(why)) return;
  }
  throw std::runtime_error("slapd did not start: " + why);
}

bool TestDirectory::Start(std::string& why) {
  port_ = FreePort();
  std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
  if (options_.tls) {
    ldapsPort_ = FreePort();
    listen += " ldaps://127.0.0.1:" + std::to_string(ldapsPort_) + "/";
  }
  const std::string log = dir_.File("slapd.log");
  // -d 0 keeps it in the foreground, as our child.
  pid_ = Spawn({kSlapd, "-f", dir_.File("slapd.conf"), "-h", listen, "-d", "0"}, log);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < until) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      why = "slapd exited; its log:\n" + ReadFile(log);
      return false;
    }
    if (Accepts(port_) && (!options_.tls || Accepts(ldapsPort_))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Stop();
  why = "slapd did not listen within 20 s; its log:\n" + ReadFile(log);
  return false;
}

TestDirectory::~TestDirectory() {
  Stop();
}

std::string TestDirectory::url() const {
  return "ldap://127.0.0.1:" + std::to_string(port_);
}

std::string TestDirectory::ldapsUrl() const {
  return "ldaps://127.0.0.1:" + std::to_string(ldapsPort_);
}

std::string TestDirectory::caFile() const {
  return dir_.File("cert.pem");
}

void TestDirectory::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int status = 0;
  while (waitpid(pid_, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > until) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

}  // namespace tztest
