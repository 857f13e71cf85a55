// Whole processes side by side: what a run of tzdag costs against the least
// a program doing the same can cost, in CPU time (user + system of the
// process and of every process it waited for, from wait4).
//
// Each comparison is a reference and one or more measured commands, run in
// turn, round after round (A B A B ...; the order within a round rotates so
// that no command always follows the same one); the table gives the median
// of each and the ratio of the medians to the reference's:
//
//   discover-dbs (table, --json)  the floor program (the tool, sh + cat of a
//                                 recorded answer, read through a pipe and
//                                 parsed with pugixml) against tzdag
//                                 discover-dbs on a full-size DAG, whose
//                                 every host's tool is that sh + cat
//   keeper                        the floor program against the same with the
//                                 tool below the platform's keeper program
//   --version, usage error        an empty program linked with pugixml, SQLite
//                                 and the C++ library against tzdag
//   load                          dlopen + dlclose of pugixml and SQLite
//                                 against dlopen + dlclose of libTzDagApi.so
//                                 (the CPU time of the first load and
//                                 unload in a fresh process; the later
//                                 loads of the same process beside it)
//
// With --base BUILD, the same commands of another build (the tzdag, keeper
// and libTzDagApi.so of BUILD, a build folder of scripts/bench) run in the
// same rounds, so that before and after are measured side by side.
//
// Usage: process_compare [--rounds N] [--base BUILD] [--json FILE] [--hold]
//   --hold  prints the commands and waits for the end of standard input
//           before the rounds: the commands can be profiled meanwhile
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_support.h"

extern char** environ;

namespace {

struct Command {
  std::string name;
  std::vector<std::string> argv;
  int exitStatus = 0;
  // The command prints its own figure (load-loop): that is its CPU time.
  bool printsFigure = false;
  std::vector<double> cpuMs;
  std::vector<double> wallMs;
  std::string extra;            // what a figure-printing command said beyond its figure
  std::vector<double> laterMs;  // load-loop: a load after the first
};

struct Comparison {
  std::string name;
  double goal = 0;                // highest ratio to the reference, 0: none
  std::vector<Command> commands;  // the reference first
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

double Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Runs `command` once, its output to a pipe read here (kept for a command
// that prints its figure) and its standard error to /dev/null, and adds its
// CPU and wall time.
void RunOnce(Command& command) {
  int pipeFds[2];
  tzbench::Require(pipe2(pipeFds, O_CLOEXEC) == 0, "pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (std::string& word : command.argv) argv.push_back(&word[0]);
  argv.push_back(nullptr);

  const double start = Now();
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  tzbench::Require(rc == 0, "cannot start " + command.argv[0] + ": " + std::strerror(rc));
  std::string output;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n > 0) {
      output.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  rusage usage{};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  const double wall = Now() - start;
  tzbench::Require(WIFEXITED(status) && WEXITSTATUS(status) == command.exitStatus,
                   command.name + " ended with status " + std::to_string(status) + ", not exit " +
                       std::to_string(command.exitStatus));
  if (command.printsFigure) {
    double figure = 0, later = 0;
    int objects = 0;
    tzbench::Require(std::sscanf(output.c_str(), "%lf %d %lf", &figure, &objects, &later) == 3,
                     command.name + " printed no figure");
    command.cpuMs.push_back(figure / 1e3);
    command.laterMs.push_back(later / 1e3);
    command.extra = std::to_string(objects) + " objects";
  } else {
    command.cpuMs.push_back((Seconds(usage.ru_utime) + Seconds(usage.ru_stime)) * 1e3);
  }
  command.wallMs.push_back(wall * 1e3);
}

// The programs of one build: the benchmark's own (this build) or --base's.
struct Build {
  std::string label;  // "" for this build
  std::string tzdag;
  std::string keeper;
  std::string library;
  std::string store;  // the store its discover-dbs reads
};

// A store of the full-size DAG that `build` reads: the recorded one for this
// build; one its own tzdag makes from the same fixture for another, whose
// store schema may be older than this build's.
std::string StoreFor(const Build& build, const tzbench::RecordedDag& dag) {
  if (build.label.empty() || build.label == "after") return dag.world->storePath();
  const std::string folder = dag.world->dir() + "/" + build.label;
  const std::string command = "'" + build.tzdag + "' --log /dev/null init '" + folder +
                              "' --fixture '" + dag.fixturePath + "' > /dev/null";
  tzbench::Require(std::system(command.c_str()) == 0,
                   "the " + build.label + " build's tzdag init failed");
  return folder + "/store.db";
}

Command Named(const std::string& name, const Build& build, std::vector<std::string> argv,
              int exitStatus = 0) {
  Command command;
  command.name = build.label.empty() ? name : name + " (" + build.label + ")";
  command.argv = std::move(argv);
  command.exitStatus = exitStatus;
  return command;
}

constexpr int kLoads = 20;

std::vector<Comparison> Comparisons(const tzbench::RecordedDag& dag,
                                    const std::vector<Build>& builds) {
  const std::string floor = TZ_BENCH_FLOOR_PROGRAM;
  const std::string log = dag.world->dir() + "/tzdag.log";
  auto discover = [&](const Build& build, bool json) {
    std::vector<std::string> argv = {build.tzdag, "--store", build.store, "--remote-root",
                                     dag.catRoot, "--log",   log};
    if (json) argv.push_back("--json");
    for (const char* word : {"discover-dbs", "--orbal", "1", "--client", "2"}) {
      argv.push_back(word);
    }
    return argv;
  };
  Build none;

  std::vector<Comparison> all;
  for (bool json : {false, true}) {
    Comparison c{json ? "discover-dbs --json" : "discover-dbs (table)", 1.5, {}};
    c.commands.push_back(Named("floor", none, {floor, dag.catTool}));
    for (const Build& build : builds) {
      c.commands.push_back(Named("tzdag", build, discover(build, json)));
    }
    all.push_back(std::move(c));
  }
  {
    Comparison c{"keeper", 0, {}};
    c.commands.push_back(Named("floor", none, {floor, dag.catTool}));
    for (const Build& build : builds) {
      c.commands.push_back(Named("floor, tool below the keeper", build,
                                 {floor, "--keeper", build.keeper, dag.catTool}));
    }
    all.push_back(std::move(c));
  }
  const std::string empty = TZ_BENCH_EMPTY_PROGRAM;
  {
    Comparison c{"--version", 1.3, {}};
    c.commands.push_back(Named("empty program", none, {empty}));
    for (const Build& build : builds) {
      c.commands.push_back(Named("tzdag --version", build, {build.tzdag, "--version"}));
    }
    all.push_back(std::move(c));
  }
  {
    Comparison c{"usage error", 1.3, {}};
    c.commands.push_back(Named("empty program", none, {empty}));
    for (const Build& build : builds) {
      c.commands.push_back(Named("tzdag discover-dbs --client 2", build,
                                 {build.tzdag, "discover-dbs", "--client", "2"}, 2));
    }
    all.push_back(std::move(c));
  }
  {
    const std::string loop = TZ_BENCH_LOAD_LOOP;
    const std::string loads = std::to_string(kLoads);
    Comparison c{"load", 0, {}};
    Command reference =
        Named("load pugixml + SQLite", none, {loop, loads, "libpugixml.so.1", "libsqlite3.so.0"});
    reference.printsFigure = true;
    c.commands.push_back(std::move(reference));
    for (const Build& build : builds) {
      Command load = Named("load libTzDagApi.so", build, {loop, loads, build.library});
      load.printsFigure = true;
      c.commands.push_back(std::move(load));
    }
    all.push_back(std::move(c));
  }
  return all;
}

std::string Format(double value) {
  char text[32];
  std::snprintf(text, sizeof text, value >= 100 ? "%.0f" : value >= 10 ? "%.1f" : "%.2f", value);
  return text;
}

// The first of `paths` that exists (builds have kept their files in
// different folders), else the last.
std::string FirstThere(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    if (access(path.c_str(), F_OK) == 0) return path;
  }
  return paths.back();
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  std::string base;
  std::string jsonPath;
  bool hold = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 < argc && arg == "--rounds") {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (i + 1 < argc && arg == "--base") {
      base = argv[++i];
    } else if (i + 1 < argc && arg == "--json") {
      jsonPath = argv[++i];
    } else if (arg == "--hold") {
      hold = true;
    } else {
      std::fprintf(stderr,
                   "usage: process_compare [--rounds N] [--base BUILD] [--json FILE] [--hold]\n");
      return 2;
    }
  }

  std::vector<Build> builds;
  if (!base.empty()) {
    builds.push_back(
        {"before", base + "/bin/tzdag", FirstThere({base + "/platform/tzplatform-keeper"}),
         FirstThere({base + "/lib/libTzDagApi.so", base + "/src/libTzDagApi.so"}), ""});
  }
  builds.push_back(
      {base.empty() ? "" : "after", TZ_BENCH_TZDAG, TZ_BENCH_KEEPER, TZ_BENCH_LIBRARY, ""});

  tzbench::RecordedDag dag(4);
  for (Build& build : builds) build.store = StoreFor(build, dag);
  std::vector<Comparison> comparisons = Comparisons(dag, builds);
  if (hold) {
    for (const Comparison& comparison : comparisons) {
      for (const Command& command : comparison.commands) {
        std::string line;
        for (const std::string& word : command.argv) line += " '" + word + "'";
        std::printf("%s:%s\n", command.name.c_str(), line.c_str());
      }
    }
    std::fflush(stdout);
    while (std::fgetc(stdin) != EOF) {
    }
  }
  const std::string loadBefore = LoadAverage();
  for (int round = 0; round < rounds; ++round) {
    for (Comparison& comparison : comparisons) {
      const size_t count = comparison.commands.size();
      for (size_t k = 0; k < count; ++k) RunOnce(comparison.commands[(k + round) % count]);
    }
  }
  const std::string loadAfter = LoadAverage();

  nlohmann::json out = {{"rounds", rounds},
                        {"load_before", loadBefore},
                        {"load_after", loadAfter},
                        {"answer_bytes", dag.answer.size()},
                        {"comparisons", nlohmann::json::array()}};
  std::printf("%d rounds; load average %s before, %s after; answer %zu bytes\n\n", rounds,
              loadBefore.c_str(), loadAfter.c_str(), dag.answer.size());
  std::printf("%-22s %-48s %10s %10s %7s %5s\n", "comparison", "command", "cpu ms", "wall ms",
              "ratio", "goal");
  for (const Comparison& comparison : comparisons) {
    const double reference = Median(comparison.commands.front().cpuMs);
    nlohmann::json entry = {{"name", comparison.name},
                            {"goal", comparison.goal},
                            {"commands", nlohmann::json::array()}};
    for (const Command& command : comparison.commands) {
      const double cpu = Median(command.cpuMs);
      const double ratio = reference > 0 ? cpu / reference : 0;
      std::printf(
          "%-22s %-48s %10s %10s %7s %5s\n", comparison.name.c_str(),
          (command.name + (command.extra.empty() ? ""
                                                 : " [" + command.extra + "; later " +
                                                       Format(Median(command.laterMs)) + "]"))
              .c_str(),
          Format(cpu).c_str(), Format(Median(command.wallMs)).c_str(), Format(ratio).c_str(),
          comparison.goal > 0 && &command != &comparison.commands.front()
              ? Format(comparison.goal).c_str()
              : "");
      entry["commands"].push_back({{"name", command.name},
                                   {"cpu_ms", command.cpuMs},
                                   {"wall_ms", command.wallMs},
                                   {"median_cpu_ms", cpu},
                                   {"ratio", ratio},
                                   {"objects", command.extra},
                                   {"later_load_ms", command.laterMs}});
    }
    out["comparisons"].push_back(entry);
  }
  if (!jsonPath.empty()) std::ofstream(jsonPath) << out.dump(2) << "\n";
  return 0;
}
