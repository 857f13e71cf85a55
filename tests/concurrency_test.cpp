// Many threads and many tzdag processes using the library at once against one
// store and one remote root get the answers a lone caller gets and lose no
// event; updates of one subclient serialise. Built with
// ThreadSanitizer (scripts/test-tsan) it also shows that no two threads race.
#include <gmock/gmock.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "log_lines.h"
#include "records_support.h"
#include "store_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/Journal.h"
#include "tzplatform/store.h"

namespace {

using Texts = std::vector<std::string>;
// The DAG client, a custom subclient of its backup set 7 and a client that is
// no DAG client, in the demo.
constexpr uint32_t kDagClient = 2, kCustomSubclient = 11, kNoServerClient = 8;
constexpr int kRounds = 5;

// Runs every job on a thread of its own, all started together; the problems
// they report, in no particular order.
Texts RunTogether(const std::vector<std::function<std::string()>>& jobs) {
  std::atomic<size_t> ready{0};
  std::mutex mu;
  Texts problems;
  std::vector<std::thread> threads;
  for (const auto& job : jobs) {
    threads.emplace_back([&] {
      ++ready;
      while (ready.load() < jobs.size()) std::this_thread::yield();
      const std::string problem = job();
      std::lock_guard<std::mutex> lock(mu);
      if (!problem.empty()) problems.push_back(problem);
    });
  }
  for (std::thread& thread : threads) thread.join();
  return problems;
}

std::string DiscoverDatabases(uint32_t clientId, uint32_t appId) {
  Uvo::DAGDBResp resp;
  std::string server;
  const bool ok = DiscoverExDatabase(1, clientId, appId, server, resp, 0);
  return (ok ? "ok " : "failed ") + server + " " + tztest::Xml(resp);
}

std::string DiscoverDags() {
  Uvo::DAGDiscoverResp resp;
  const bool ok = DiscoverDagWithProxy("dc01", "backupadmin", nullptr, "PROXY01", resp);
  return (ok ? "ok " : "failed ") + tztest::Xml(resp);
}

// Events recorded after the first `skip`, described, in no particular order.
Texts EventsAfter(const std::string& store, size_t skip) {
  Texts described = tztest::EventLines(tzplatform::StoredEvents(store));
  described.erase(described.begin(), described.begin() + std::min(skip, described.size()));
  std::sort(described.begin(), described.end());
  return described;
}

// Database discovery (for a client, a subclient, and a client without a
// usable member server, which raises an event) and DAG discovery through a
// proxy, six threads at once: the answers and the events are those of a
// lone caller. (Concurrent updates are the next test's.)
TEST(Concurrency, SixThreadsGetTheLoneAnswersAndLoseNoEvent) {
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string clientAnswer = DiscoverDatabases(kDagClient, 0);
  const std::string subclientAnswer = DiscoverDatabases(kDagClient, kCustomSubclient);
  const std::string dagAnswer = DiscoverDags();
  for (const std::string& answer : {clientAnswer, subclientAnswer, dagAnswer})
    ASSERT_EQ(answer.rfind("ok ", 0), 0u) << answer;
  size_t seen = tzplatform::StoredEvents(env.storePath()).size();
  const std::string noServerAnswer = DiscoverDatabases(kNoServerClient, 0);
  const Texts noServerEvents = EventsAfter(env.storePath(), seen);
  ASSERT_EQ(noServerAnswer.rfind("failed ", 0), 0u) << noServerAnswer;
  ASSERT_EQ(noServerEvents.size(), 1u);
  EXPECT_EQ(noServerEvents[0].rfind("critical 0x48000097 ", 0), 0u);
  seen += 1;

  // Each job: its rounds, and what it got that a lone caller did not.
  auto repeat = [](std::function<std::string()> call, std::string want) {
    return [call, want] {
      for (int round = 0; round < kRounds; ++round) {
        const std::string got = call();
        if (got != want) return "got " + got + "\nwanted " + want;
      }
      return std::string();
    };
  };
  std::vector<std::function<std::string()>> jobs;
  for (int i = 0; i < 2; ++i) {
    jobs.push_back(repeat([] { return DiscoverDatabases(kDagClient, 0); }, clientAnswer));
    jobs.push_back(repeat(DiscoverDags, dagAnswer));
    jobs.push_back(repeat(
        [] {
          return DiscoverDatabases(kDagClient, kCustomSubclient) +
                 DiscoverDatabases(kNoServerClient, 0);
        },
        subclientAnswer + noServerAnswer));
  }
  EXPECT_THAT(RunTogether(jobs), ::testing::IsEmpty());
  // Every event of every thread, each with its own argument.
  EXPECT_EQ(EventsAfter(env.storePath(), seen), Texts(2 * kRounds, noServerEvents[0]));
}

// Four threads of library calls and four tzdag processes, started together,
// each bringing one subclient up to date, leave what one of them leaves; the
// journal holds one entry, since the others found nothing left to change.
TEST(Concurrency, UpdatesOfOneSubclientSerialise) {
  tztest::TestEnv env(tztest::DemoFixture());
  _tagSyncOptions options;
  options.allowRemoval = true;  // the demo's update removes a third of the content
  const std::string lone = env.dir() + "/lone.db";
  tzplatform::CopyStore(env.storePath(), lone);
  Texts loneState;
  {
    tztest::UseStore use(lone);
    _tagSubclientSync sync;
    ASSERT_TRUE(SyncSubclient(1, kDagClient, kCustomSubclient, options, sync)) << sync.error;
    ASSERT_EQ(sync.outcome, kSubclientUpdated);
    loneState = tztest::SubclientProperties(kCustomSubclient);
  }
  std::vector<std::function<std::string()>> jobs;
  for (int i = 0; i < 4; ++i) {
    jobs.push_back([&] {
      _tagSubclientSync sync;
      return SyncSubclient(1, kDagClient, kCustomSubclient, options, sync) ? "" : sync.error;
    });
    jobs.push_back([&] {
      tztest::ToolRun run =
          tztest::RunTzdagIn(env, {"update-subclient", "--orbal", "1", "--client", "2", "--app",
                                   "11", "--allow-removal", "--wait"});
      return run.exitCode == 0 ? "" : "tzdag exit " + std::to_string(run.exitCode) + run.err;
    });
  }
  EXPECT_THAT(RunTogether(jobs), ::testing::IsEmpty());
  EXPECT_EQ(tztest::SubclientProperties(kCustomSubclient), loneState);
  EXPECT_EQ(tzplatform::ReadJournal(env.storePath(), {}).size(), 1u);
}

}  // namespace
