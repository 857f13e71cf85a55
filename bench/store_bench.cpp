// What checking the configuration store costs, on the store of a full-size
// installation: the DAG client of 16 member servers with its member server
// entries and member clients, the default subclient and a custom one whose
// content names all 1,600 databases (with an association each), and
// `events` stored information events with their database argument (an
// update of that subclient raises one for each of its 229 databases with
// circular logging: 100,000 are about a year of daily updates of two).
//
//   QuickCheck/events:N       PRAGMA quick_check on an open connection
//   IntegrityCheck/events:N   PRAGMA integrity_check on an open connection
//                             (what a connection's first write transaction,
//                             tzdag doctor and tzdag check-store run)
//   FirstWrite/events:N       a connection's first write transaction, begun
//                             and rolled back on a thread of its own: the
//                             store opened for reading, opened again for
//                             writing, checked, locked
//
// Wall time in milliseconds; the store sits in $TMPDIR.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bench_support.h"
#include "tzplatform/EvEvent.h"
#include "tzplatform/StoreTransaction.h"

namespace {

// Runs `pragma` to its end on `db`; the first row it gave.
std::string RunPragma(sqlite3* db, const char* pragma) {
  sqlite3_stmt* statement = nullptr;
  std::string first;
  tzbench::Require(sqlite3_prepare_v2(db, pragma, -1, &statement, nullptr) == SQLITE_OK, pragma);
  while (sqlite3_step(statement) == SQLITE_ROW) {
    if (first.empty()) first = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
  }
  sqlite3_finalize(statement);
  return first;
}

// The full-size store with `events` events, made once.
tzbench::World& FullSizeStore(int events) {
  static std::map<int, std::unique_ptr<tzbench::World>> worlds;
  std::unique_ptr<tzbench::World>& world = worlds[events];
  if (!world) {
    tzbench::DagShape shape;
    shape.contentEntries = shape.databases;
    world = std::make_unique<tzbench::World>(tzbench::DagFixture(shape));
    // One transaction, so that making the store takes seconds, not an fsync
    // per event.
    tzplatform::StoreTransaction transaction;
    EvEvent raise;
    for (int i = 0; i < events; ++i) {
      raise << tzbench::DatabaseName((i * 7) % shape.databases);
      raise.InfoEvent(0x1C000175, 0, 0);
    }
    tzbench::Require(transaction.Commit() == 0, "cannot store the events");
    // Everything in the store file itself, as a store that was closed has it.
    sqlite3* db = nullptr;
    tzbench::Require(sqlite3_open_v2(world->storePath().c_str(), &db, SQLITE_OPEN_READWRITE,
                                     nullptr) == SQLITE_OK,
                     "cannot open the store");
    RunPragma(db, "PRAGMA wal_checkpoint(TRUNCATE)");
    sqlite3_close_v2(db);
  }
  world->Use();
  return *world;
}

void Check(benchmark::State& state, const char* pragma) {
  const tzbench::World& world = FullSizeStore(static_cast<int>(state.range(0)));
  sqlite3* db = nullptr;
  tzbench::Require(
      sqlite3_open_v2(world.storePath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK,
      "cannot open the store");
  for (auto _ : state) {
    tzbench::Measured measured;
    tzbench::Require(RunPragma(db, pragma) == "ok", std::string(pragma) + " failed");
  }
  sqlite3_close_v2(db);
  state.counters["storeKiB"] =
      static_cast<double>(std::filesystem::file_size(world.storePath())) / 1024;
}

void BM_QuickCheck(benchmark::State& state) {
  Check(state, "PRAGMA quick_check");
}

void BM_IntegrityCheck(benchmark::State& state) {
  Check(state, "PRAGMA integrity_check");
}

void BM_FirstWrite(benchmark::State& state) {
  FullSizeStore(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    // Each thread has connections of its own: a new thread, a new one.
    std::thread([] {
      tzbench::Measured measured;
      tzplatform::StoreTransaction transaction;
      tzbench::Require(transaction.status() == 0, "cannot begin: " + transaction.errorString());
      transaction.Rollback();
    }).join();
  }
}

void Events(benchmark::internal::Benchmark* b) {
  b->ArgName("events")->Arg(0)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
  b->UseRealTime();
}

}  // namespace

BENCHMARK(BM_QuickCheck)->Apply(Events);
BENCHMARK(BM_IntegrityCheck)->Apply(Events);
BENCHMARK(BM_FirstWrite)->Apply(Events);
