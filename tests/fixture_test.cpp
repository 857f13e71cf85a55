// Loading the "store" section of fixtures: every problem is named by its
// place, and a fixture that fails leaves no store behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "store_support.h"
#include "temp_dir.h"
#include "tzplatform/fixture.h"
#include "tzplatform/store.h"

namespace {

using nlohmann::json;
using ::testing::ElementsAre;

// Builds a store from fixture text the way `tzdag init` does; returns the
// error message, or "" when the store was made.
std::string Load(const std::string& text, const std::string& storePath) {
  try {
    json fixture = tzplatform::ParseFixture(text);
    tzplatform::CreateStoreFromFixture(fixture.at("store"), storePath);
    return "";
  } catch (const tzplatform::FixtureError& e) {
    return e.what();
  }
}

TEST(Fixture, ProblemsAreNamedByPlaceAndLeaveNoStore) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"{\"store\": {\n  \"clients\": [\n    {\"id\": 2,}\n  ]\n}}",
       "fixture: not valid JSON at line 3, column 14: "},
      {R"({"store": {"clients": [{"id": 2, "name": "A"}, {"name": "B"}]}})",
       "store.clients[1]: missing key 'id'"},
      {R"({"store": {"clients": [{"id": 2, "name": "A"}, {"id": 4, "name": "B"},
                                {"id": 2, "name": "C"}]}})",
       "store.clients[2].id: duplicate id 2"},
      {R"({"store": {"clients": [{"id": 2, "name": "mbx01"}, {"id": 3, "name": "MBX01"}]}})",
       "store.clients[1].name: duplicate name 'MBX01'"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01", "memberServers": [
           {"name": "MBX01"}, {"kind": "foo", "name": "MBX02"}]}]}})",
       "store.clients[0].memberServers[1]: unknown property kind 'foo'"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01",
           "properties": [{"type": 125, "name": "MBX01"}]}]}})",
       "store.clients[0].properties[0].type: 125 is the type of kind 'memberServer'; give the "
       "entry that kind"},
      {R"({"store": {"clients": [{"id": 2, "name": 5}]}})",
       "store.clients[0].name: must be a string"},
      {R"({"store": {"clients": [{"id": -1, "name": "A"}]}})",
       "store.clients[0].id: must be an integer from 0 to 4294967295"},
      {R"({"store": {"clients": [{"id": 1.5, "name": "A"}]}})",
       "store.clients[0].id: must be an integer from 0 to 4294967295"},
      {R"({"store": {"clients": [{"id": 4294967296, "name": "A"}]}})",
       "store.clients[0].id: must be an integer from 0 to 4294967295"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01", "memberServers": [
           {"name": "MBX01", "selected": "yes"}]}]}})",
       "store.clients[0].memberServers[0].selected: must be true or false"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01", "memberServers": [
           {"name": "MBX01", "agentInstaled": true}]}]}})",
       "store.clients[0].memberServers[0]: unknown key 'agentInstaled'"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01", "packages": [151, 151]}]}})",
       "store.clients[0].packages[1]: duplicate package 151"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01", "memberServers": {}}]}})",
       "store.clients[0].memberServers: must be an array"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01"}],
                     "subclients": [{"orbalId": 1, "appId": 10, "clientId": 3}]}})",
       "store.subclients[0].clientId: no client has id 3"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01"}],
                     "subclients": [{"orbalId": 1, "appId": 10, "clientId": 2},
                                    {"orbalId": 1, "appId": 10, "clientId": 2}]}})",
       "store.subclients[1].appId: duplicate id 10"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01"}],
                     "subclients": [{"orbalId": 1, "appId": 10, "clientId": 2,
                                     "content": [{"storeName": "DB01"}]}]}})",
       "store.subclients[0].content[0]: missing key 'description'"},
      {R"({"store": {"clients": [{"id": 2, "name": "DAG01"}],
                     "subclients": [{"orbalId": 1, "appId": 10, "clientId": 2,
                                     "associations": ["First\\DB01"]}]}})",
       "store.subclients[0].associations[0]: must be an object"},
      // What the JSON grammar allows but a fixture may not say.
      {R"({"store": {"clients": [{"id": 2, "name": "A", "id": 3}]}})",
       "store.clients[0].id: duplicate key"},
      {R"({"store": {"clients": [{"id": 2, "name": "A\u0000B"}]}})",
       "store.clients[0].name: holds a NUL character"},
      {R"({"store": {"clients": [{"id": 2, "name": "A", "packages": [151, 1e400]}]}})",
       "store.clients[0].packages[1]: number out of range"},
      {R"({"store": {"clients": [{"id": 1e400, "name": "A"}]}})",
       "store.clients[0].id: number out of range"},
      {R"({"remote": {"hosts": ["a\u0000b"]}, "store": {}})",
       "remote.hosts[0]: holds a NUL character"},
      {R"({"store": {}, "store": {}})", "store: duplicate key"},
      {R"({"store": [], "remote": {}})", "store: must be an object"},
      {R"({"store": {"client": []}})", "store: unknown key 'client'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    tztest::TempDir dir;
    std::string message = Load(c.text, dir.File("store.db"));
    // JSON syntax errors carry the parser's own words after the place.
    EXPECT_EQ(message.substr(0, std::string(c.message).size()), c.message);
    EXPECT_FALSE(message.empty());
    if (std::string(c.message).find("fixture: not valid JSON") == std::string::npos) {
      EXPECT_EQ(message, c.message);
    }
    EXPECT_THAT(tztest::FilesIn(dir.path()), ElementsAre());
  }
}

TEST(Fixture, DefaultsAndKindsInOneList) {
  tztest::TempDir dir;
  ASSERT_EQ(Load(R"({"store": {
    "clients": [{"id": 2, "name": "DAG01", "memberServers": [
      {"name": "MBX01"},
      {"kind": "association", "database": "First\\DB01", "server": "MBX01"},
      {"kind": "other", "type": -5, "name": "negative"},
      {"kind": "content", "description": "First", "storeName": "DB01", "forceFull": true}]}],
    "subclients": [{"orbalId": 1, "appId": 10, "clientId": 2}]}})",
                 dir.File("store.db")),
            "");
  tztest::UseStore use(dir.File("store.db"));
  EXPECT_THAT(
      tztest::ClientPropertyLines(2),
      ElementsAre("125 MBX01 selected=0 agent=0", "126 First\\DB010x12 server=MBX01",
                  "-5 negative value=", "112 exdb-1 store=DB01 description=First forceFull=1"));
  // The copy preferences of a subclient that names none.
  const std::string dump = tzplatform::DumpStore(dir.File("store.db"));
  EXPECT_NE(dump.find("  10|1|2|1|''|0|0|0|0|'manual'|0|1|0\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("  2|'DAG01'|'DAG01'|NULL|0\n"), std::string::npos) << dump;
}

TEST(Fixture, AnExistingStoreIsNeverReplaced) {
  tztest::TempDir dir;
  std::string path = dir.File("store.db");
  tztest::WriteFile(path, "precious");
  EXPECT_THROW(tzplatform::CreateStoreFromFixture(json::parse(R"({"clients": []})"), path),
               tzplatform::StoreError);
  EXPECT_EQ(tztest::ReadFile(path), "precious");
  EXPECT_THAT(tztest::FilesIn(dir.path()), ElementsAre("store.db"));
}

}  // namespace
