#include "test_directory.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

namespace tztest {
namespace {

const std::string kData = std::string(TZ_TEST_DATA_DIR) + "/directory";

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
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int null = open("/dev/null", O_RDONLY);
    if (getppid() != parent || log < 0 || null < 0) _exit(127);
    dup2(null, 0), dup2(log, 1), dup2(log, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  return pid;
}

// Runs `argv` to its end; its output is added to `logPath`.
void Run(const std::vector<std::string>& argv, const std::string& logPath) {
  int status = 0;
  if (waitpid(Spawn(argv, logPath), &status, 0) < 0 || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " failed:\n" + ReadFile(logPath));
  }
}

// Connects to a loopback `port` (0: binds to a free one instead); the port,
// or 0 when that fails.
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

}  // namespace

TestDirectory::TestDirectory(const Options& options) : options_(options) {
  const std::string log = dir_.File("setup.log");
  std::string tls;
  if (options_.tls) {
    Run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir_.File("key.pem"), "-out",
         caFile(), "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
         "subjectAltName=IP:127.0.0.1"},
        log);
    tls = "TLSCertificateFile " + caFile() + "\nTLSCertificateKeyFile " + dir_.File("key.pem");
  }
  std::string config = ReadFile(kData + "/slapd.conf.in");
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"@STATE@", dir_.path()},
           {"@DATA@", kData},
           {"@TLS@", tls},
           {"@PAGE_LIMIT@", options_.pageLimit ? " size.pr=5" : ""}}) {
    for (size_t at; (at = config.find(from)) != std::string::npos;)
      config.replace(at, from.size(), to);
  }
  WriteFile(dir_.File("slapd.conf"), config);
  std::filesystem::create_directories(dir_.File("db"));
  Run({"/usr/sbin/slapadd", "-q", "-f", dir_.File("slapd.conf"), "-l", kData + "/directory.ldif"},
      log);

  // Another process may take the port between our look and slapd's bind:
  // then slapd exits, and another port is tried.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = Loopback(0);
    ldapsPort_ = options_.tls ? Loopback(0) : 0;
    std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    if (options_.tls) listen += " ldaps://127.0.0.1:" + std::to_string(ldapsPort_) + "/";
    // -d 0 keeps it in the foreground, as our child.
    pid_ = Spawn({"/usr/sbin/slapd", "-f", dir_.File("slapd.conf"), "-h", listen, "-d", "0"},
                 dir_.File("slapd.log"));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
      if (waitpid(pid_, nullptr, WNOHANG) != 0) {
        pid_ = -1;  // it exited
        break;
      }
      if (Loopback(port_) && (!options_.tls || Loopback(ldapsPort_))) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Stop();
  }
  throw std::runtime_error("slapd did not start; its log:\n" + ReadFile(dir_.File("slapd.log")));
}

void TestDirectory::Stop() {
  if (pid_ <= 0) return;
  // The server's state is thrown away with its folder: no clean shutdown is
  // needed.
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace tztest
