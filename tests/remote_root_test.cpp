// Remote roots made from the "remote" section of a fixture
// (tests/data/platform/remote_root.json).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform_cases.h"
#include "store_support.h"
#include "temp_dir.h"
#include "tzplatform/fixture.h"

namespace {

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
      struct stat st;
      ASSERT_EQ(stat(tool.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0755u);
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
