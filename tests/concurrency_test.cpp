// Updates of one subclient from many threads and many tzdag processes at
// once end exactly as one update does: they serialise.
//
// Eight threads use the library at once against one store and one remote
// root: database discovery (one of them also for a client without a usable
// member server, which raises an event), DAG discovery through a proxy, and
// subclient updates, each thread on its own subclient. Every answer must be
// the one a lone caller gets, and afterwards the store must hold exactly what
// the same calls made one after another leave: no write and no event lost.
// Built with ThreadSanitizer (scripts/test-tsan) it also shows that no two
// threads race.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "store_support.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/store.h"

namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

constexpr uint32_t kOrbal = 1;
constexpr uint32_t kDagClient = 2;
constexpr uint32_t kCustomSubclient = 11;  // backup set 7; never updated here
constexpr uint32_t kNoServerClient = 8;    // a client that is no DAG client
constexpr uint32_t kCircularLoggingEvent = 0x1C000175;
constexpr uint32_t kNoServerEvent = 0x48000097;
// Subclients of their own backup set, so that updating them changes no
// answer of the discovery threads: one for the lone run, one per thread.
constexpr uint32_t kControlSubclient = 30;
const std::vector<uint32_t> kUpdatedSubclients = {31, 32, 33};
constexpr int kRounds = 5;

// The demo fixture with the subclients the updates use.
nlohmann::json Fixture() {
  nlohmann::json fixture = tztest::DemoFixture();
  for (uint32_t appId = kControlSubclient; appId <= kUpdatedSubclients.back(); ++appId) {
    nlohmann::json subclient = nlohmann::json::parse(
        R"({"orbalId": 1, "clientId": 2, "appType": 53, "backupSet": 8, "automatic": true})");
    subclient["appId"] = appId;
    subclient["name"] = "updated" + std::to_string(appId);
    fixture["store"]["subclients"].push_back(subclient);
  }
  return fixture;
}

std::string Xml(const CNMessageBase& record) {
  std::string text;
  record.serialize(text, false);
  return text;
}

// What one call answered, as text to compare with the lone caller's answer.
std::string DiscoverDatabases(uint32_t clientId, uint32_t appId) {
  Uvo::DAGDBResp resp;
  std::string server;
  bool ok = DiscoverExDatabase(kOrbal, clientId, appId, server, resp, 0);
  return (ok ? "ok " : "failed ") + server + " " + Xml(resp);
}

std::string DiscoverDags() {
  Uvo::DAGDiscoverResp resp;
  bool ok = DiscoverDagWithProxy("dc01", "backupadmin", nullptr, "PROXY01", resp);
  return (ok ? "ok " : "failed ") + Xml(resp);
}

// One subclient's rounds of updates: the whole discovered list and a part of
// it in turn, so that databases leave and come back and circular logging is
// found on databases that stay.
std::vector<int> UpdateRounds(uint32_t appId, const Uvo::DAGDBResp& whole,
                              const Uvo::DAGDBResp& part) {
  std::vector<int> results;
  for (int round = 0; round < kRounds; ++round) {
    results.push_back(UpdateSubclient(kOrbal, appId, round % 2 == 0 ? whole : part, false));
  }
  return results;
}

// A subclient's stored properties without the names the store gives content
// entries, which count up across the whole store.
std::vector<std::string> StoredContent(uint32_t appId) {
  static const std::regex kEntryName("^112 [^ ]+ ");
  std::vector<std::string> lines;
  for (const std::string& line : tztest::SubclientProperties(appId)) {
    lines.push_back(std::regex_replace(line, kEntryName, "112 * "));
  }
  return lines;
}

// Events recorded since the first `skip`, as "id argument|argument".
std::vector<std::string> EventsAfter(const std::string& store, size_t skip) {
  std::vector<std::string> described;
  const std::vector<tzplatform::RaisedEvent> events = tzplatform::StoredEvents(store);
  for (size_t i = skip; i < events.size(); ++i) {
    std::string line = std::to_string(events[i].id);
    for (const tzplatform::EventArgument& argument : events[i].arguments) {
      line += " " + argument.value + "|";
    }
    described.push_back(line);
  }
  return described;
}

size_t Count(const std::vector<std::string>& lines, const std::string& line) {
  size_t n = 0;
  for (const std::string& l : lines) n += l == line ? 1 : 0;
  return n;
}

TEST(Concurrency, EightThreadsGetTheLoneAnswersAndLoseNoWrite) {
  tztest::TestEnv env(Fixture());

  // The lone caller's answers, and what one round of updates leaves.
  const std::string clientAnswer = DiscoverDatabases(kDagClient, 0);
  const std::string subclientAnswer = DiscoverDatabases(kDagClient, kCustomSubclient);
  const std::string dagAnswer = DiscoverDags();
  ASSERT_EQ(clientAnswer.rfind("ok ", 0), 0u) << clientAnswer;
  ASSERT_EQ(subclientAnswer.rfind("ok ", 0), 0u) << subclientAnswer;
  ASSERT_EQ(dagAnswer.rfind("ok ", 0), 0u) << dagAnswer;

  Uvo::DAGDBResp whole;
  ASSERT_TRUE(DiscoverExDatabase(kOrbal, kDagClient, 0, whole, 0));
  ASSERT_GE(whole.getDatabases().size(), 3u);
  // Every database but the first: the first leaves and comes back each time.
  Uvo::DAGDBResp part;
  part.setDatabases(CNMessageList(whole.getDatabases().begin() + 1, whole.getDatabases().end()));

  size_t seen = tzplatform::StoredEvents(env.storePath()).size();
  const std::vector<int> loneResults = UpdateRounds(kControlSubclient, whole, part);
  const std::vector<std::string> loneContent = StoredContent(kControlSubclient);
  const std::vector<std::string> loneEvents = EventsAfter(env.storePath(), seen);
  ASSERT_FALSE(loneContent.empty());
  ASSERT_FALSE(loneEvents.empty()) << "the demo's circular logging database raises no event";

  seen = tzplatform::StoredEvents(env.storePath()).size();
  const std::string noServerAnswer = DiscoverDatabases(kNoServerClient, 0);
  const std::vector<std::string> noServerEvents = EventsAfter(env.storePath(), seen);
  ASSERT_EQ(noServerAnswer.rfind("failed ", 0), 0u) << noServerAnswer;
  ASSERT_EQ(noServerEvents.size(), 1u);
  seen = tzplatform::StoredEvents(env.storePath()).size();

  // Eight threads, started together, each doing its rounds.
  std::mutex mu;
  std::vector<std::string> wrong;
  auto expect = [&](const std::string& what, const std::string& got, const std::string& want) {
    if (got == want) return;
    std::lock_guard<std::mutex> lock(mu);
    wrong.push_back(what + ": got " + got + "\nwanted " + want);
  };
  std::vector<std::function<void()>> work;
  for (int i = 0; i < 2; ++i) {
    work.push_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        expect("database discovery", DiscoverDatabases(kDagClient, 0), clientAnswer);
      }
    });
  }
  work.push_back([&] {
    for (int round = 0; round < kRounds; ++round) {
      expect("subclient discovery", DiscoverDatabases(kDagClient, kCustomSubclient),
             subclientAnswer);
      expect("discovery without a server", DiscoverDatabases(kNoServerClient, 0), noServerAnswer);
    }
  });
  for (int i = 0; i < 2; ++i) {
    work.push_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        expect("DAG discovery", DiscoverDags(), dagAnswer);
      }
    });
  }
  std::vector<std::vector<int>> results(kUpdatedSubclients.size());
  for (size_t i = 0; i < kUpdatedSubclients.size(); ++i) {
    work.push_back([&, i] { results[i] = UpdateRounds(kUpdatedSubclients[i], whole, part); });
  }
  ASSERT_EQ(work.size(), 8u);

  std::atomic<size_t> ready{0};
  std::vector<std::thread> threads;
  for (const std::function<void()>& job : work) {
    threads.emplace_back([&ready, &work, &job] {
      ++ready;
      while (ready.load() < work.size()) std::this_thread::yield();
      job();
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_THAT(wrong, IsEmpty());
  for (size_t i = 0; i < kUpdatedSubclients.size(); ++i) {
    SCOPED_TRACE("subclient " + std::to_string(kUpdatedSubclients[i]));
    EXPECT_EQ(results[i], loneResults);
    EXPECT_THAT(StoredContent(kUpdatedSubclients[i]), ElementsAreArray(loneContent));
  }
  // Every event of every thread, each with its own argument.
  const std::vector<std::string> events = EventsAfter(env.storePath(), seen);
  EXPECT_EQ(events.size(), loneEvents.size() * kUpdatedSubclients.size() + kRounds);
  for (const std::string& event : loneEvents) {
    EXPECT_EQ(Count(events, event), Count(loneEvents, event) * kUpdatedSubclients.size()) << event;
  }
  EXPECT_EQ(Count(events, noServerEvents[0]), static_cast<size_t>(kRounds));
  EXPECT_EQ(noServerEvents[0].rfind(std::to_string(kNoServerEvent), 0), 0u);
  EXPECT_EQ(loneEvents[0].rfind(std::to_string(kCircularLoggingEvent), 0), 0u);
}

TEST(Concurrency, UpdatesOfOneSubclientSerialise) {
  tztest::TestEnv env(tztest::DemoFixture());
  Uvo::DAGDBResp whole;
  ASSERT_TRUE(DiscoverExDatabase(kOrbal, kDagClient, 0, whole, 0));

  // What one update leaves, on a copy of the store.
  const std::string lone = env.dir() + "/lone.db";
  tzplatform::CopyStore(env.storePath(), lone);
  std::vector<std::string> loneState;
  {
    tztest::UseStore use(lone);
    const int result = UpdateSubclient(kOrbal, kCustomSubclient, whole, false);
    ASSERT_TRUE(result == 0 || result == -3) << result;
    loneState = tztest::SubclientProperties(kCustomSubclient);
  }

  // Four threads of library calls and four tzdag processes, started together,
  // one update each: a later update would mend what racing ones did.
  constexpr int kWorkers = 8;
  std::atomic<int> ready{0};
  std::mutex mu;
  std::vector<std::string> wrong;
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kWorkers) std::this_thread::yield();
      std::string problem;
      if (i % 2 == 0) {
        const int result = UpdateSubclient(kOrbal, kCustomSubclient, whole, false);
        if (result != 0 && result != -3) problem = "library result " + std::to_string(result);
      } else {
        tztest::ToolRun run = tztest::RunTzdagIn(
            env, {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11"});
        if (run.exitCode != 0) problem = "tzdag exit " + std::to_string(run.exitCode) + run.err;
      }
      if (problem.empty()) return;
      std::lock_guard<std::mutex> lock(mu);
      wrong.push_back(problem);
    });
  }
  for (std::thread& thread : threads) thread.join();

  EXPECT_THAT(wrong, IsEmpty());
  EXPECT_THAT(tztest::SubclientProperties(kCustomSubclient), ElementsAreArray(loneState));
}

}  // namespace
