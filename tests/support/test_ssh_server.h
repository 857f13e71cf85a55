// An OpenSSH server of its own for a test: sshd on a free loopback port, with
// its own configuration, host key and folder (nothing of /etc/ssh), that lets
// the test's user (root here) in with a key made for the test. It is stopped,
// with every session it runs, when the object goes, and killed with the test
// process should that die first.
//
// It stands for every server of a remote root: a session runs the command
// line it is sent with sh (TZ_REMOTE_SHELL=sh), in the host folder of the
// remote root named by the host the client asked for (its ssh_config sends
// it), with that folder first on PATH and TZ_REMOTE_HOST set, as the remote
// root runs a tool. So one fixture serves both transports. The tool is
// killed when the session's input ends: when the client gave up.
#ifndef TZ_TESTS_SUPPORT_TEST_SSH_SERVER_H_
#define TZ_TESTS_SUPPORT_TEST_SSH_SERVER_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace tztest {

class TestSshServer {
 public:
  // What is wrong with a host in a client configuration.
  struct Fault {
    enum Kind { kNone, kUnknownHostKey, kWrongKey, kPort } kind = kNone;
    int port = 0;  // kPort: the port it is sent to instead (a stopped server's)
  };

  // Starts the server for the host folders of `remoteRoot`; throws
  // std::runtime_error saying why when it cannot.
  explicit TestSshServer(const std::string& remoteRoot);
  ~TestSshServer() { Stop(); }
  TestSshServer(const TestSshServer&) = delete;
  TestSshServer& operator=(const TestSshServer&) = delete;

  int port() const { return port_; }

  // Writes an ssh_config (for ssh -F) that sends each of `hosts` to this
  // server, as itself, with the test's key and known hosts, but for its
  // fault; any other host goes to a port nobody listens on. Its path.
  std::string ClientConfig(const std::vector<std::string>& hosts,
                           const std::map<std::string, Fault>& faults = {});
  // TZ_SSH_COMMAND for `config`.
  static std::string SshCommand(const std::string& config) { return "ssh -F " + config; }

  // How many connections it let in so far.
  int Logins() const;
  // What it logged.
  std::string Log() const { return ReadFile(dir_.File("sshd.log")); }

  // Stops the server and everything it runs; port() then reaches nothing.
  void Stop();

 private:
  TempDir dir_;
  int port_ = 0;
  int closedPort_ = 0;
  int configs_ = 0;
  pid_t pid_ = -1;
};

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TEST_SSH_SERVER_H_
