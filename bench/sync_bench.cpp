// `tzdag sync --all` over a large installation: 200 DAG clients of 16 member
// servers (12 selected, all with the agent) and 100 databases with 4 copies
// each, each client with a default subclient (from the active copy) and a
// custom one (from the first healthy passive copy, 50 databases in its
// content): two discoveries and two updates a client.
//
// The discovery tool is the simulator. On this machine it runs beside tzdag
// and spends the CPU a remote server would spend (it reads the whole
// topology of 200 DAGs on every run), so two ways of running it are
// measured:
//
//   remote: the simulator answers each command line once; after that its
//           answer is replayed byte for byte after kLatencyMs, which stands
//           for the remote server's work, spent away from this machine. This
//           is where several clients at once pay off, and where the goal
//           applies.
//   local:  the simulator itself every time (20 clients only: it costs about
//           a second of this machine's CPU per client).
//
//   Sync/clients:C/jobs:J/steady:S/remote:R  one `tzdag sync`; steady 0: the
//       first sync of the fresh store (every subclient filled, 150 databases
//       a client), 1: a sync of a store already brought up to date
//   OneClient/steady:S/remote:R  one client alone (--client), five clients
//       in turn, the mean: the unit of the goal (clients / jobs) x one client
//
// Each iteration is one run of the tzdag binary, on a copy of the store made
// outside the timing; wall time in seconds. Counters: tzdag_rss_mib, tzdag's
// own peak resident memory (VmHWM, read every 10 ms while it runs);
// max_rss_mib, the largest of tzdag and the tools it waited for (wait4);
// store_growth_kib, what the store file and its write-ahead log grew by;
// clients; latency_ms.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "tzplatform/store.h"

namespace {

using json = nlohmann::json;

constexpr int kClients = 200;
constexpr int kServers = 16;
constexpr int kDatabases = 100;
constexpr int kCopies = 4;
constexpr int kCustomContent = 50;
constexpr int kLocalClients = 20;
constexpr int kLatencyMs = 100;
const char kHost[] = "sim.bench";

std::string Format(const char* format, int a, int b = 0) {
  char text[48];
  std::snprintf(text, sizeof(text), format, a, b);
  return text;
}

uint32_t ClientId(int c) {
  return 1000 + static_cast<uint32_t>(c);
}

// The installation above; every member server is a client of the store
// reached at one host folder, whose simulator answers for the DAG of the
// server it is asked about.
json Installation() {
  json clients = json::array();
  json subclients = json::array();
  json dags = json::array();
  for (int c = 0; c < kClients; ++c) {
    json entries = json::array();
    json members = json::array();
    for (int s = 0; s < kServers; ++s) {
      const std::string server = Format("S%03dM%02d", c, s);
      entries.push_back({{"name", server}, {"selected", s % 4 != 3}, {"agentInstalled", true}});
      members.push_back({{"name", server}, {"agent", true}});
      clients.push_back({{"id", 100000 + c * kServers + s},
                         {"name", server},
                         {"host", kHost},
                         {"release", 16},
                         {"dagAssociated", true},
                         {"packages", {151}}});
    }
    clients.push_back({{"id", ClientId(c)},
                       {"name", Format("DAG%03d", c)},
                       {"host", Format("dag%03d.bench", c)},
                       {"memberServers", entries}});
    json databases = json::array();
    json content = json::array();
    for (int d = 0; d < kDatabases; ++d) {
      json copies = json::array();
      for (int k = 0; k < kCopies; ++k) {
        copies.push_back(
            {{"server", Format("S%03dM%02d", c, (d + k) % kServers)}, {"active", k == 0}});
      }
      databases.push_back({{"name", Format("C%03d\\DB%03d", c, d)},
                           {"circularLogging", d % 7 == 0},
                           {"copies", copies}});
      if (d < kCustomContent) {
        content.push_back(
            {{"description", Format("C%03d", c)}, {"storeName", Format("DB%03d", d)}});
      }
    }
    dags.push_back(
        {{"name", Format("DAG%03d", c)}, {"members", members}, {"databases", databases}});
    for (int kind = 0; kind < 2; ++kind) {
      subclients.push_back({{"orbalId", 1},
                            {"appId", 10 * ClientId(c) + static_cast<uint32_t>(kind)},
                            {"clientId", ClientId(c)},
                            {"appType", 53},
                            {"backupSet", c},
                            {"name", kind == 0 ? "default" : "custom"},
                            {"default", kind == 0},
                            {"automatic", true},
                            {"backupFromPassive", kind == 1},
                            {"content", kind == 0 ? json::array() : content}});
    }
  }
  return {{"store", {{"clients", clients}, {"subclients", subclients}}},
          {"remote", {{"hosts", {kHost}}, {"dags", dags}}}};
}

std::string TzdagPath() {
#ifdef TZ_TZDAG_PATH
  return TZ_TZDAG_PATH;
#else
  return std::string();
#endif
}

// The installation, once: its store, a copy of it brought up to date, and two
// remote roots, one whose host runs the simulator, one whose host replays
// the simulator's answers after the latency.
struct Installed {
  Installed() : world(Installation()), synced(world.dir() + "/synced.db") {
    tzplatform::CopyStore(world.storePath(), synced);
    replayRoot = world.dir() + "/replay";
    const std::string host = replayRoot + "/" + kHost;
    std::filesystem::create_directories(host + "/answers");
    std::filesystem::copy_file(world.remoteRoot() + "/dag.json", replayRoot + "/dag.json");
    std::filesystem::copy_file(tzbench::SimulatorPath(), host + "/pshim-sim");
    std::ofstream tool(host + "/PshimProxy.exe");
    tool << "#!/bin/sh\n"
            "here=\"$(dirname \"$0\")\"\n"
            "answer=\"$here/answers/$(echo \"$*\" | tr ' ' _)\"\n"
            "if [ ! -f \"$answer\" ]; then\n"
            "  \"$here/pshim-sim\" \"$@\" > \"$answer.$$\" || exit\n"
            "  mv \"$answer.$$\" \"$answer\"\n"
            "else\n"
            "  sleep "
         << kLatencyMs / 1000.0
         << "\n"
            "fi\n"
            "exec cat \"$answer\"\n";
    tool.close();
    std::filesystem::permissions(host + "/PshimProxy.exe", std::filesystem::perms::owner_all);
    // The fixture's text is gone; its memory goes back to the system, lest
    // every tzdag forked from here count it as its own (a child's peak
    // includes what it shared with its parent before exec).
    malloc_trim(0);
  }
  tzbench::World world;
  std::string synced;
  std::string replayRoot;
  bool syncedIsUpToDate = false;
};

Installed& TheInstallation() {
  static std::unique_ptr<Installed> installed;
  if (!installed) installed = std::make_unique<Installed>();
  return *installed;
}

int64_t FileSize(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

int64_t StoreSize(const std::string& path) {
  return FileSize(path) + FileSize(path + "-wal");
}

// VmHWM of a running process once it runs `program`, in KiB; 0 before (a
// forked child counts its parent's pages until it execs) or when it cannot be
// read.
int64_t PeakResidentKib(pid_t pid, const std::string& program) {
  std::error_code error;
  const std::string proc = "/proc/" + std::to_string(pid);
  if (std::filesystem::read_symlink(proc + "/exe", error) !=
      std::filesystem::canonical(program, error)) {
    return 0;
  }
  std::ifstream status(proc + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atoll(line.c_str() + 6);
  }
  return 0;
}

struct TzdagRun {
  double seconds = 0;
  int exitStatus = -1;
  int64_t ownPeakKib = 0;  // tzdag alone
  int64_t maxPeakKib = 0;  // tzdag or the largest of the tools it waited for
};

// Runs tzdag with `args` on `store` and the remote root that replays answers
// (`remote`) or runs the simulator, its output thrown away, watching its
// memory while it runs.
TzdagRun RunTzdag(const std::string& store, bool remote, const std::vector<std::string>& args) {
  Installed& installed = TheInstallation();
  std::vector<std::string> all = {TzdagPath(),
                                  "--store",
                                  store,
                                  "--remote-root",
                                  remote ? installed.replayRoot : installed.world.remoteRoot(),
                                  "--log",
                                  installed.world.dir() + "/tzdag.log"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);

  TzdagRun run;
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  tzbench::Require(pid >= 0, "fork failed");
  if (pid == 0) {
    freopen("/dev/null", "w", stdout);
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::atomic<bool> ended{false};
  std::atomic<int64_t> ownPeak{0};
  std::thread watcher([&] {
    while (!ended) {
      const int64_t now = PeakResidentKib(pid, all[0]);
      if (now > ownPeak) ownPeak = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0) {
  }
  ended = true;
  watcher.join();
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.ownPeakKib = ownPeak;
  run.maxPeakKib = usage.ru_maxrss;
  return run;
}

// The synced copy of the store, made once by a first sync with many jobs,
// which also records every answer the replaying host gives.
const std::string& SyncedStore() {
  Installed& installed = TheInstallation();
  if (!installed.syncedIsUpToDate) {
    const TzdagRun run =
        RunTzdag(installed.synced, true,
                 {"sync", "--orbal", "1", "--all", "--jobs", "16", "--allow-removal"});
    tzbench::Require(run.exitStatus == 0 || run.exitStatus == 3, "the first sync failed");
    installed.syncedIsUpToDate = true;
  }
  return installed.synced;
}

std::string WorkCopy(bool steady) {
  Installed& installed = TheInstallation();
  const std::string work = installed.world.dir() + "/work.db";
  for (const char* side : {"", "-wal", "-shm"}) std::remove((work + side).c_str());
  tzplatform::CopyStore(steady ? SyncedStore() : installed.world.storePath(), work);
  return work;
}

void Report(benchmark::State& state, const TzdagRun& run, int64_t growth, int clients,
            bool remote) {
  state.SetIterationTime(run.seconds);
  state.counters["latency_ms"] = remote ? kLatencyMs : 0;
  state.counters["tzdag_rss_mib"] = static_cast<double>(run.ownPeakKib) / 1024.0;
  state.counters["max_rss_mib"] = static_cast<double>(run.maxPeakKib) / 1024.0;
  state.counters["store_growth_kib"] = static_cast<double>(growth) / 1024.0;
  state.counters["clients"] = clients;
}

void BM_Sync(benchmark::State& state) {
  tzbench::Require(!TzdagPath().empty() && !tzbench::SimulatorPath().empty(),
                   "the build made no tzdag or no simulator");
  const int clients = static_cast<int>(state.range(0));
  const std::string jobs = std::to_string(state.range(1));
  const bool steady = state.range(2) != 0;
  const bool remote = state.range(3) != 0;
  std::vector<std::string> args = {"sync", "--orbal", "1", "--jobs", jobs, "--allow-removal"};
  if (clients == kClients) {
    args.push_back("--all");
  } else {
    args.push_back("--client");
    for (int c = 0; c < clients; ++c) args.push_back(std::to_string(ClientId(c)));
  }
  if (remote) SyncedStore();  // every answer recorded, so that each is replayed
  for (auto _ : state) {
    const std::string work = WorkCopy(steady);
    const int64_t before = StoreSize(work);
    const TzdagRun run = RunTzdag(work, remote, args);
    tzbench::Require(run.exitStatus == 0 || run.exitStatus == 3, "tzdag sync failed");
    Report(state, run, StoreSize(work) - before, clients, remote);
  }
}

// One client at a time, five in turn: the mean of their runs.
void BM_OneClient(benchmark::State& state) {
  const bool steady = state.range(0) != 0;
  const bool remote = state.range(1) != 0;
  if (remote) SyncedStore();
  for (auto _ : state) {
    const std::string work = WorkCopy(steady);
    const int64_t before = StoreSize(work);
    TzdagRun total;
    constexpr int kRuns = 5;
    for (int i = 0; i < kRuns; ++i) {
      const int c = i * kLocalClients / kRuns;
      const TzdagRun run = RunTzdag(
          work, remote,
          {"sync", "--orbal", "1", "--client", std::to_string(ClientId(c)), "--allow-removal"});
      tzbench::Require(run.exitStatus == 0 || run.exitStatus == 3,
                       "tzdag sync of one client failed");
      total.seconds += run.seconds / kRuns;
      total.ownPeakKib = std::max(total.ownPeakKib, run.ownPeakKib);
      total.maxPeakKib = std::max(total.maxPeakKib, run.maxPeakKib);
    }
    Report(state, total, (StoreSize(work) - before) / kRuns, 1, remote);
  }
}

}  // namespace

BENCHMARK(BM_Sync)
    ->ArgNames({"clients", "jobs", "steady", "remote"})
    ->Args({kClients, 1, 0, 1})
    ->Args({kClients, 4, 0, 1})
    ->Args({kClients, 16, 0, 1})
    ->Args({kClients, 1, 1, 1})
    ->Args({kClients, 4, 1, 1})
    ->Args({kClients, 16, 1, 1})
    ->Args({50, 4, 1, 1})
    ->Args({100, 4, 1, 1})
    ->Args({kLocalClients, 1, 1, 0})
    ->Args({kLocalClients, 4, 1, 0})
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->Repetitions(1);
BENCHMARK(BM_OneClient)
    ->ArgNames({"steady", "remote"})
    ->Args({0, 1})
    ->Args({1, 1})
    ->Args({1, 0})
    ->UseManualTime()
    ->Unit(benchmark::kSecond)
    ->Iterations(1)
    ->Repetitions(1);
