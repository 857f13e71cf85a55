// pshim-sim against the topology of tests/data/platform/simulator.json (one
// DAG whose databases cover every case of the choice of backup server, and a
// second DAG): its command lines, its answers, and the installed program
// found by its place in a remote root.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform_cases.h"
#include "records_support.h"
#include "sim.h"
#include "temp_dir.h"
#include "tzplatform/codec.h"
#include "tzplatform/fixture.h"

namespace {

using Args = std::vector<std::string>;

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Uvo::RegisterSubsystem();
    TZGui::RegisterSubsystem();
  }

  // The fields of the record the simulator on mbx01 answers `args` with.
  std::string Ask(const Args& args) {
    pshim_sim::Reply reply = pshim_sim::Answer(topology_, "mbx01", args);
    EXPECT_EQ(reply.exitCode, 0);
    std::unique_ptr<CNMessageBase> record = tztest::Decode(reply.output);
    return record ? tztest::Fields(*record) : "";
  }

  nlohmann::json cases_ = tztest::PlatformCases("simulator");
  pshim_sim::Topology topology_ = pshim_sim::ParseTopology(cases_["remote"]);
};

TEST_F(SimulatorTest, ChoosesTheBackupServerByTheCopyPreferences) {
  // "backup": the arguments, and the backup server of A\Normal,
  // B\NoHealthyPassive, C\NoActive, D\Nothing and E\ActiveOnly. The last
  // names the DAG by another member, in other letter case.
  for (const nlohmann::json& c : cases_.at("backup")) {
    SCOPED_TRACE(c.dump());
    std::unique_ptr<CNMessageBase> record =
        tztest::Decode(pshim_sim::Answer(topology_, "mbx01", c[0].get<Args>()).output);
    ASSERT_NE(record, nullptr);
    std::vector<std::string> backup;
    for (const CNMessageBase& db : tzdag::GetList(*record, Uvo::DAGDBResp::kDatabases))
      backup.push_back(tzdag::GetString(db, Uvo::DAGDB::kBackupServer));
    EXPECT_EQ(backup, c[1].get<Args>());
  }
}

TEST_F(SimulatorTest, AnswersCarryEveryDatabaseOrMemberInOrder) {
  EXPECT_EQ(Ask({"-dag", "1", "-cid", "2", "-hn", "MBX01"}),
            "{databases=["
            "{db='A\\Normal' backup='MBX01' copies=['MBX01','MBX02','MBX03','MBX04'] circular=1},"
            "{db='B\\NoHealthyPassive' backup='MBX02' copies=['MBX02','MBX03'] circular=0},"
            "{db='C\\NoActive' backup='N/A' copies=['MBX02','MBX03'] circular=0},"
            "{db='D\\Nothing' backup='N/A' copies=['MBX04'] circular=0},"
            "{db='E\\ActiveOnly' backup='MBX04' copies=['MBX04'] circular=0}]}");
  EXPECT_EQ(Ask({"-dagNode"}),
            "{dags=[{dagName='DAG01' members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0},"
            "{server='MBX03' uvo=1},{server='MBX04' uvo=1}]},"
            "{dagName='DAG02' members=[{server='MBX11' uvo=1}]}]}");
  EXPECT_EQ(Ask({"-dagNode", "-dagn", "DAG02"}), "{members=[{server='MBX11' uvo=1}]}");
  // Directory values are taken and not used, an empty one still with its
  // switch; a password may look like a switch.
  for (const Args& args :
       {Args{"-dagNode", "-ad", "dc01", "-dagu", "u", "-dagp", "-x9+/=", "-dagn", "dag01"},
        Args{"-dagNode", "-ad", "-dagu", "-dagp", "-dagn", "DAG01"}}) {
    EXPECT_EQ(Ask(args),
              "{members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0},{server='MBX03' uvo=1},"
              "{server='MBX04' uvo=1}]}");
  }
}

TEST_F(SimulatorTest, AnswersAnErrorRecordNamingWhatItCannotAnswer) {
  for (const nlohmann::json& c : cases_["answered"])
    EXPECT_EQ(Ask(c["args"]), "{error='" + c["error"].get<std::string>() + "'}") << c["args"];
  for (const nlohmann::json& c : cases_["topology"])
    EXPECT_EQ(tztest::ErrorOf<std::runtime_error>([&] { pshim_sim::ParseTopology(c["json"]); }),
              c["error"]);
}

#ifdef TZ_PSHIM_SIM_PATH
// Runs `command` through the shell; its standard output.
std::string Shell(const std::string& command, const tztest::TempDir& dir) {
  EXPECT_NE(std::system((command + " > " + dir.File("out")).c_str()), -1);
  return tztest::ReadFile(dir.File("out"));
}

// The installed program, started by a plain name from elsewhere without
// TZ_REMOTE_HOST, takes its host from its folder (the library's tests run each
// host's failure mode through the session).
TEST_F(SimulatorTest, InstalledProgramTakesItsHostFromItsFolder) {
  tztest::TempDir dir;
  const std::string root = dir.File("remote");
  tzplatform::CreateRemoteRootFromFixture(cases_["remote"], root, TZ_PSHIM_SIM_PATH);
  EXPECT_EQ(Shell("cd / && env -u TZ_REMOTE_HOST PATH=" + root +
                      "/toolError:/usr/bin:/bin PshimProxy.exe -dagNode",
                  dir),
            tztest::ErrorXml("simulated tool error on toolError") + "\n");
  EXPECT_NE(Shell("cd " + root + "/exit && TZ_REMOTE_HOST=mbx01 ./PshimProxy.exe -dagNode -dagn " +
                      "DAG02",
                  dir)
                .find("MBX11"),
            std::string::npos);
}
#endif

}  // namespace
