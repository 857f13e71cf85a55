// DiagnoseDagClient against a full-size DAG: 16 member servers (12 of them
// selected, all with the agent), 1,600 databases with 4 copies each, through
// the simulator, with a remote timeout of kTimeoutSeconds.
//
//   Doctor/hanging:0/probes:8   every host answers: the check's own cost, 12
//                               probes and one more run with the subclients'
//                               copy preferences
//   Doctor/hanging:4/probes:8   four selected hosts never answer and are killed
//                               at the timeout: with 8 probes at once the four
//                               wait side by side, so the check takes about
//                               one timeout
//   Doctor/hanging:4/probes:2   the same two at a time: two timeouts
//
// One call per iteration; wall time in seconds.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/settings.h"

namespace {

constexpr int kTimeoutSeconds = 5;

std::string HostOf(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "mbx%02d.bench", index + 1);
  return name;
}

// The benchmark DAG with `hanging` selected member servers (MBX01, MBX05,
// MBX09, MBX13, ...) whose tool never answers.
tzbench::World& DagWithHangingHosts(int hanging) {
  static std::unique_ptr<tzbench::World> worlds[2];
  std::unique_ptr<tzbench::World>& world = worlds[hanging == 0 ? 0 : 1];
  if (!world) {
    nlohmann::json fixture = tzbench::DagFixture(tzbench::DagShape());
    for (int i = 0; i < hanging; ++i) {
      fixture["remote"]["failures"][HostOf(4 * i)] = "hang";
    }
    world = std::make_unique<tzbench::World>(fixture);
  }
  world->Use();
  tzplatform::SetRemoteTimeout(kTimeoutSeconds);
  return *world;
}

void BM_Doctor(benchmark::State& state) {
  const int hanging = static_cast<int>(state.range(0));
  const unsigned probes = static_cast<unsigned>(state.range(1));
  DagWithHangingHosts(hanging);
  tzbench::Require(!tzbench::SimulatorPath().empty(), "the build made no simulator");
  _tagDoctorReport report;
  for (auto _ : state) {
    tzbench::Measured measured;
    DiagnoseDagClient(tzbench::kOrbalId, tzbench::kDagClientId, report, probes);
  }
  int answered = 0;
  for (const _tagDoctorProbe& probe : report.probes) answered += probe.reachable ? 1 : 0;
  tzbench::Require(answered == static_cast<int>(report.probes.size()) - hanging,
                   "the hanging hosts are not the ones that did not answer");
  tzbench::Require(!report.answerServer.empty(), "no member server answered");
  state.counters["probes"] = static_cast<double>(report.probes.size());
  state.counters["answered"] = answered;
  state.counters["timeout_s"] = kTimeoutSeconds;
  state.counters["databases"] = static_cast<double>(report.databases);
}

}  // namespace

BENCHMARK(BM_Doctor)
    ->ArgNames({"hanging", "probes"})
    ->Args({0, 8})
    ->Args({4, 8})
    ->Args({4, 2})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();
