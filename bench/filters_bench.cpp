// The steps that narrow and apply a database discovery answer, against a real
// SQLite store in a scratch folder, for N databases and N content entries.
//
//   FilterForClient            FilterResponceForClient on an answer of N
//                              databases (16 copy servers each)
//   FilterForSubClient/custom  FilterResponceForSubClient for a custom subclient
//                              with N content entries, half of them in the answer
//   FilterForSubClient/default ... for the default subclient of that backup set
//   UpdateSubclient            UpdateSubclient of a subclient with N content
//                              entries and N associations from an answer of N
//                              databases: a tenth of the entries go, a tenth
//                              of the databases are new; one store
//                              transaction, one durable commit; the store is
//                              put back before each run
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "bench_support.h"
#include "tzdag/TzDagApi.h"

namespace {

using tzbench::DagShape;

constexpr int kCopies = 16;

std::unique_ptr<tzbench::World> MakeWorld(const DagShape& shape) {
  tzbench::KeepFreedMemory();
  nlohmann::json fixture = tzbench::DagFixture(shape);
  fixture.erase("remote");  // no tool runs here
  return std::make_unique<tzbench::World>(fixture);
}

void Finish(benchmark::State& state) {
  state.counters["N"] = static_cast<double>(state.range(0));
}

void BM_FilterForClient(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  DagShape shape;
  shape.databases = n;
  auto world = MakeWorld(shape);
  const Uvo::DAGDBResp answer = tzbench::DecodeAnswer(tzbench::DbAnswerXml(n, kCopies));
  Uvo::DAGDBResp work;
  for (auto _ : state) {
    state.PauseTiming();
    work = answer;
    state.ResumeTiming();
    tzbench::Measured measured;
    tzbench::Require(FilterResponceForClient(tzbench::kDagClientId, work), "client filter failed");
  }
  Finish(state);
}

void FilterForSubClient(benchmark::State& state, uint32_t appId) {
  const int n = static_cast<int>(state.range(0));
  DagShape shape;
  shape.databases = n;
  shape.contentFirst = n / 2;
  shape.contentEntries = n;
  auto world = MakeWorld(shape);
  const Uvo::DAGDBResp answer = tzbench::DecodeAnswer(tzbench::DbAnswerXml(n, kCopies));
  Uvo::DAGDBResp work;
  for (auto _ : state) {
    state.PauseTiming();
    work = answer;
    state.ResumeTiming();
    tzbench::Measured measured;
    tzbench::Require(FilterResponceForSubClient(tzbench::kOrbalId, appId, work),
                     "subclient filter failed");
  }
  Finish(state);
}

void BM_FilterForSubClient_custom(benchmark::State& state) {
  FilterForSubClient(state, tzbench::kCustomApp);
}

void BM_FilterForSubClient_default(benchmark::State& state) {
  FilterForSubClient(state, tzbench::kDefaultApp);
}

void BM_UpdateSubclient(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  DagShape shape;
  shape.databases = n + n / 10;
  shape.contentFirst = 0;
  shape.contentEntries = n;
  auto world = MakeWorld(shape);
  const Uvo::DAGDBResp answer =
      tzbench::DecodeAnswer(tzbench::DbAnswerXml(n, kCopies, true, n / 10));
  tzbench::StoreSnapshot snapshot(world->storePath());
  Uvo::DAGDBResp work;
  for (auto _ : state) {
    state.PauseTiming();
    snapshot.Restore();
    work = answer;
    state.ResumeTiming();
    tzbench::Measured measured;
    int result = UpdateSubclient(tzbench::kOrbalId, tzbench::kCustomApp, work, true);
    tzbench::Require(result == 0 || result == -3, "subclient update failed");
  }
  Finish(state);
}

void Sizes(benchmark::internal::Benchmark* b) {
  b->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
}

// The update also at the content of a full-size DAG (1,600 databases).
void UpdateSizes(benchmark::internal::Benchmark* b) {
  Sizes(b);
  b->Arg(1600);
}

}  // namespace

BENCHMARK(BM_FilterForClient)->Apply(Sizes);
BENCHMARK(BM_FilterForSubClient_custom)->Apply(Sizes);
BENCHMARK(BM_FilterForSubClient_default)->Apply(Sizes);
BENCHMARK(BM_UpdateSubclient)->Apply(UpdateSizes);
