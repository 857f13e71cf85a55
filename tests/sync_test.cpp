// Every DAG client of a generated installation brought up to date in one
// run, through the simulator and the real tzdag: the same store as the same
// updates made one by one, whatever the number of clients at once; a journal
// that lists exactly what changed; no subclient half updated when the run is
// killed; and one client's failing tool or a shrunken answer that holds
// nothing else back.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "journal_support.h"
#include "log_lines.h"
#include "store_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/Journal.h"
#include "tzplatform/faults.h"
#include "tzplatform/inventory.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace {

using nlohmann::json;
using Texts = std::vector<std::string>;

constexpr int kClients = 20;
constexpr uint32_t kOrbal = 1;
// The simulator host every member server of the generated DAGs is reached at.
const char kSimHost[] = "sim.example";

uint32_t ClientId(int c) {
  return 100 + static_cast<uint32_t>(c);
}

std::string Name(const char* format, int c) {
  char text[32];
  std::snprintf(text, sizeof(text), format, c);
  return text;
}

// The kinds of subclient each DAG client has, in its subclient list order:
// the default one (automatic, from the active copy), an automatic one that
// prefers passive copies (PassiveKind says with which preferences), a manual
// one, a deleted one and one of another installation. The manual one asks
// for what the default one asks, so a client needs two discoveries.
enum Kind { kDefault, kPassive, kManual, kDeleted, kOther };
constexpr int kKinds = 5;

// The passive subclient of client c: the first healthy passive copy, the last
// one, or the first with no falling back to the active copy, by turns.
enum PassiveKind { kFirst, kLast, kOnly };
PassiveKind PassiveOf(int c) {
  return static_cast<PassiveKind>(c % 3);
}

uint32_t AppId(int c, int kind) {
  return 1000 + 10 * static_cast<uint32_t>(c) + static_cast<uint32_t>(kind);
}

// DAG client 100 + c ("DAG00", ...) of three member servers, A and B selected
// with the agent and C selected without, each a client of the store reached
// at `host(c)`; six databases whose copies lie on the three in different
// orders, some unhealthy, one with circular logging; and the seven
// subclients. Client `heldBack` has a subclient whose content names two
// databases the DAG no longer has (a third of it: held back by the rail);
// elsewhere stale content is a fifth at most.
json Installation(int clients, const std::function<std::string(int)>& host, int heldBack = -1) {
  json store = {{"clients", json::array()}, {"subclients", json::array()}};
  json remote = {{"hosts", json::array()}, {"dags", json::array()}};
  std::set<std::string> hosts;
  for (int c = 0; c < clients; ++c) {
    const std::string a = Name("M%02dA", c), b = Name("M%02dB", c), cc = Name("M%02dC", c);
    const std::string db = Name("D%02d\\DB", c);
    json dagClient = {{"id", ClientId(c)},
                      {"name", Name("DAG%02d", c)},
                      {"memberServers",
                       {{{"name", a}, {"selected", true}, {"agentInstalled", true}},
                        {{"name", b}, {"selected", true}, {"agentInstalled", true}},
                        {{"name", cc}, {"selected", true}, {"agentInstalled", false}}}}};
    store["clients"].push_back(dagClient);
    int server = 0;
    for (const std::string& member : {a, b, cc}) {
      store["clients"].push_back({{"id", 10000 + 3 * c + server++},
                                  {"name", member},
                                  {"host", host(c)},
                                  {"release", 15},
                                  {"packages", {151}}});
    }
    hosts.insert(host(c));
    auto copies = [](std::initializer_list<std::pair<std::string, bool>> list) {
      json result = json::array();
      bool first = true;
      for (const auto& [server, healthy] : list) {
        result.push_back({{"server", server}, {"active", first}, {"healthy", healthy}});
        first = false;
      }
      return result;
    };
    remote["dags"].push_back(
        {{"name", Name("DAG%02d", c)},
         {"members",
          {{{"name", a}, {"agent", true}},
           {{"name", b}, {"agent", true}},
           {{"name", cc}, {"agent", true}}}},
         {"databases",
          {{{"name", db + "1"}, {"copies", copies({{a, true}, {b, true}, {cc, true}})}},
           {{"name", db + "2"}, {"copies", copies({{b, true}, {a, true}, {cc, false}})}},
           {{"name", db + "3"},
            {"circularLogging", true},
            {"copies", copies({{cc, true}, {a, true}})}},
           {{"name", db + "4"}, {"copies", copies({{a, true}, {b, false}})}},
           {{"name", db + "5"}, {"copies", copies({{b, true}, {cc, true}, {a, true}})}},
           {{"name", db + "6"}, {"copies", copies({{cc, true}, {b, true}})}}}}});

    auto entry = [](const std::string& path) {
      const size_t slash = path.find('\\');
      return json{{"description", path.substr(0, slash)}, {"storeName", path.substr(slash + 1)}};
    };
    for (int kind = 0; kind < kKinds; ++kind) {
      const bool passive = kind == kPassive;
      json subclient = {{"orbalId", kind == kOther ? 2 : kOrbal},
                        {"appId", AppId(c, kind)},
                        {"clientId", ClientId(c)},
                        {"appType", 53},
                        {"backupSet", c},
                        {"name", std::vector<std::string>{"default", "passive", "manual", "deleted",
                                                          "other"}[kind]},
                        {"default", kind == kDefault},
                        {"deleted", kind == kDeleted},
                        {"automatic", kind != kManual},
                        {"backupFromPassive", passive},
                        {"useActiveIfNoPassive", !passive || PassiveOf(c) != kOnly},
                        {"useLastActivationPreference", passive && PassiveOf(c) == kLast},
                        {"content", json::array()},
                        {"associations", json::array()}};
      switch (kind) {
        case kPassive:
          for (const char* n : {"1", "2", "3", "4"}) subclient["content"].push_back(entry(db + n));
          subclient["content"].push_back(entry(Name("Gone%02d\\DB1", c)));
          if (c == heldBack) subclient["content"].push_back(entry(Name("Gone%02d\\DB2", c)));
          subclient["associations"].push_back({{"database", db + "1"}, {"server", cc}});
          break;
        case kManual:
          subclient["content"].push_back(entry(db + "5"));
          subclient["associations"].push_back({{"database", db + "5"}, {"server", b}});
          break;
        case kDeleted:
        case kOther:
          subclient["content"].push_back(entry(db + "6"));
          subclient["content"].push_back(entry(Name("Gone%02d\\DB3", c)));
          break;
        default:
          break;
      }
      store["subclients"].push_back(subclient);
    }
  }
  for (const std::string& h : hosts) remote["hosts"].push_back(h);
  return {{"store", store}, {"remote", remote}};
}

json SharedHostInstallation(int heldBack = -1) {
  return Installation(
      kClients, [](int) { return std::string(kSimHost); }, heldBack);
}

// Each live subclient of the installation, by client in id order and then in
// subclient list order: what one-by-one updates go through.
std::vector<std::pair<uint32_t, uint32_t>> LiveSubclients(int clients) {
  std::vector<std::pair<uint32_t, uint32_t>> live;
  for (int c = 0; c < clients; ++c) {
    for (int kind = 0; kind < kKinds; ++kind) {
      if (kind != kDeleted && kind != kOther) live.emplace_back(ClientId(c), AppId(c, kind));
    }
  }
  return live;
}

std::vector<std::string> SyncArgs(const tztest::TestEnv& env, const std::string& store,
                                  std::vector<std::string> more) {
  std::vector<std::string> args = {"--store",        store,   "--remote-root",
                                   env.remoteRoot(), "--log", env.dir() + "/tool-log.txt"};
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// What changed in subclient `app` between two stores, read from the stores
// themselves: content paths gone and new, and associations with a new server.
Texts ChangesBetween(const std::string& before, const std::string& after, uint32_t app) {
  auto read = [app](const std::string& path) {
    tztest::UseStore use(path);
    return tztest::SubclientContent(app);
  };
  const Texts old = read(before), now = read(after);
  auto content = [](const Texts& lines) {
    std::set<std::string> paths;
    for (const std::string& line : lines) {
      if (line.rfind("content ", 0) != 0) continue;
      std::string path = line.substr(8, line.find(' ', 8) - 8);
      std::replace(path.begin(), path.end(), '|', '\\');
      paths.insert(path);
    }
    return paths;
  };
  auto servers = [](const Texts& lines) {
    std::map<std::string, std::string> byDatabase;
    for (const std::string& line : lines) {
      if (line.rfind("association ", 0) != 0) continue;
      const size_t blank = line.rfind(' ');
      std::string name = line.substr(12, blank - 12);
      byDatabase[name.substr(0, name.size() - 4)] = line.substr(blank + 1);
    }
    return byDatabase;
  };
  Texts changes;
  const std::set<std::string> oldPaths = content(old), newPaths = content(now);
  for (const std::string& path : oldPaths) {
    if (newPaths.count(path) == 0) changes.push_back("removed " + path);
  }
  for (const std::string& path : newPaths) {
    if (oldPaths.count(path) == 0) changes.push_back("added " + path);
  }
  const auto oldServers = servers(old);
  for (const auto& [database, server] : servers(now)) {
    auto was = oldServers.find(database);
    if (was == oldServers.end()) {
      changes.push_back("reassociated " + database + " (none)>" + server);
    } else if (was->second != server) {
      changes.push_back("reassociated " + database + " " + was->second + ">" + server);
    }
  }
  std::sort(changes.begin(), changes.end());
  return changes;
}

// The changes of the journal entries of subclient `app`, in the same form.
Texts JournalChangesOf(const std::string& path, uint32_t app) {
  tzplatform::JournalQuery query;
  query.subclientId = app;
  Texts changes;
  for (const tzplatform::JournalEntry& e : tzplatform::ReadJournal(path, query)) {
    for (const tzplatform::JournalChange& c : e.changes) {
      switch (c.kind) {
        case tzplatform::JournalChangeKind::kRemoved:
          changes.push_back("removed " + c.database);
          break;
        case tzplatform::JournalChangeKind::kAdded:
          changes.push_back("added " + c.database);
          break;
        case tzplatform::JournalChangeKind::kReassociated:
          changes.push_back("reassociated " + c.database + " " + (c.hadServer ? c.from : "(none)") +
                            ">" + c.to);
          break;
        case tzplatform::JournalChangeKind::kMarked:
          changes.push_back("marked " + c.database);
          break;
      }
    }
  }
  std::sort(changes.begin(), changes.end());
  return changes;
}

// The command line of a process that still runs with `dir` on it (a tool
// that a killed tzdag left running in its own process group); empty when
// there is none.
std::string ProgramRunningFrom(const std::string& dir) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string line = tztest::ReadFile(entry.path() / "cmdline");
    std::replace(line.begin(), line.end(), '\0', ' ');
    if (line.find(dir) != std::string::npos && name != std::to_string(getpid())) {
      return name + ": " + line;
    }
  }
  return "";
}

// Makes the simulator of `host` answer each command line once, and replay
// that answer byte for byte from then on: the store work under test is the
// same, while a run of the tool costs a shell and a cat rather than the start
// of a sanitized program.
void ReplayAnswers(const tztest::TestEnv& env, const std::string& host) {
  const std::string folder = env.remoteRoot() + "/" + host;
  std::filesystem::rename(folder + "/PshimProxy.exe", folder + "/pshim-sim");
  std::filesystem::create_directories(folder + "/answers");
  env.InstallTool(host,
                  "#!/bin/sh\n"
                  "here=\"$(dirname \"$0\")\"\n"
                  "answer=\"$here/answers/$(echo \"$*\" | tr ' ' _)\"\n"
                  "if [ ! -f \"$answer\" ]; then\n"
                  "  \"$here/pshim-sim\" \"$@\" > \"$answer.$$\" || exit\n"
                  "  mv \"$answer.$$\" \"$answer\"\n"
                  "fi\n"
                  "exec cat \"$answer\"\n");
}

// Tools end on their own soon after the tzdag that ran them: they write
// their answer and go. A loaded machine may take seconds to get to it.
void WaitForToolsToEnd(const std::string& dir) {
  for (int i = 0; i < 600 && !ProgramRunningFrom(dir).empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string left = ProgramRunningFrom(dir);
  ASSERT_EQ(left, "") << "a tool outlived the killed tzdag by 30 s";
}

class SyncTest : public ::testing::Test {
 protected:
  SyncTest() : env_(SharedHostInstallation(3)) {
    ReplayAnswers(env_, kSimHost);
    original_ = env_.dir() + "/original.db";
    tzplatform::CopyStore(env_.storePath(), original_);
  }

  // A copy of the installation's store as generated.
  std::string Fresh(const std::string& name) {
    const std::string path = env_.dir() + "/" + name;
    tzplatform::CopyStore(original_, path);
    return path;
  }

  tztest::TestEnv env_;
  std::string original_;
};

// A sync of every client, one at a time and eight at a time, ends in the
// store that the same updates made one by one through the library leave,
// every row compared; the journal lists exactly what changed in each
// subclient, as the stores before and after show it; the subclient held back
// by the rail is left as it was, with no journal entry, and makes the exit
// status 1.
TEST_F(SyncTest, ASyncEqualsTheSameUpdatesMadeOneByOne) {
  const std::string oneByOne = Fresh("one-by-one.db");
  {
    tztest::UseStore use(oneByOne);
    for (const auto& [client, app] : LiveSubclients(kClients)) {
      _tagSubclientSync sync;
      const bool ok = SyncSubclient(kOrbal, client, app, {}, sync);
      EXPECT_EQ(ok, app != AppId(3, kPassive)) << app << ": " << sync.error;
    }
  }
  const std::string oneAtATime = Fresh("jobs-1.db"), eightAtATime = Fresh("jobs-8.db");
  for (const auto& [store, jobs] : {std::pair{oneAtATime, "1"}, std::pair{eightAtATime, "8"}}) {
    const tztest::ToolRun run = tztest::RunTzdag(
        SyncArgs(env_, store, {"--json", "sync", "--orbal", "1", "--all", "--jobs", jobs}));
    ASSERT_EQ(run.exitCode, 1) << run.err;
    const json answer = json::parse(run.out);
    EXPECT_EQ(answer["error"], "1 subclient held back");
    EXPECT_EQ(answer["totals"]["clients"], kClients);
    EXPECT_EQ(answer["totals"]["heldBack"], 1);
    EXPECT_EQ(answer["totals"]["updated"], 3 * kClients - 1);
    const json& held = answer["clients"][3]["subclients"][1];
    EXPECT_EQ(held["outcome"], "held back");
    EXPECT_EQ(held["error"],
              "the update would remove 2 of its 6 databases (33.3%, more than the 20% allowed); "
              "nothing was stored");
    EXPECT_EQ(held["journalEntry"], 0);
  }
  EXPECT_EQ(tztest::ConfigurationRows(oneAtATime, true), tztest::ConfigurationRows(oneByOne, true));
  EXPECT_EQ(tztest::ConfigurationRows(eightAtATime, true),
            tztest::ConfigurationRows(oneByOne, true));
  EXPECT_EQ(tztest::JournalLines(oneAtATime), tztest::JournalLines(oneByOne));
  EXPECT_EQ(tztest::JournalLines(eightAtATime), tztest::JournalLines(oneByOne));

  for (const auto& [client, app] : LiveSubclients(kClients)) {
    SCOPED_TRACE(app);
    EXPECT_EQ(JournalChangesOf(eightAtATime, app), ChangesBetween(original_, eightAtATime, app));
  }
  const uint32_t held = AppId(3, kPassive);
  EXPECT_THAT(JournalChangesOf(eightAtATime, held), ::testing::IsEmpty());
  tztest::UseStore use(original_);
  const Texts before = tztest::SubclientContent(held);
  tztest::UseStore after(eightAtATime);
  EXPECT_EQ(tztest::SubclientContent(held), before);
}

// The mend: each automatic subclient is given the servers of the copies its
// own preferences choose, not those of the active copies.
TEST_F(SyncTest, EachSubclientGetsTheCopiesItsPreferencesChoose) {
  const std::string store = Fresh("synced.db");
  const tztest::ToolRun run = tztest::RunTzdag(
      SyncArgs(env_, store, {"sync", "--orbal", "1", "--client", "100", "101", "102"}));
  ASSERT_EQ(run.exitCode, 3) << run.out << run.err;  // warnings: circular logging on DB3
  tztest::UseStore use(store);
  auto associations = [](uint32_t app) {
    Texts lines;
    for (const std::string& line : tztest::SubclientContent(app)) {
      if (line.rfind("association ", 0) == 0) lines.push_back(line.substr(12));
    }
    return lines;
  };
  // DB1: active on A, healthy passive copies on B and C. DB2: active on B,
  // passive on A (and an unhealthy one on C). DB3: active on C, passive on A.
  // DB4: active on A, its one passive copy unhealthy. DB5: B, then C and A.
  // DB6: active on C, passive on B.
  EXPECT_EQ(associations(AppId(0, kDefault)),
            (Texts{"D00\\DB10x12 M00A", "D00\\DB20x12 M00B", "D00\\DB30x12 M00C",
                   "D00\\DB40x12 M00A", "D00\\DB50x12 M00B", "D00\\DB60x12 M00C"}));
  EXPECT_EQ(associations(AppId(0, kPassive)),  // the first healthy passive copy
            (Texts{"D00\\DB10x12 M00B", "D00\\DB20x12 M00A", "D00\\DB30x12 M00A",
                   "D00\\DB40x12 M00A", "D00\\DB50x12 M00C", "D00\\DB60x12 M00B"}));
  EXPECT_EQ(associations(AppId(1, kPassive)),  // the last one
            (Texts{"D01\\DB10x12 M01C", "D01\\DB20x12 M01A", "D01\\DB30x12 M01A",
                   "D01\\DB40x12 M01A", "D01\\DB50x12 M01A", "D01\\DB60x12 M01B"}));
  // No healthy passive copy of DB4 and no falling back to the active one: N/A.
  EXPECT_EQ(associations(AppId(2, kPassive)),
            (Texts{"D02\\DB10x12 M02B", "D02\\DB20x12 M02A", "D02\\DB30x12 M02A",
                   "D02\\DB40x12 N/A", "D02\\DB50x12 M02C", "D02\\DB60x12 M02B"}));
  // A manual subclient keeps the server it chose for DB5.
  EXPECT_EQ(associations(AppId(0, kManual)),
            (Texts{"D00\\DB10x12 M00A", "D00\\DB20x12 M00B", "D00\\DB30x12 M00C",
                   "D00\\DB40x12 M00A", "D00\\DB50x12 M00B", "D00\\DB60x12 M00C"}));
  // The deleted subclient and the other installation's are left alone.
  for (int kind : {kDeleted, kOther}) {
    EXPECT_EQ(tztest::SubclientContent(AppId(0, kind)),
              (Texts{"content D00|DB6", "content Gone00|DB3"}));
  }
}

// Killed with SIGKILL at random moments, twenty times over, a sync leaves
// every subclient as it was or as a whole sync leaves it, never between; the
// sync run again afterwards ends in the store an uninterrupted one leaves,
// with exactly one journal entry for each subclient it changed.
TEST_F(SyncTest, AKilledSyncLeavesNoSubclientHalfUpdatedAndASecondOneFinishesTheRest) {
  const std::string whole = Fresh("whole.db");
  const std::vector<std::string> sync = {"sync", "--orbal", "1", "--all"};
  ASSERT_EQ(tztest::RunTzdag(SyncArgs(env_, whole, sync)).exitCode, 1);
  // How long a whole run takes once the tool's answers are known: the kills
  // fall anywhere in it.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(tztest::RunTzdag(SyncArgs(env_, Fresh("timed.db"), sync)).exitCode, 1);
  const auto fullRun = std::chrono::steady_clock::now() - start;
  std::map<uint32_t, std::pair<Texts, Texts>> states;  // old and new content, names masked
  auto content = [](const std::string& path, uint32_t app) {
    tztest::UseStore use(path);
    Texts lines = tztest::SubclientContent(app);
    return lines;
  };
  for (const auto& [client, app] : LiveSubclients(kClients)) {
    states[app] = {content(original_, app), content(whole, app)};
  }

  const std::string killed = Fresh("killed.db");
  std::mt19937 random(20261206);
  std::uniform_int_distribution<long long> moment(
      0, std::chrono::duration_cast<std::chrono::milliseconds>(fullRun).count());
  int interrupted = 0;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    tztest::TzdagProcess run(SyncArgs(env_, killed, sync));
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    if (kill(run.pid(), SIGKILL) == 0 && run.Wait().exitCode == -1) ++interrupted;
    WaitForToolsToEnd(env_.remoteRoot());
    for (const auto& [app, oldAndNew] : states) {
      const Texts now = content(killed, app);
      // New content entries get names in the order updates commit.
      if (now != oldAndNew.first) {
        static const std::regex kName("exdb-[0-9]+");
        auto masked = [](Texts lines) {
          for (std::string& line : lines) line = std::regex_replace(line, kName, "exdb");
          return lines;
        };
        ASSERT_EQ(masked(now), masked(oldAndNew.second)) << "subclient " << app << " half updated";
      }
    }
  }
  // A loaded machine makes runs slower or faster than the timed one: most
  // kills, not all, land inside a run.
  EXPECT_GE(interrupted, 5);
  EXPECT_EQ(tztest::RunTzdag(SyncArgs(env_, killed, {"sync", "--orbal", "1", "--all"})).exitCode,
            1);
  EXPECT_EQ(tztest::ConfigurationRows(killed, false), tztest::ConfigurationRows(whole, false));
  EXPECT_EQ(tztest::JournalLines(killed), tztest::JournalLines(whole));
}

const char* OutcomeName(SubclientSyncOutcome outcome) {
  switch (outcome) {
    case kSubclientUpdated:
      return "updated";
    case kSubclientUnchanged:
      return "unchanged";
    case kSubclientHeldBack:
      return "held back";
    default:
      return "failed";
  }
}

// Each way out of bringing a subclient, or a client's subclients, up to date
// says why in the result and the log, and stores nothing but what it must:
// tests/data/sync.json.
TEST(SyncWaysOut, EachSaysWhyAndStoresNothingElse) {
  const json table = tztest::TestData("sync.json", "cases");
  for (const json& c : table) {
    SCOPED_TRACE(c["name"].get<std::string>());
    json patch = c.value("patch", json::array());
    if (patch.is_string()) patch = tztest::TestData("sync.json", patch.get<std::string>());
    tztest::TestEnv env(tztest::DemoFixture().patch(patch));
    const std::string before = tzplatform::DumpStore(env.storePath());
    tzplatform::FaultInjector faults;
    for (const json& f : c.value("faults", json::array())) {
      faults.Fail(f["call"], f["key"], f["status"], f.value("times", -1), f.value("skip", 0));
    }
    _tagSyncOptions options;
    options.dryRun = c.value("dryRun", false);
    options.allowRemoval = c.value("allowRemoval", false);
    if (c.value("stop", false)) options.stopRequested = [] { return true; };
    tzplatform::LogCapture capture;
    Texts outcomes;
    if (c.contains("app")) {
      _tagSubclientSync sync;
      EXPECT_EQ(SyncSubclient(1, 2, c["app"], options, sync), c["ok"]);
      EXPECT_EQ(OutcomeName(sync.outcome), c["outcome"].get<std::string>());
      EXPECT_EQ(sync.error, c.value("error", ""));
    } else {
      _tagClientSync sync;
      EXPECT_EQ(SyncDagClient(1, 2, options, sync), c["ok"]);
      EXPECT_EQ(sync.error, c.value("error", ""));
      for (const _tagSubclientSync& subclient : sync.subclients) {
        outcomes.push_back(OutcomeName(subclient.outcome));
        if (c.contains("subclientError")) {
          EXPECT_EQ(subclient.error, c["subclientError"]);
        }
      }
      EXPECT_EQ(outcomes, c["subclients"].get<Texts>());
    }
    size_t critical = 0;
    for (const tzplatform::RaisedEvent& e : tzplatform::StoredEvents(env.storePath())) {
      if (e.severity == tzplatform::EventSeverity::kCritical) ++critical;
    }
    EXPECT_EQ(critical, c.value("criticalEvents", 0u));
    if (!c.value("writes", false)) {
      EXPECT_EQ(tzplatform::DumpStore(env.storePath()), before);
    }
    // The lines asked for, in this order, among the others.
    const Texts texts = capture.Texts();
    auto at = texts.begin();
    for (const std::string line : c.value("lines", json::array())) {
      at = std::find(at, texts.end(), line);
      EXPECT_NE(at, texts.end()) << line;
    }
  }
}

// Each discovery runs the tool once per distinct set of copy preferences;
// one client whose tool hangs and one whose tool fails are reported, and the
// others are brought up to date all the same.
TEST(SyncFailures, AClientWhoseToolHangsOrFailsIsReportedAndTheOthersComplete) {
  const std::vector<std::string> hosts = {"hang.example", kSimHost, "fail.example", kSimHost};
  json fixture = Installation(static_cast<int>(hosts.size()), [&](int c) { return hosts[c]; });
  tztest::TestEnv env(fixture);
  env.InstallTool("hang.example", "#!/bin/sh\nexec sleep 60\n");
  env.InstallTool("fail.example", "#!/bin/sh\necho '<ProxyErrorMessage errorText=\"no way\"/>'\n");
  const auto start = std::chrono::steady_clock::now();
  const tztest::ToolRun run =
      tztest::RunTzdagIn(env, {"--json", "sync", "--orbal", "1", "--all", "--timeout", "2"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  ASSERT_EQ(run.exitCode, 1) << run.err;
  const json answer = json::parse(run.out);
  EXPECT_EQ(answer["error"], "6 subclients failed");
  const json& clients = answer["clients"];
  ASSERT_EQ(clients.size(), hosts.size());
  for (size_t c = 0; c < hosts.size(); ++c) {
    SCOPED_TRACE(c);
    const bool good = hosts[c] == kSimHost;
    EXPECT_EQ(clients[c]["status"], good ? "warn" : "fail");  // warn: circular logging
    EXPECT_EQ(clients[c]["updated"], good ? 3 : 0);
    EXPECT_EQ(clients[c]["failed"], good ? 0 : 3);
    // Two distinct sets of copy preferences: two runs of the tool; after one
    // that did not answer in time, the other is not tried.
    EXPECT_EQ(clients[c]["discoveries"].size(), 2u);
  }
  EXPECT_EQ(clients[0]["subclients"][0]["error"],
            "database discovery with its copy preferences failed: the tool on M00A gave no "
            "answer: -7: no answer within 2 s; killed");
  EXPECT_EQ(clients[0]["subclients"][1]["error"],
            "database discovery with its copy preferences was not tried: the tool on M00A did "
            "not answer within the time limit with other copy preferences");
  // Where the tool started and failed is said, though nothing was discovered.
  EXPECT_EQ(clients[0]["subclients"][0]["server"], "M00A");
  EXPECT_EQ(clients[2]["subclients"][0]["server"], "M02A");
  EXPECT_EQ(clients[2]["subclients"][0]["discovered"], false);
  EXPECT_EQ(clients[2]["subclients"][0]["error"],
            "database discovery with its copy preferences failed: the tool on M02A gave no "
            "answer: the tool answered with an error: no way");
  // What failed was left as it was: only the good clients have journal entries.
  std::set<uint32_t> journaled;
  for (const tzplatform::JournalEntry& e : tzplatform::ReadJournal(env.storePath(), {})) {
    journaled.insert(e.clientId);
  }
  EXPECT_EQ(journaled, (std::set<uint32_t>{ClientId(1), ClientId(3)}));
}

}  // namespace
