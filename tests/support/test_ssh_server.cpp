#include "test_ssh_server.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "process_census.h"
#include "server_process.h"

namespace tztest {
namespace {

// A session: the command line runs in the host's folder, in a session of its
// own, and is killed with all it started once the session's input ends.
const char kServe[] = R"(#!/bin/sh
host="$TZ_TEST_HOST"
folder="@ROOT@/$host"
if [ -z "$host" ] || [ ! -d "$folder" ]; then
  echo "the test server has no host folder for '$host'" >&2
  exit 255
fi
cd "$folder" || exit 255
export PATH="$folder:$PATH" TZ_REMOTE_HOST="$host"
# A command run in the background reads /dev/null unless told otherwise.
exec 3<&0
setsid sh -c "$SSH_ORIGINAL_COMMAND" </dev/null &
tool=$!
setsid sh -c 'cat >/dev/null; kill -KILL -"$1"' watcher "$tool" <&3 >/dev/null 2>&1 &
watcher=$!
exec 3<&-
wait "$tool"
status=$?
kill -KILL -"$watcher" 2>/dev/null
exit "$status"
)";

const char kConfig[] = R"(Port @PORT@
ListenAddress 127.0.0.1
HostKey @DIR@/host_key
PidFile none
AuthorizedKeysFile @DIR@/authorized_keys
PermitRootLogin prohibit-password
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
UseDNS no
AcceptEnv TZ_TEST_HOST
ForceCommand @DIR@/serve
LogLevel VERBOSE
MaxSessions 100
MaxStartups 100
)";

std::string Filled(std::string text, const std::map<std::string, std::string>& words) {
  for (const auto& [word, value] : words) {
    for (size_t at; (at = text.find(word)) != std::string::npos;) {
      text.replace(at, word.size(), value);
    }
  }
  return text;
}

void MakeKey(const std::string& path, const std::string& log) {
  RunToEnd({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "", "-f", path}, log);
}

}  // namespace

TestSshServer::TestSshServer(const std::string& remoteRoot) {
  const std::string log = dir_.File("setup.log");
  MakeKey(dir_.File("host_key"), log);
  MakeKey(dir_.File("id"), log);
  MakeKey(dir_.File("other_id"), log);
  WriteFile(dir_.File("authorized_keys"), ReadFile(dir_.File("id.pub")), 0600);
  WriteFile(dir_.File("no_known_hosts"), "", 0600);
  WriteFile(dir_.File("serve"), Filled(kServe, {{"@ROOT@", remoteRoot}}), 0755);
  // sshd run by root keeps its unprivileged part in this folder; a machine
  // whose sshd never ran has none.
  if (geteuid() == 0) mkdir("/run/sshd", 0755);

  // Another process may take the port between our look and sshd's bind:
  // then sshd exits, and another port is tried.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = Loopback(0);
    closedPort_ = Loopback(0);
    WriteFile(dir_.File("sshd_config"),
              Filled(kConfig, {{"@PORT@", std::to_string(port_)}, {"@DIR@", dir_.path()}}));
    WriteFile(dir_.File("known_hosts"),
              "[127.0.0.1]:" + std::to_string(port_) + " " + ReadFile(dir_.File("host_key.pub")),
              0600);
    // -D: in the foreground, as our child; -e: its log to standard error.
    pid_ = SpawnServer({"/usr/sbin/sshd", "-D", "-e", "-f", dir_.File("sshd_config")},
                       dir_.File("sshd.log"));
    if (AwaitListening(pid_, {port_})) return;
    Stop();
  }
  throw std::runtime_error("sshd did not start; its log:\n" + Log());
}

std::string TestSshServer::ClientConfig(const std::vector<std::string>& hosts,
                                        const std::map<std::string, Fault>& faults) {
  std::string config;
  for (const std::string& host : hosts) {
    const auto fault = faults.find(host);
    const Fault::Kind kind = fault == faults.end() ? Fault::kNone : fault->second.kind;
    config += "Host " + host + "\n  SetEnv TZ_TEST_HOST=" + host + "\n  Port " +
              std::to_string(kind == Fault::kPort ? fault->second.port : port_) +
              "\n  IdentityFile " + dir_.File(kind == Fault::kWrongKey ? "other_id" : "id") +
              "\n  UserKnownHostsFile " +
              dir_.File(kind == Fault::kUnknownHostKey ? "no_known_hosts" : "known_hosts") + "\n";
  }
  config += "Host *\n  HostName 127.0.0.1\n  Port " + std::to_string(closedPort_) +
            "\n  User root\n  IdentitiesOnly yes\n  GlobalKnownHostsFile /dev/null\n"
            "  StrictHostKeyChecking yes\n  UpdateHostKeys no\n  PasswordAuthentication no\n"
            "  KbdInteractiveAuthentication no\n  GSSAPIAuthentication no\n";
  const std::string path = dir_.File("ssh_config." + std::to_string(++configs_));
  WriteFile(path, config, 0600);
  return path;
}

int TestSshServer::Logins() const {
  const std::string log = Log();
  int count = 0;
  for (size_t at = 0; (at = log.find("Accepted publickey for ", at)) != std::string::npos; ++at) {
    ++count;
  }
  return count;
}

void TestSshServer::Stop() {
  if (pid_ <= 0) return;
  // Each connection has a process of its own below the server, in a session
  // of its own: the whole tree goes.
  KillProcessTree(pid_);
  pid_ = -1;
}

}  // namespace tztest
