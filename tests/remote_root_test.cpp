// Remote roots made from the "remote" section of a fixture.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "store_support.h"
#include "temp_dir.h"
#include "tzplatform/fixture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class RemoteRootTest : public ::testing::Test {
 protected:
  void SetUp() override { tztest::WriteFile(simulator_, "#!/bin/sh\necho simulator\n", 0644); }

  tztest::TempDir dir_;
  std::string simulator_ = dir_.File("pshim-sim");
  std::string root_ = dir_.File("remote");
};

TEST_F(RemoteRootTest, WritesTheTopologyWithDefaultsAndInstallsTheToolPerHost) {
  json remote = json::parse(R"({
    "hosts": ["mbx01.corp.example", "proxy01"],
    "dags": [{"name": "DAG01", "members": [{"name": "MBX01", "agent": true}, {"name": "MBX02"}],
              "databases": [{"name": "First\\DB01",
                             "copies": [{"server": "MBX01", "active": true},
                                        {"server": "MBX02", "healthy": false}]},
                            {"name": "Second\\DB02", "circularLogging": true}]}],
    "failures": {"mbx03": "hang"}
  })");
  tzplatform::CreateRemoteRootFromFixture(remote, root_, simulator_);

  EXPECT_EQ(tztest::FilesIn(dir_.path()), (std::vector<std::string>{"pshim-sim", "remote"}));
  EXPECT_EQ(tztest::FilesIn(root_),
            (std::vector<std::string>{"dag.json", "mbx01.corp.example", "proxy01"}));
  json written = json::parse(tztest::ReadFile(root_ + "/dag.json"));
  EXPECT_EQ(written, json::parse(R"({
    "hosts": ["mbx01.corp.example", "proxy01"],
    "dags": [{"name": "DAG01",
              "members": [{"name": "MBX01", "agent": true}, {"name": "MBX02", "agent": false}],
              "databases": [{"name": "First\\DB01", "circularLogging": false,
                             "copies": [{"server": "MBX01", "active": true, "healthy": true},
                                        {"server": "MBX02", "active": false, "healthy": false}]},
                            {"name": "Second\\DB02", "circularLogging": true, "copies": []}]}],
    "failures": {"mbx03": "hang"}
  })"));
  for (const char* host : {"mbx01.corp.example", "proxy01"}) {
    SCOPED_TRACE(host);
    const std::string tool = root_ + "/" + host + "/PshimProxy.exe";
    EXPECT_EQ(tztest::ReadFile(tool), "#!/bin/sh\necho simulator\n");
    struct stat st;
    ASSERT_EQ(stat(tool.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);
  }
}

TEST_F(RemoteRootTest, AnEmptySectionMakesAnEmptyRoot) {
  tzplatform::CreateRemoteRootFromFixture(json::object(), root_, simulator_);
  EXPECT_EQ(tztest::FilesIn(root_), std::vector<std::string>{"dag.json"});
  EXPECT_EQ(json::parse(tztest::ReadFile(root_ + "/dag.json")),
            json::parse(R"({"hosts": [], "dags": [], "failures": {}})"));
}

TEST_F(RemoteRootTest, RejectsWhatItCannotUseAndNamesThePlace) {
  struct Case {
    const char* section;
    const char* error;
  };
  const Case cases[] = {
      {R"([])", "remote: must be an object"},
      {R"({"host": []})", "remote.host: unknown key"},
      {R"({"hosts": "mbx01"})", "remote.hosts: must be an array"},
      {R"({"hosts": ["mbx01", 7]})", "remote.hosts[1]: must be a string"},
      {R"({"hosts": ["a/b"]})", "remote.hosts[0]: 'a/b' is not a usable host name"},
      {R"({"hosts": [".."]})", "remote.hosts[0]: '..' is not a usable host name"},
      {R"({"hosts": [""]})", "remote.hosts[0]: '' is not a usable host name"},
      {R"({"hosts": ["mbx01", "mbx01"]})", "remote.hosts[1]: duplicate host 'mbx01'"},
      {R"({"dags": [{"members": []}]})", "remote.dags[0].name: missing"},
      {R"({"dags": [{"name": ""}]})", "remote.dags[0].name: must be a non-empty string"},
      {R"({"dags": [{"name": "D1"}, {"name": "d1"}]})", "remote.dags[1].name: duplicate DAG 'd1'"},
      {R"({"dags": [{"name": "D1", "members": [{"name": "M", "agent": 1}]}]})",
       "remote.dags[0].members[0].agent: must be true or false"},
      {R"({"dags": [{"name": "D1", "members": [{"name": "M"}]},
                    {"name": "D2", "members": [{"name": "m"}]}]})",
       "remote.dags[1].members[0].name: 'm' is already a member of a DAG"},
      {R"({"dags": [{"name": "D1", "members": ["M"]}]})",
       "remote.dags[0].members[0]: must be an object"},
      {R"({"dags": [{"name": "D1", "databases": [{"name": "X", "copies": [{"active": true}]}]}]})",
       "remote.dags[0].databases[0].copies[0].server: missing"},
      {R"({"dags": [{"name": "D1", "databases": [{"name": "X", "copies": [
             {"server": "A", "active": true}, {"server": "B", "active": true}]}]}]})",
       "remote.dags[0].databases[0].copies[1].active: a database has at most one active copy"},
      {R"({"dags": [{"name": "D1", "databases": [{"name": "X", "size": 3}]}]})",
       "remote.dags[0].databases[0].size: unknown key"},
      {R"({"failures": {"mbx01": "crash"}})",
       "remote.failures.mbx01: unknown failure mode \"crash\" (toolError, garbage, exit, hang or "
       "wrongMessage)"},
      {R"({"failures": {"mbx01": 3}})",
       "remote.failures.mbx01: unknown failure mode 3 (toolError, garbage, exit, hang or "
       "wrongMessage)"},
      {R"({"failures": ["mbx01"]})", "remote.failures: must be an object"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.section);
    try {
      tzplatform::CreateRemoteRootFromFixture(json::parse(c.section), root_, simulator_);
      ADD_FAILURE() << "accepted";
    } catch (const tzplatform::FixtureError& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
    // Nothing is left behind.
    EXPECT_EQ(tztest::FilesIn(dir_.path()), std::vector<std::string>{"pshim-sim"});
  }
}

TEST_F(RemoteRootTest, NeverBuildsOverAnExistingRootNorWithoutASimulator) {
  fs::create_directories(root_);
  EXPECT_THROW(tzplatform::CreateRemoteRootFromFixture(json::object(), root_, simulator_),
               tzplatform::FixtureError);
  EXPECT_TRUE(fs::is_empty(root_));
  fs::remove(root_);

  EXPECT_THROW(tzplatform::CreateRemoteRootFromFixture(json::object(), root_,
                                                       dir_.File("no-such-simulator")),
               tzplatform::FixtureError);
  EXPECT_EQ(tztest::FilesIn(dir_.path()), std::vector<std::string>{"pshim-sim"});
}

}  // namespace
