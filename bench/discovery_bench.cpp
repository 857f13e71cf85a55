// DiscoverExDatabase end to end for a full-size DAG: 16 member servers, 1,600
// databases with 4 copies each (and with 16 copies, every member holding one),
// a DAG client that selects 12 of the members, and a custom subclient that
// protects 400 of the databases.
//
// What is the library's and what is the child process's:
//
//   EndToEnd/app:A           the whole request through the simulator: wall
//                            time; CPU time is this process's own (the child
//                            runs in its own process); child_cpu_ms the
//                            simulator's CPU time as the kernel counts it
//   SimulatorAlone           the same simulator run started and read by a
//                            bare posix_spawn and pipe, without the library:
//                            the child's share of EndToEnd's wall time
//   EndToEndCat/app:A        the whole request with a tool that only prints
//                            the simulator's recorded answer (sh + cat)
//   CatAlone                 that tool alone, as SimulatorAlone
//   Intercepted/app:A/level:L  the request with the recorded answer handed
//                            over in-process (SessionRecorder intercept mode):
//                            no process at all, only the library's own work
//                            (launch bookkeeping, receipt and decoding,
//                            filters, store reads, log), at debug level L
//
// The library's own time is EndToEnd − SimulatorAlone (and EndToEndCat −
// CatAlone), and, most directly, Intercepted.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

double ChildCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

using Dag = tzbench::RecordedDag;

Dag& FullSizeDag(int copies) {
  static std::unique_ptr<Dag> dags[2];
  std::unique_ptr<Dag>& dag = dags[copies == 4 ? 0 : 1];
  if (!dag) dag = std::make_unique<Dag>(copies);
  dag->world->Use();
  return *dag;
}

void Discover(benchmark::State& state, uint32_t appId) {
  Uvo::DAGDBResp resp;
  std::string server;
  double childBefore = ChildCpuSeconds();
  for (auto _ : state) {
    tzbench::Measured measured;
    tzbench::Require(
        DiscoverExDatabase(tzbench::kOrbalId, tzbench::kDagClientId, appId, server, resp, 0),
        "discovery failed");
  }
  state.counters["child_cpu_ms"] = benchmark::Counter((ChildCpuSeconds() - childBefore) * 1e3,
                                                      benchmark::Counter::kAvgIterations);
  state.counters["databases_kept"] = static_cast<double>(resp.getDatabases().size());
}

void BM_EndToEnd(benchmark::State& state) {
  FullSizeDag(static_cast<int>(state.range(1)));
  Discover(state, static_cast<uint32_t>(state.range(0)));
}

// The tool of a request started on its own, with the request's command line
// and environment: the child's share of an end-to-end run.
void ProgramAlone(benchmark::State& state, const Dag& dag, const std::string& program) {
  double childBefore = ChildCpuSeconds();
  for (auto _ : state) {
    tzbench::Measured measured;
    tzbench::ProgramRun run = tzbench::RunProgram(program, dag.args, dag.env);
    benchmark::DoNotOptimize(run.output.data());
  }
  state.counters["child_cpu_ms"] = benchmark::Counter((ChildCpuSeconds() - childBefore) * 1e3,
                                                      benchmark::Counter::kAvgIterations);
}

void BM_SimulatorAlone(benchmark::State& state) {
  Dag& dag = FullSizeDag(static_cast<int>(state.range(0)));
  ProgramAlone(state, dag, dag.program);
}

void BM_EndToEndCat(benchmark::State& state) {
  Dag& dag = FullSizeDag(static_cast<int>(state.range(1)));
  tzplatform::SetRemoteRoot(dag.catRoot);
  Discover(state, static_cast<uint32_t>(state.range(0)));
  dag.world->Use();
}

void BM_CatAlone(benchmark::State& state) {
  Dag& dag = FullSizeDag(static_cast<int>(state.range(0)));
  ProgramAlone(state, dag, dag.catTool);
}

void BM_Intercepted(benchmark::State& state) {
  Dag& dag = FullSizeDag(static_cast<int>(state.range(2)));
  tzplatform::SetDebugLevel(static_cast<int>(state.range(1)));
  tzplatform::SessionRecorder recorder(tzplatform::SessionRecorder::Mode::kIntercept);
  const std::string& answer = dag.answer;
  recorder.OnReceive([&answer](const tzplatform::AttachRequest&) {
    return tzplatform::SessionRecorder::ReceiveAnswer{CWqError(), answer};
  });
  Discover(state, static_cast<uint32_t>(state.range(0)));
  tzplatform::SetDebugLevel(0);
}

}  // namespace

BENCHMARK(BM_EndToEnd)
    ->ArgNames({"app", "copies"})
    ->Args({0, 4})
    ->Args({tzbench::kCustomApp, 4})
    ->Args({tzbench::kCustomApp, 16})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_SimulatorAlone)
    ->ArgNames({"copies"})
    ->Arg(4)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_EndToEndCat)
    ->ArgNames({"app", "copies"})
    ->Args({tzbench::kCustomApp, 4})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CatAlone)->ArgNames({"copies"})->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Intercepted)
    ->ArgNames({"app", "level", "copies"})
    ->Args({0, 0, 4})
    ->Args({tzbench::kCustomApp, 0, 4})
    ->Args({tzbench::kCustomApp, 1, 4})
    ->Args({tzbench::kCustomApp, 0, 16})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
