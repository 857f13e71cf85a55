// pshim-sim: its command lines, its choice of backup server, its failure
// modes, and the installed program found by its place in a remote root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "records_support.h"
#include "sim.h"
#include "temp_dir.h"
#include "tzdag/records.h"
#include "tzplatform/codec.h"
#include "tzplatform/fixture.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Args = std::vector<std::string>;

// One DAG of four servers whose databases cover every case of the choice of
// backup server, and a second DAG.
const char kTopology[] = R"({
  "hosts": ["mbx01", "proxy"],
  "dags": [
    {"name": "DAG01",
     "members": [{"name": "MBX01", "agent": true}, {"name": "MBX02", "agent": false},
                 {"name": "MBX03", "agent": true}, {"name": "MBX04", "agent": true}],
     "databases": [
       {"name": "A\\Normal", "circularLogging": true,
        "copies": [{"server": "MBX01", "active": true}, {"server": "MBX02"},
                   {"server": "MBX03"}, {"server": "MBX04", "healthy": false}]},
       {"name": "B\\NoHealthyPassive",
        "copies": [{"server": "MBX02", "active": true}, {"server": "MBX03", "healthy": false}]},
       {"name": "C\\NoActive", "copies": [{"server": "MBX02"}, {"server": "MBX03"}]},
       {"name": "D\\Nothing", "copies": [{"server": "MBX04", "healthy": false}]},
       {"name": "E\\ActiveOnly", "copies": [{"server": "MBX04", "active": true}]}
     ]},
    {"name": "DAG02",
     "members": [{"name": "MBX11", "agent": true}],
     "databases": [{"name": "Lab\\DB21", "copies": [{"server": "MBX11", "active": true}]}]}
  ],
  "failures": {"bad-tool": "toolError"}
})";

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Uvo::RegisterSubsystem();
    TZGui::RegisterSubsystem();
    topology_ = pshim_sim::ParseTopology(nlohmann::json::parse(kTopology));
  }

  // The record the simulator on `host` answers `args` with.
  std::unique_ptr<CNMessageBase> Ask(const Args& args, const std::string& host = "mbx01") {
    pshim_sim::Reply reply = pshim_sim::Answer(topology_, host, args);
    EXPECT_EQ(reply.exitCode, 0);
    EXPECT_FALSE(reply.hang);
    std::unique_ptr<CNMessageBase> record;
    tzplatform::DecodeResult decoded = tzplatform::DecodeMessage(reply.output, record);
    EXPECT_TRUE(decoded.ok) << decoded.error << "\n" << reply.output;
    return record;
  }

  // The error text the simulator answers `args` with; empty when it answers
  // something else.
  std::string ErrorFor(const Args& args) {
    std::unique_ptr<CNMessageBase> record = Ask(args);
    if (!record || record->getTagID() != ProxyErrorMessage::kClassKey) return std::string();
    return tzdag::GetString(*record, ProxyErrorMessage::kErrorText);
  }

  // The backup server of every database in the answer to `args`.
  std::vector<std::string> BackupServers(const Args& args) {
    std::vector<std::string> servers;
    std::unique_ptr<CNMessageBase> record = Ask(args);
    if (!record || record->getTagID() != Uvo::DAGDBResp::kClassKey) {
      ADD_FAILURE() << "no database answer";
      return servers;
    }
    for (const CNMessageBase& db : tzdag::GetList(*record, Uvo::DAGDBResp::kDatabases)) {
      servers.push_back(tzdag::GetString(db, Uvo::DAGDB::kBackupServer));
    }
    return servers;
  }

  pshim_sim::Topology topology_;
};

TEST_F(SimulatorTest, ChoosesTheBackupServerByTheCopyPreferences) {
  struct Case {
    const char* what;
    Args args;
    // Normal, NoHealthyPassive, NoActive, Nothing, ActiveOnly
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"active preferred",
       {"-dag", "1", "-cid", "2", "-hn", "MBX01"},
       {"MBX01", "MBX02", "N/A", "N/A", "MBX04"}},
      {"active preferred, other switches change nothing",
       {"-dag", "1", "-ua", "-la", "-j", "7", "-cid", "2", "-hn", "MBX02"},
       {"MBX01", "MBX02", "N/A", "N/A", "MBX04"}},
      {"passive, first activation preference",
       {"-dag", "0", "-cid", "2", "-hn", "MBX01"},
       {"MBX02", "N/A", "MBX02", "N/A", "N/A"}},
      {"passive, last activation preference",
       {"-dag", "0", "-la", "-cid", "2", "-hn", "MBX01"},
       {"MBX03", "N/A", "MBX03", "N/A", "N/A"}},
      {"passive, active when no healthy passive",
       {"-dag", "0", "-ua", "-cid", "2", "-hn", "MBX01"},
       {"MBX02", "MBX02", "MBX02", "N/A", "MBX04"}},
      {"passive, last, active when none, any member names the DAG",
       {"-dag", "0", "-ua", "-la", "-j", "-5", "-cid", "-12", "-hn", "mbx04"},
       {"MBX03", "MBX02", "MBX03", "N/A", "MBX04"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(BackupServers(c.args), c.expected);
  }
}

TEST_F(SimulatorTest, DatabaseAnswerCarriesCopiesInOrderAndTheMountingServer) {
  std::unique_ptr<CNMessageBase> record = Ask({"-dag", "1", "-cid", "2", "-hn", "MBX01"});
  ASSERT_TRUE(record);
  EXPECT_EQ(tztest::Fields(*record),
            "{databases=["
            "{db='A\\Normal' backup='MBX01' copies=['MBX01','MBX02','MBX03','MBX04'] circular=1},"
            "{db='B\\NoHealthyPassive' backup='MBX02' copies=['MBX02','MBX03'] circular=0},"
            "{db='C\\NoActive' backup='N/A' copies=['MBX02','MBX03'] circular=0},"
            "{db='D\\Nothing' backup='N/A' copies=['MBX04'] circular=0},"
            "{db='E\\ActiveOnly' backup='MBX04' copies=['MBX04'] circular=0}]}");
  // Mounted where the active copy is; a database without one names nothing.
  const std::string xml = tztest::Xml(*record);
  EXPECT_THAT(xml, HasSubstr("mountedOn=\"MBX01\""));
  EXPECT_THAT(xml, HasSubstr("mountedOn=\"MBX04\""));
  EXPECT_EQ(xml.find("mountedOn=\"MBX03\""), std::string::npos);
  EXPECT_THAT(
      pshim_sim::Answer(topology_, "mbx01", {"-dag", "1", "-cid", "2", "-hn", "MBX11"}).output,
      HasSubstr("mountedOn=\"MBX11\""));
}

TEST_F(SimulatorTest, NodeDiscoveryAnswersEveryDagOrTheMembersOfOne) {
  std::unique_ptr<CNMessageBase> all = Ask({"-dagNode"});
  ASSERT_TRUE(all);
  EXPECT_EQ(tztest::Fields(*all),
            "{dags=[{dagName='DAG01' members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0},"
            "{server='MBX03' uvo=1},{server='MBX04' uvo=1}]},"
            "{dagName='DAG02' members=[{server='MBX11' uvo=1}]}]}");
  const std::string dag01 =
      "{members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0},{server='MBX03' uvo=1},"
      "{server='MBX04' uvo=1}]}";
  struct Case {
    Args args;
    std::string fields;
  };
  const Case named[] = {
      {{"-dagNode", "-dagn", "DAG02"}, "{members=[{server='MBX11' uvo=1}]}"},
      // Directory values are taken and not used; a password may look like a
      // switch; the DAG name matches whatever its case.
      {{"-dagNode", "-ad", "dc01", "-dagu", "backupadmin", "-dagp", "-x9+/=", "-dagn", "dag01"},
       dag01},
      // An empty value still comes with its switch.
      {{"-dagNode", "-ad", "-dagu", "-dagp", "-dagn", "DAG01"}, dag01},
  };
  for (const Case& c : named) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::unique_ptr<CNMessageBase> one = Ask(c.args);
    ASSERT_TRUE(one);
    EXPECT_EQ(tztest::Fields(*one), c.fields);
  }
}

TEST_F(SimulatorTest, AnswersAnErrorRecordNamingWhatItCannotAnswer) {
  struct Case {
    Args args;
    const char* error;
  };
  const Case cases[] = {
      {{}, "missing command: -dagNode or -dag"},
      {{"-dagnode"}, "unknown argument '-dagnode' (-dagNode or -dag)"},
      {{"-dag"}, "missing value for -dag (1 or 0)"},
      {{"-dag", "2", "-cid", "1", "-hn", "MBX01"}, "bad value for -dag: '2' (1 or 0)"},
      {{"-dag", "1", "-hn", "MBX01"}, "missing argument -cid"},
      {{"-dag", "1", "-cid", "1"}, "missing argument -hn"},
      {{"-dag", "1", "-cid", "1", "-hn"}, "missing value for -hn"},
      {{"-dag", "1", "-cid", "x", "-hn", "MBX01"}, "bad value for -cid: 'x'"},
      {{"-dag", "1", "-cid", "-hn", "MBX01"}, "bad value for -cid: ''"},
      {{"-dag", "1", "-j", "12a", "-cid", "1", "-hn", "MBX01"}, "bad value for -j: '12a'"},
      {{"-dag", "1", "-x", "-cid", "1", "-hn", "MBX01"}, "unknown argument '-x'"},
      {{"-dag", "1", "-ua", "extra", "-cid", "1", "-hn", "MBX01"}, "unexpected argument 'extra'"},
      {{"-dag", "1", "-cid", "1", "-cid", "2", "-hn", "MBX01"}, "repeated argument '-cid'"},
      {{"-dag", "1", "-cid", "1", "-hn", "MBX01", "-la", "-dagn"}, "unknown argument '-dagn'"},
      {{"-dagNode", "-dagn", "DAG01", "-hn", "MBX01"}, "unknown argument '-hn'"},
      {{"-dagNode", "extra"}, "unexpected argument 'extra'"},
      {{"-dagNode", "-dagn", "DAG09"}, "no DAG named 'DAG09'"},
      {{"-dagNode", "-dagn"}, "no DAG named ''"},
      {{"-dag", "1", "-cid", "2", "-hn", "MBX09"}, "server 'MBX09' is not a member of any DAG"},
      // The session splits at blanks; a server name runs to the next switch.
      {{"-dag", "0", "-cid", "2", "-hn", "EX", "MB2"},
       "server 'EX MB2' is not a member of any DAG"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(ErrorFor(c.args), c.error);
  }
}

TEST_F(SimulatorTest, TopologyThatCannotBeUsedIsNamed) {
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {R"([])", "dag.json: must be an object"},
      {R"({"dags": {}})", "dags: must be an array"},
      {R"({"dags": [{"members": []}]})", "dags[0].name: must be a string"},
      {R"({"dags": [{"name": "D", "databases": [{"name": "X", "copies": [{"server": "S",
          "active": "yes"}]}]}]})",
       "dags[0].databases[0].copies[0].active: must be true or false"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    try {
      pshim_sim::ParseTopology(nlohmann::json::parse(c.json));
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), c.error);
    }
  }
}

#ifdef TZ_PSHIM_SIM_PATH
// Runs `command` through the shell; its standard output.
std::string Shell(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  pclose(pipe);
  return output;
}

TEST_F(SimulatorTest, InstalledProgramFindsItsTopologyAndHostByItsPlace) {
  tztest::TempDir dir;
  nlohmann::json remote = nlohmann::json::parse(kTopology);
  remote["hosts"] = {"mbx01", "bad-tool"};
  const std::string root = dir.File("remote");
  tzplatform::CreateRemoteRootFromFixture(remote, root, TZ_PSHIM_SIM_PATH);

  // Started by a plain name from elsewhere, without TZ_REMOTE_HOST: the
  // folder it lies in names the host.
  std::string output = Shell("cd / && env -u TZ_REMOTE_HOST PATH=" + root +
                             "/bad-tool:/usr/bin:/bin PshimProxy.exe -dagNode");
  EXPECT_THAT(output, HasSubstr("simulated tool error on bad-tool"));
  output = Shell("cd / && TZ_REMOTE_HOST=mbx01 " + root +
                 "/bad-tool/PshimProxy.exe -dag 0 -la -cid 2 -hn MBX01");
  EXPECT_THAT(output, HasSubstr("backupServer=\"MBX03\""));
  output = Shell("cd " + root + "/mbx01 && ./PshimProxy.exe -dagNode -dagn DAG02");
  EXPECT_THAT(output, HasSubstr("MBX11"));
}
#endif

}  // namespace
