// Many threads and many tzdag processes using the library at once against one
// store and one remote root get the answers a lone caller gets and lose no
// write and no event; updates of one subclient serialise. Built with
// ThreadSanitizer (scripts/test-tsan) it also shows that no two threads race.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "records_support.h"
#include "store_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/store.h"

namespace {

using Texts = std::vector<std::string>;
constexpr uint32_t kDagClient = 2;
constexpr uint32_t kCustomSubclient = 11;  // backup set 7 of the demo
constexpr uint32_t kNoServerClient = 8;    // a client that is no DAG client
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

// Events recorded after the first `skip`, as "id argument|argument|".
Texts EventsAfter(const std::string& store, size_t skip) {
  Texts described;
  const std::vector<tzplatform::RaisedEvent> events = tzplatform::StoredEvents(store);
  for (size_t i = skip; i < events.size(); ++i) {
    described.push_back(std::to_string(events[i].id) + " ");
    for (const tzplatform::EventArgument& argument : events[i].arguments) {
      described.back() += argument.value + "|";
    }
  }
  std::sort(described.begin(), described.end());
  return described;
}

// Database discovery (for a client, a subclient, and a client without a
// usable member server, which raises an event), DAG discovery through a
// proxy, and subclient updates of subclients of their own backup set (so
// that they change no answer of the others), eight threads at once: the
// answers, the stored subclients and the events are those of a lone caller.
TEST(Concurrency, EightThreadsGetTheLoneAnswersAndLoseNoWrite) {
  nlohmann::json fixture = tztest::DemoFixture();
  for (uint32_t appId = 30; appId <= 33; ++appId) {  // 30 for the lone run, one per thread
    fixture["store"]["subclients"].push_back({{"orbalId", 1},
                                              {"clientId", 2},
                                              {"appType", 53},
                                              {"backupSet", 8},
                                              {"automatic", true},
                                              {"appId", appId}});
  }
  tztest::TestEnv env(fixture);
  const std::string clientAnswer = DiscoverDatabases(kDagClient, 0);
  const std::string subclientAnswer = DiscoverDatabases(kDagClient, kCustomSubclient);
  const std::string dagAnswer = DiscoverDags();
  for (const std::string& answer : {clientAnswer, subclientAnswer, dagAnswer}) {
    ASSERT_EQ(answer.rfind("ok ", 0), 0u) << answer;
  }

  // One subclient's rounds of updates: the whole list and all but its first
  // database in turn, so that a database leaves and comes back and circular
  // logging is found on databases that stay.
  Uvo::DAGDBResp whole, part;
  ASSERT_TRUE(DiscoverExDatabase(1, kDagClient, 0, whole, 0));
  ASSERT_GE(whole.getDatabases().size(), 3u);
  part.setDatabases(CNMessageList(whole.getDatabases().begin() + 1, whole.getDatabases().end()));
  auto updateRounds = [&](uint32_t appId) {
    std::string results;
    for (int round = 0; round < kRounds; ++round) {
      results +=
          std::to_string(UpdateSubclient(1, appId, round % 2 == 0 ? whole : part, false)) + " ";
    }
    return results;
  };
  size_t seen = tzplatform::StoredEvents(env.storePath()).size();
  const std::string loneResults = updateRounds(30);
  const Texts loneContent = tztest::SubclientContent(30);
  const Texts loneEvents = EventsAfter(env.storePath(), seen);
  ASSERT_FALSE(loneContent.empty());
  ASSERT_FALSE(loneEvents.empty()) << "the demo's circular logging database raises no event";
  seen += loneEvents.size();
  const std::string noServerAnswer = DiscoverDatabases(kNoServerClient, 0);
  const Texts noServerEvents = EventsAfter(env.storePath(), seen);
  ASSERT_EQ(noServerAnswer.rfind("failed ", 0), 0u) << noServerAnswer;
  ASSERT_EQ(noServerEvents.size(), 1u);
  EXPECT_EQ(noServerEvents[0].rfind(std::to_string(0x48000097), 0), 0u);
  EXPECT_EQ(loneEvents[0].rfind(std::to_string(0x1C000175), 0), 0u);
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
  std::vector<std::function<std::string()>> jobs = {
      repeat([] { return DiscoverDatabases(kDagClient, 0); }, clientAnswer),
      repeat([] { return DiscoverDatabases(kDagClient, 0); }, clientAnswer),
      repeat(
          [] {
            return DiscoverDatabases(kDagClient, kCustomSubclient) +
                   DiscoverDatabases(kNoServerClient, 0);
          },
          subclientAnswer + noServerAnswer),
      repeat(DiscoverDags, dagAnswer),
      repeat(DiscoverDags, dagAnswer),
  };
  for (uint32_t appId = 31; appId <= 33; ++appId) {
    jobs.push_back([&, appId] {
      const std::string results = updateRounds(appId);
      if (results != loneResults) return "subclient " + std::to_string(appId) + ": " + results;
      return tztest::SubclientContent(appId) == loneContent
                 ? std::string()
                 : "subclient " + std::to_string(appId) + " stored otherwise";
    });
  }
  EXPECT_THAT(RunTogether(jobs), ::testing::IsEmpty());

  // Every event of every thread, each with its own argument.
  Texts events;
  for (int i = 0; i < 3; ++i) events.insert(events.end(), loneEvents.begin(), loneEvents.end());
  events.insert(events.end(), kRounds, noServerEvents[0]);
  std::sort(events.begin(), events.end());
  EXPECT_EQ(EventsAfter(env.storePath(), seen), events);
}

// Four threads of library calls and four tzdag processes, started together,
// one update each, leave what one update leaves: a later update would mend
// what racing ones did.
TEST(Concurrency, UpdatesOfOneSubclientSerialise) {
  tztest::TestEnv env(tztest::DemoFixture());
  Uvo::DAGDBResp whole;
  ASSERT_TRUE(DiscoverExDatabase(1, kDagClient, 0, whole, 0));
  const std::string lone = env.dir() + "/lone.db";
  tzplatform::CopyStore(env.storePath(), lone);
  Texts loneState;
  {
    tztest::UseStore use(lone);
    const int result = UpdateSubclient(1, kCustomSubclient, whole, false);
    ASSERT_TRUE(result == 0 || result == -3) << result;
    loneState = tztest::SubclientProperties(kCustomSubclient);
  }
  std::vector<std::function<std::string()>> jobs;
  for (int i = 0; i < 4; ++i) {
    jobs.push_back([&] {
      const int result = UpdateSubclient(1, kCustomSubclient, whole, false);
      return result == 0 || result == -3 ? "" : "library result " + std::to_string(result);
    });
    jobs.push_back([&] {
      tztest::ToolRun run = tztest::RunTzdagIn(
          env, {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11"});
      return run.exitCode == 0 ? "" : "tzdag exit " + std::to_string(run.exitCode) + run.err;
    });
  }
  EXPECT_THAT(RunTogether(jobs), ::testing::IsEmpty());
  EXPECT_EQ(tztest::SubclientProperties(kCustomSubclient), loneState);
}

}  // namespace
