// Discovery over the ssh transport against the same over the remote root,
// for a full-size DAG (16 member servers, 1,600 databases with 4 copies
// each). The ssh server is the tests' own (tests/support/test_ssh_server.h):
// OpenSSH's sshd on loopback, standing for the 16 hosts of the DAG's remote
// root and running the simulator there through sh.
//
//   Tzdag/command:discover-dbs/transport:T   `tzdag discover-dbs` for the DAG
//                                            client, one process per call
//   Tzdag/command:doctor/transport:T         `tzdag doctor`: 12 probes at once,
//                                            then the database checks
//   Library/transport:T                      DiscoverExDatabase in this process
//
// T: root, the remote root; ssh, a connection made by each call (each process
// closes its own); ssh_reused, a connection that an earlier call made (for
// tzdag, TZ_SSH_PERSIST keeps it open between processes; in this process it
// stays open by itself).
//
// Wall time per call in ms.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "test_ssh_server.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

enum Transport { kRoot, kSsh, kSshReused };
const char* const kTransportNames[] = {"root", "ssh", "ssh_reused"};

std::string HostName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "mbx%02d.bench", index + 1);
  return name;
}

// The DAG, its ssh server, and how tzdag reaches them.
struct Servers {
  Servers() {
    tzbench::KeepFreedMemory();
    world = std::make_unique<tzbench::World>(tzbench::DagFixture(tzbench::DagShape()));
    server = std::make_unique<tztest::TestSshServer>(world->remoteRoot());
    std::vector<std::string> hosts;
    for (int i = 0; i < tzbench::kMemberServers; ++i) hosts.push_back(HostName(i));
    config = server->ClientConfig(hosts);
    // Short, so that the persistent sockets' names fit in it.
    char folder[] = "/tmp/tzdag-bench-XXXXXX";
    tzbench::Require(mkdtemp(folder) != nullptr, "mkdtemp failed");
    runtime = folder;
  }
  ~Servers() {
    // The connection the reused runs kept open: every host of the DAG is the
    // one server, so their socket is one too (ssh names it by the server).
    tzbench::RunProgram(
        "/usr/bin/ssh",
        {"-F", config, "-o", "ControlPath=" + runtime + "/tzdag-ssh/%C", "-O", "exit", HostName(0)},
        {});
    std::error_code ignored;
    std::filesystem::remove_all(runtime, ignored);
    tzplatform::CloseRemoteConnections();
  }

  std::vector<std::string> Environment(Transport transport) const {
    const char* path = std::getenv("PATH");
    std::vector<std::string> env = {"PATH=" + std::string(path != nullptr ? path : "/usr/bin:/bin"),
                                    "TZ_CONFIG_STORE=" + world->storePath(),
                                    "TZ_REMOTE_ROOT=" + world->remoteRoot(),
                                    "TZ_LOG_FILE=" + world->dir() + "/tzdag.log",
                                    "TMPDIR=" + world->dir(),
                                    "TZ_REMOTE_TIMEOUT=60"};
    if (transport != kRoot) {
      env.push_back("TZ_REMOTE_TRANSPORT=ssh");
      env.push_back("TZ_SSH_COMMAND=" + tztest::TestSshServer::SshCommand(config));
      env.push_back("TZ_REMOTE_SHELL=sh");
    }
    if (transport == kSshReused) {
      env.push_back("TZ_SSH_PERSIST=600");
      env.push_back("XDG_RUNTIME_DIR=" + runtime);
    }
    return env;
  }

  // This process's sessions, as `transport` says.
  void Use(Transport transport) const {
    world->Use();
    tzplatform::SetRemoteTimeout(60);
    if (transport == kRoot) return;
    tzplatform::SetRemoteTransport(tzplatform::Transport::kSsh);
    tzplatform::SetSshCommand({"ssh", "-F", config});
    tzplatform::SetRemoteShell(tzplatform::ShellKind::kSh);
  }

  std::unique_ptr<tzbench::World> world;
  std::unique_ptr<tztest::TestSshServer> server;
  std::string config;
  std::string runtime;  // XDG_RUNTIME_DIR of the persistent connections
};

Servers& TheServers() {
  static Servers servers;
  return servers;
}

std::vector<std::string> Command(int command) {
  const std::string orbal = std::to_string(tzbench::kOrbalId);
  const std::string client = std::to_string(tzbench::kDagClientId);
  if (command == 0) return {"discover-dbs", "--orbal", orbal, "--client", client};
  return {"--json", "doctor", "--orbal", orbal, "--client", client};
}

void BM_Tzdag(benchmark::State& state) {
  const int command = static_cast<int>(state.range(0));
  const auto transport = static_cast<Transport>(state.range(1));
  const Servers& servers = TheServers();
  const std::vector<std::string> env = servers.Environment(transport);
  auto run = [&] { return tzbench::RunProgram(TZ_TZDAG_PATH, Command(command), env); };
  // A reused connection is one an earlier call made.
  if (transport == kSshReused) run();
  const int loginsBefore = servers.server->Logins();
  tzbench::ProgramRun last;
  for (auto _ : state) last = run();
  const std::string wanted = command == 0 ? "Discovered on member server" : "\"probes\"";
  tzbench::Require(last.output.find(wanted) != std::string::npos,
                   "tzdag did not answer: " + last.output);
  state.counters["logins"] =
      static_cast<double>(servers.server->Logins() - loginsBefore) / state.iterations();
  state.SetLabel(std::string(command == 0 ? "discover-dbs" : "doctor") + " over " +
                 kTransportNames[transport]);
}

void BM_Library(benchmark::State& state) {
  const auto transport = static_cast<Transport>(state.range(0));
  const Servers& servers = TheServers();
  servers.Use(transport);
  Uvo::DAGDBResp resp;
  std::string server;
  auto discover = [&] {
    return DiscoverExDatabase(tzbench::kOrbalId, tzbench::kDagClientId, 0, server, resp, 0);
  };
  tzbench::Require(discover(), "the first discovery failed");
  const int loginsBefore = servers.server->Logins();
  for (auto _ : state) {
    if (transport == kSsh) {
      state.PauseTiming();
      tzplatform::CloseRemoteConnections();
      state.ResumeTiming();
    }
    tzbench::Measured measured;
    tzbench::Require(discover(), "a discovery failed");
  }
  state.counters["logins"] =
      static_cast<double>(servers.server->Logins() - loginsBefore) / state.iterations();
  state.SetLabel(std::string("DiscoverExDatabase over ") + kTransportNames[transport]);
  tzplatform::CloseRemoteConnections();
  tzplatform::ResetSettings();
}

}  // namespace

BENCHMARK(BM_Tzdag)
    ->ArgNames({"command", "transport"})
    ->ArgsProduct({{0, 1}, {kRoot, kSsh, kSshReused}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_Library)
    ->ArgNames({"transport"})
    ->Args({kRoot})
    ->Args({kSsh})
    ->Args({kSshReused})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
