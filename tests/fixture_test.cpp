// Loading fixtures: every problem of the "store" section is named by its
// place (tests/data/platform/fixture_errors.json) and leaves no store behind;
// remote roots are made from the "remote" section
// (tests/data/platform/remote_root.json); tests/data/platform/fixture_kinds.json
// holds each kind of client entry, with the defaults left out.
#include <gmock/gmock.h>

#include <filesystem>

#include "platform_cases.h"
#include "store_support.h"
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
  ASSERT_EQ(Load(tztest::PlatformCases("fixture_kinds").dump(), dir.File("store.db")),
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

using Files = std::vector<std::string>;

class RemoteRootTest : public ::testing::Test {
 protected:
  void SetUp() override { tztest::WriteFile(simulator_, "#!/bin/sh\necho simulator\n", 0644); }

  std::string Create(const nlohmann::json& section) {
    return tztest::ErrorOf<tzplatform::FixtureError>(
        [&] { tzplatform::CreateRemoteRootFromFixture(section, root_, simulator_); });
  }

  nlohmann::json cases_ = tztest::PlatformCases("remote_root");
  tztest::TempDir dir_;
  std::string simulator_ = dir_.File("pshim-sim");
  std::string root_ = dir_.File("remote");
};

// dag.json holds the section with every default written out; each listed
// host has the simulator as its tool.
TEST_F(RemoteRootTest, WritesTheTopologyWithDefaultsAndInstallsTheToolPerHost) {
  for (const nlohmann::json& c : cases_["written"]) {
    std::filesystem::remove_all(root_);
    EXPECT_EQ(Create(c["section"]), "(nothing thrown)");
    EXPECT_EQ(nlohmann::json::parse(tztest::ReadFile(root_ + "/dag.json")), c["dag.json"]);
    Files files = c["dag.json"]["hosts"];
    files.insert(files.begin(), "dag.json");
    EXPECT_EQ(tztest::FilesIn(root_), files);
    for (const std::string host : c["dag.json"]["hosts"]) {
      const std::string tool = root_ + "/" + host + "/PshimProxy.exe";
      EXPECT_EQ(tztest::ReadFile(tool), "#!/bin/sh\necho simulator\n");
      EXPECT_EQ(std::filesystem::status(tool).permissions(), std::filesystem::perms(0755));
    }
  }
}

// Nothing is left behind by a section it cannot use, nor built over an
// existing root or without a simulator.
TEST_F(RemoteRootTest, RejectsWhatItCannotUseAndNamesThePlace) {
  for (const nlohmann::json& c : cases_["refused"]) {
    EXPECT_EQ(Create(c["section"]), c["error"]);
    EXPECT_EQ(tztest::FilesIn(dir_.path()), Files{"pshim-sim"});
  }
  std::filesystem::create_directories(root_);
  EXPECT_EQ(Create(nlohmann::json::object()), "remote root " + root_ + " already exists");
  EXPECT_TRUE(std::filesystem::is_empty(root_));
  std::filesystem::remove(root_);
  simulator_ = dir_.File("no-such-simulator");
  EXPECT_EQ(Create(nlohmann::json::object()), "simulator not found at " + simulator_);
  EXPECT_EQ(tztest::FilesIn(dir_.path()), Files{"pshim-sim"});
}

}  // namespace
