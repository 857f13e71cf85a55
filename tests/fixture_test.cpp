// Loading the "store" section of fixtures: every problem is named by its
// place (tests/data/platform/fixture_errors.json), and a fixture that fails
// leaves no store behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform_cases.h"
#include "store_support.h"
#include "temp_dir.h"
#include "tzplatform/fixture.h"
#include "tzplatform/store.h"

namespace {

using ::testing::ElementsAre;

// Builds a store from fixture text the way `tzdag init` does; the error
// message, or "(nothing thrown)".
std::string Load(const std::string& text, const std::string& storePath) {
  return tztest::ErrorOf<tzplatform::FixtureError>([&] {
    tzplatform::CreateStoreFromFixture(tzplatform::ParseFixture(text).at("store"), storePath);
  });
}

TEST(Fixture, ProblemsAreNamedByPlaceAndLeaveNoStore) {
  // What the JSON grammar allows but a fixture may not say (a key twice, a
  // number beyond every type) and bad syntax come as text.
  for (const nlohmann::json& c : tztest::PlatformCases("fixture_errors")) {
    SCOPED_TRACE(c.dump());
    tztest::TempDir dir;
    const std::string error = c["error"];
    const std::string message =
        Load(c.contains("text") ? c["text"].get<std::string>() : c["fixture"].dump(),
             dir.File("store.db"));
    // JSON syntax errors carry the parser's own words after the place.
    EXPECT_EQ(error.back() == ' ' ? message.substr(0, error.size()) : message, error);
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
            "(nothing thrown)");
  tztest::UseStore use(dir.File("store.db"));
  EXPECT_THAT(
      tztest::ClientPropertyLines(2),
      ElementsAre("125 MBX01 selected=0 agent=0", "126 First\\DB010x12 server=MBX01",
                  "-5 negative value=", "112 exdb-1 store=DB01 description=First forceFull=1"));
  // The host is the name; a subclient names no copy preference.
  const std::string dump = tzplatform::DumpStore(dir.File("store.db"));
  EXPECT_NE(dump.find("  10|1|2|1|''|0|0|0|0|'manual'|0|1|0\n"), std::string::npos) << dump;
  EXPECT_NE(dump.find("  2|'DAG01'|'DAG01'|NULL|0\n"), std::string::npos) << dump;

  // An existing file is never replaced.
  EXPECT_THROW(tzplatform::CreateStoreFromFixture(nlohmann::json::object(), dir.File("store.db")),
               tzplatform::StoreError);
  EXPECT_EQ(tzplatform::DumpStore(dir.File("store.db")), dump);
}

}  // namespace
