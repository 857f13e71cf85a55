// Unassociated database discovery through the simulated tool and a real
// store: which databases are left, and the lines written on the way.
#include <gtest/gtest.h>

#include "records_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"

namespace {

using Texts = std::vector<std::string>;

// DAG client 2 with its one member server MBX01 holding `databases`, and
// `subclients`.
nlohmann::json World(const nlohmann::json& scenario) {
  nlohmann::json world = tztest::TestData("unassociated.json", "world");
  for (nlohmann::json subclient : scenario["subclients"]) {
    subclient.update({{"orbalId", 1}, {"clientId", 2}, {"appType", 53}, {"backupSet", 7}});
    world["store"]["subclients"].push_back(subclient);
  }
  for (const std::string& name :
       scenario.value("databases", Texts{"First\\DB01", "Second\\DB02"})) {
    world["remote"]["dags"][0]["databases"].push_back(
        {{"name", name}, {"copies", {{{"server", "MBX01"}, {"active", true}}}}});
  }
  if (scenario.contains("hosts")) world["remote"]["hosts"] = scenario["hosts"];
  return world;
}

// Each database record of an answer, whole, by its name.
std::map<std::string, std::string> Records(const Uvo::DAGDBResp& resp) {
  std::map<std::string, std::string> records;
  for (const CNMessageBase& db : resp.getDatabases())
    records[tzdag::GetString(db, Uvo::DAGDB::kDbName)] = tztest::Xml(db);
  return records;
}

// The operation's own lines, as "form level text" (the XML dump cut short).
Texts OwnLines(const tzplatform::LogCapture& capture) {
  using tzplatform::LogForm;
  Texts lines;
  for (const tzplatform::LogLine& line : capture.Lines()) {
    if (line.function != "DiscoverUnassociatedExDatabase") continue;
    const char* form = line.form == LogForm::kFunctionDebug      ? "Debug"
                       : line.form == LogForm::kFunctionDebugLvl ? "DebugLvl"
                       : line.form == LogForm::kFunctionError    ? "Error"
                                                                 : "other";
    const size_t xml = line.text.find(" is: <");
    lines.push_back(std::string(form) + " " + std::to_string(line.level) + " " +
                    (xml == std::string::npos ? line.text : line.text.substr(0, xml + 6) + "..."));
  }
  return lines;
}

// tests/data/unassociated.json says what each scenario sets up and expects.
TEST(UnassociatedTest, Scenarios) {
  for (const nlohmann::json& s : tztest::TestData("unassociated.json", "scenarios")) {
    SCOPED_TRACE(s["what"].get<std::string>());
    tztest::TestEnv env(World(s));
    Uvo::DAGDBResp discovered, resp;
    if (s["ok"]) {
      ASSERT_TRUE(DiscoverExDatabase(1, 2, 0, discovered, 0));
    }
    tzplatform::SetDebugLevel(s.value("debug", 0));
    tzplatform::FaultInjector faults;
    if (s.contains("fault")) faults.Fail(s["fault"][0], s["fault"][1], s["fault"][2]);
    tzplatform::LogCapture capture;

    EXPECT_EQ(DiscoverUnassociatedExDatabase(1, 2, resp), s["ok"]);

    Texts names;
    for (const CNMessageBase& db : resp.getDatabases()) {
      names.push_back(tzdag::GetString(db, Uvo::DAGDB::kDbName));
      if (s["ok"]) {
        EXPECT_EQ(tztest::Xml(db), Records(discovered)[names.back()]);
      }
    }
    EXPECT_EQ(names, s["names"].get<Texts>());
    EXPECT_EQ(tzdag::IsSet(resp, Uvo::DAGDBResp::kDatabases), s.value("set", true));
    if (s.contains("lines")) {
      EXPECT_EQ(OwnLines(capture), s["lines"].get<Texts>());
    }
  }
}

// Of what DiscoverUnassociatedExDatabase lists, the databases a live default
// subclient backs up: those no other subclient of its backup set names,
// letter case ignored; nothing when the subclients cannot all be read.
TEST(UnassociatedTest, DefaultSubclientBacksUpWhatNoOtherLiveSubclientNames) {
  const nlohmann::json defaultSubclient = {{"appId", 10}, {"default", true}};
  const nlohmann::json sales = {{"appId", 11},
                                {"content", {{{"description", "first"}, {"storeName", "db01"}}}}};
  struct Case {
    const char* what;
    nlohmann::json subclients;
    std::vector<std::string> fault;  // call, key, calls that pass first
    bool ok;
    Texts names;
  };
  const Case cases[] = {
      {"sales backs up first\\db01 under another letter case",
       {defaultSubclient, sales},
       {},
       true,
       {"Second\\DB02"}},
      {"a deleted default subclient backs up nothing",
       {nlohmann::json{{"appId", 10}, {"default", true}, {"deleted", true}}, sales},
       {},
       true,
       {}},
      {"the subclient list cannot be read",
       {defaultSubclient, sales},
       {"ClientApplicationList::getSubclientList", "2", "0"},
       false,
       {}},
      {"whether sales is a default subclient cannot be read",
       {defaultSubclient, sales},
       {"Subclient::isDefaultSubclient", "11", "0"},
       false,
       {}},
      {"the default subclient's filter fails on sales (read once already)",
       {defaultSubclient, sales},
       {"Subclient::isDefaultSubclient", "11", "1"},
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tztest::TestEnv env(World({{"subclients", c.subclients}}));
    Uvo::DAGDBResp resp;
    ASSERT_TRUE(DiscoverUnassociatedExDatabase(1, 2, resp));
    tzplatform::FaultInjector faults;
    if (!c.fault.empty()) faults.Fail(c.fault[0], c.fault[1], 7, -1, std::stoi(c.fault[2]));
    Texts names = {"left from before"};
    EXPECT_EQ(DefaultSubclientBacksUp(1, 2, resp, names), c.ok);
    EXPECT_EQ(names, c.names);
  }
}

}  // namespace
