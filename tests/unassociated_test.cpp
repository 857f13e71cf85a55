// Unassociated database discovery through the simulated tool and a real
// store: which databases are left, and the lines written on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"

namespace {

using nlohmann::json;
using tzplatform::LogForm;

const char kName[] = "DiscoverUnassociatedExDatabase";

// A subclient of DAG client 2 with the given content paths ("A\1" -> A|1).
json Subclient(uint32_t appId, const std::vector<std::pair<std::string, std::string>>& content,
               bool deleted = false) {
  json entries = json::array();
  for (const auto& [description, storeName] : content) {
    entries.push_back({{"description", description}, {"storeName", storeName}});
  }
  json subclient = json::parse(
      R"({"orbalId": 1, "clientId": 2, "appType": 53, "backupSet": 7, "automatic": true})");
  subclient["appId"] = appId;
  subclient["name"] = "sc" + std::to_string(appId);
  subclient["deleted"] = deleted;
  subclient["content"] = entries;
  return subclient;
}

json With(json object, const json& more) {
  object.update(more);
  return object;
}

// One DAG of one member server, MBX01, with the given databases.
json World(const json& subclients, const std::vector<std::string>& databases) {
  json world = json::parse(R"({
    "store": {"clients": [
      {"id": 2, "name": "DAG01", "host": "dag01.corp.example",
       "memberServers": [{"name": "MBX01", "selected": true, "agentInstalled": true}]},
      {"id": 3, "name": "MBX01", "host": "mbx01.corp.example", "release": 16,
       "dagAssociated": true, "packages": [151]}]},
    "remote": {"hosts": ["mbx01.corp.example"],
               "dags": [{"name": "DAG01", "members": [{"name": "MBX01", "agent": true}]}]}})");
  world["store"]["subclients"] = subclients;
  json& dbs = world["remote"]["dags"][0]["databases"] = json::array();
  for (const std::string& name : databases) {
    dbs.push_back({{"name", name}, {"copies", {{{"server", "MBX01"}, {"active", true}}}}});
  }
  return world;
}

std::vector<std::string> Names(const Uvo::DAGDBResp& resp) {
  std::vector<std::string> names;
  for (const CNMessageBase& db : resp.getDatabases()) {
    names.push_back(tzdag::GetString(db, Uvo::DAGDB::kDbName));
  }
  return names;
}

// The operation's own lines, as "form level text" (the XML dump cut short).
std::vector<std::string> OwnLines(const tzplatform::LogCapture& capture) {
  std::vector<std::string> lines;
  for (const tzplatform::LogLine& line : capture.Lines()) {
    if (line.function != kName) continue;
    std::string form = line.form == LogForm::kFunctionDebug      ? "Debug"
                       : line.form == LogForm::kFunctionDebugLvl ? "DebugLvl"
                       : line.form == LogForm::kFunctionError    ? "Error"
                                                                 : "other";
    std::string text = line.text;
    const std::string xml =
        "Response xml that is sent for db contents that are not associated "
        "to any SCs is: <";
    if (text.compare(0, xml.size(), xml) == 0) text = xml + "...";
    lines.push_back(form + " " + std::to_string(line.level) + " " + text);
  }
  return lines;
}

const std::vector<std::string> kDiscovered = {"First\\DB01", "Second\\DB02"};

TEST(UnassociatedTest, KeepsTheDatabasesNoSubclientNamesExactly) {
  struct Case {
    const char* what;
    json subclients;
    std::vector<std::string> unassociated;
  };
  const Case cases[] = {
      {"no subclients", json::array(), kDiscovered},
      {"every database protected",
       json::array({Subclient(20, {{"First", "DB01"}}), Subclient(21, {{"Second", "DB02"}})}),
       {}},
      {"letter case counts",
       json::array({Subclient(20, {{"first", "db01"}, {"Second", "DB02"}})}),
       {"First\\DB01"}},
      {"a database in two subclients is protected",
       json::array({Subclient(20, {{"First", "DB01"}}), Subclient(21, {{"First", "DB01"}})}),
       {"Second\\DB02"}},
      {"an association or another property never protects",
       json::array({With(Subclient(20, {}),
                         {{"associations", {{{"database", "First\\DB01"}, {"server", "MBX01"}}}},
                          {"properties", {{{"type", 200}, {"name", "Second\\DB02"}}}}})}),
       kDiscovered},
      {"content names a path, nothing less or more",
       json::array({Subclient(20, {{"First", "DB01 "}, {"Second\\DB02", ""}, {"First", "DB0"}})}),
       kDiscovered},
      {"the content of a subclient marked deleted still counts",
       json::array({Subclient(20, {{"Second", "DB02"}}, true)}),
       {"First\\DB01"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tztest::TestEnv env(World(c.subclients, kDiscovered));
    Uvo::DAGDBResp discovered;
    ASSERT_TRUE(DiscoverExDatabase(1, 2, 0, discovered, 0));

    Uvo::DAGDBResp resp;
    EXPECT_TRUE(DiscoverUnassociatedExDatabase(1, 2, resp));

    EXPECT_EQ(Names(resp), c.unassociated);
    EXPECT_TRUE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
    // Each kept database is the discovered record, whole.
    for (const CNMessageBase& kept : resp.getDatabases()) {
      bool found = false;
      std::string keptXml;
      kept.serialize(keptXml, false);
      for (const CNMessageBase& db : discovered.getDatabases()) {
        std::string xml;
        db.serialize(xml, false);
        found = found || xml == keptXml;
      }
      EXPECT_TRUE(found) << keptXml;
    }
  }
}

TEST(UnassociatedTest, LogsEachComparisonUpToTheFirstEqualPath) {
  tztest::TestEnv env(World(json::array({Subclient(20, {{"Other", "DB09"}, {"First", "DB01"}}),
                                         Subclient(21, {{"First", "DB01"}})}),
                            kDiscovered));
  tzplatform::SetDebugLevel(5);
  tzplatform::LogCapture capture;
  Uvo::DAGDBResp resp;

  EXPECT_TRUE(DiscoverUnassociatedExDatabase(1, 2, resp));

  EXPECT_EQ(Names(resp), std::vector<std::string>{"Second\\DB02"});
  const std::vector<std::string> expected = {
      "Debug 0 Invoked for clientId [2]",
      "DebugLvl 2 Found [2] subclients for clientId[2]",
      "DebugLvl 3 Found content [Other\\DB09] for scId [20]",
      "DebugLvl 3 Found content [First\\DB01] for scId [20]",
      "DebugLvl 3 Found content [First\\DB01] for scId [21]",
      "DebugLvl 5 Compare sc content [Other\\DB09] with exDBName [First\\DB01]",
      "DebugLvl 5 Compare sc content [First\\DB01] with exDBName [First\\DB01]",
      "DebugLvl 5 Compare sc content [Other\\DB09] with exDBName [Second\\DB02]",
      "DebugLvl 5 Compare sc content [First\\DB01] with exDBName [Second\\DB02]",
      "DebugLvl 5 Compare sc content [First\\DB01] with exDBName [Second\\DB02]",
      "DebugLvl 5 Adding unassociated content [Second\\DB02] to response",
      "Debug 0 Response xml that is sent for db contents that are not associated to any SCs "
      "is: <...",
      "Debug 0 Discover exchange database to return db contents un-associated to any SC "
      "finished successfully",
  };
  EXPECT_EQ(OwnLines(capture), expected);
}

// Below level 5 the search is a keyed lookup; at level 5 it is the linear
// search that writes each comparison. Both keep the same databases, on random
// names that often differ only in letter case.
TEST(UnassociatedTest, KeyedAndLoggedSearchesKeepTheSameDatabases) {
  const std::vector<std::pair<std::string, std::string>> pool = {
      {"First", "DB01"}, {"first", "db01"}, {"First", "DB1"}, {"Second", "DB02"},
      {"A", "B\\C"},     {"A\\B", "C"},     {"", "DB01"}};
  for (unsigned round = 1; round <= 6; ++round) {
    std::mt19937 random(round);
    auto pick = [&] {
      return pool[std::uniform_int_distribution<size_t>(0, pool.size() - 1)(random)];
    };
    std::vector<std::string> discovered;
    for (int i = 0; i < 6; ++i) {
      auto [description, storeName] = pick();
      std::string name = description + "\\" + storeName;
      // The tool names each database once.
      if (std::find(discovered.begin(), discovered.end(), name) == discovered.end()) {
        discovered.push_back(name);
      }
    }
    json subclients = json::array();
    for (uint32_t appId = 20; appId < 23; ++appId) {
      std::vector<std::pair<std::string, std::string>> content;
      for (int i = 0; i < 3; ++i) content.push_back(pick());
      subclients.push_back(Subclient(appId, content));
    }
    tztest::TestEnv env(World(subclients, discovered));
    tzplatform::SetDebugLevel(0);
    Uvo::DAGDBResp keyed;
    ASSERT_TRUE(DiscoverUnassociatedExDatabase(1, 2, keyed)) << "round " << round;
    tzplatform::SetDebugLevel(5);
    Uvo::DAGDBResp logged;
    ASSERT_TRUE(DiscoverUnassociatedExDatabase(1, 2, logged)) << "round " << round;
    EXPECT_EQ(Names(keyed), Names(logged)) << "round " << round;
  }
}

TEST(UnassociatedTest, FailuresLeaveTheDiscoveredDatabasesAndSayWhy) {
  struct Case {
    const char* what;
    std::vector<std::string> databases;  // what the tool finds
    const char* fault;                   // fault hook, or null
    const char* key;
    std::vector<std::string> left;  // the record's databases afterwards
    std::vector<std::string> lines;
  };
  const std::string invoked = "Debug 0 Invoked for clientId [2]";
  // clang-format off
  const Case cases[] = {
      {"a discovery that finds nothing", {}, nullptr, "", {},
       {invoked, "Error 0 Failed to discover unassociated DBs (filtered by client)"}},
      {"no subclient list", kDiscovered, "ClientApplicationList::getSubclientList", "2",
       kDiscovered,
       {invoked, "Error 0 Error getting subclient list for clientId[2]"}},
      {"the last subclient's properties cannot be read", kDiscovered,
       "ApplProperties::getProperties", "21", kDiscovered,
       {invoked, "DebugLvl 2 Found [2] subclients for clientId[2]",
        "DebugLvl 3 Found content [First\\DB01] for scId [20]",
        "Error 0 MsExchange Subclient::getProperties() failed with error [7]"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tztest::TestEnv env(World(
        json::array({Subclient(20, {{"First", "DB01"}}), Subclient(21, {{"Second", "DB02"}})}),
        c.databases));
    tzplatform::SetDebugLevel(3);
    tzplatform::FaultInjector faults;
    if (c.fault != nullptr) faults.Fail(c.fault, c.key, 7);
    tzplatform::LogCapture capture;
    Uvo::DAGDBResp resp;

    EXPECT_FALSE(DiscoverUnassociatedExDatabase(1, 2, resp));

    EXPECT_EQ(Names(resp), c.left);
    EXPECT_EQ(OwnLines(capture), c.lines);
  }
}

TEST(UnassociatedTest, AFailedDiscoveryIsAFailure) {
  json world = World(json::array(), kDiscovered);
  world["remote"]["hosts"] = json::array();  // MBX01 cannot be reached
  tztest::TestEnv env(world);
  tzplatform::LogCapture capture;
  Uvo::DAGDBResp resp;

  EXPECT_FALSE(DiscoverUnassociatedExDatabase(1, 2, resp));

  EXPECT_FALSE(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases));
  EXPECT_EQ(OwnLines(capture),
            (std::vector<std::string>{
                "Debug 0 Invoked for clientId [2]",
                "Error 0 Failed to discover unassociated DBs (filtered by client)"}));
}

}  // namespace
