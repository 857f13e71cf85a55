// Direct DAG discovery: the agent-installed check over a configuration store,
// the answer builders and the new-member filter, and the directory agent with
// its directory-value helpers.
#include <gmock/gmock.h>

#include "../src/internal.h"
#include "records_support.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag/DagDiscoverAgent.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"

namespace {

using ::testing::ElementsAre;
using tztest::Member;
using Texts = std::vector<std::string>;

_tagDagServer Dag(const std::string& name, const Texts& servers) {
  _tagDagServer dag{name, "CN=" + name + ",DC=corp,DC=example", {}};
  for (const std::string& s : servers) dag.servers.push_back({s, false});
  return dag;
}

// A predicate that records whom it was asked about.
Texts g_asked;
bool RecordingPredicate(_tagExServer& server) {
  g_asked.push_back(server.name);
  return server.name == "NEW14";
}

// Clients of every kind the filter and the check tell apart (dag_discovery.json).
class DagDiscoveryTest : public ::testing::Test {
 protected:
  DagDiscoveryTest() : env_(tztest::TestData("dag_discovery.json", "store")) { g_asked.clear(); }
  tztest::TestEnv env_;
};

TEST_F(DagDiscoveryTest, AgentInstalledCheckAsksThePackageQueryWithTheLowBitsOfTheId) {
  // tests/data/dag_discovery.json holds the cases.
  for (const nlohmann::json& c : tztest::TestData("dag_discovery.json", "agentChecks")) {
    SCOPED_TRACE(c[4].back().get<std::string>());
    const std::string server = c[0].is_null() ? "" : c[0].get<std::string>(), key = c[2];
    const std::string throwing = c[1].is_null() ? "" : c[1].get<std::string>();
    tzplatform::FaultInjector faults;
    if (!throwing.empty()) faults.Throw(throwing, key);
    tzplatform::LogCapture capture;
    EXPECT_EQ(HasExDbAgentInstalled(c[0].is_null() ? nullptr : server.c_str()), c[3]);
    EXPECT_EQ(capture.Texts(), c[4].get<Texts>());
    EXPECT_EQ(faults.Fired(throwing, key), throwing.empty() ? 0 : 1);
  }
  // The predicate form stores what it answers.
  _tagExServer known{"NEW14", false}, unknown{"MBX99", true};
  EXPECT_TRUE(HasExDbAgentInstalled(known) && known.agentInstalled);
  EXPECT_FALSE(HasExDbAgentInstalled(unknown) || unknown.agentInstalled);
}

TEST_F(DagDiscoveryTest, NewMemberFilterKeepsUnknownServersAndRecentUnassociatedClients) {
  _tagDagServer dag = Dag(
      "DAG01", {"MBX99", "MBX01", "ASSOC13", "OLD13", "NEW14", "NOAGENT", "NORELEASE", "new14"});
  tzplatform::LogCapture capture;
  Uvo::DAGMemberServersResp resp;
  ConstructDagMeberServersWithNewMembersResp(dag, resp, HasExDbAgentInstalled);
  EXPECT_THAT(tztest::Members(resp.getMemberServers()),
              ElementsAre(Member{"MBX99", 0}, Member{"NEW14", 1}, Member{"NOAGENT", 0},
                          Member{"new14", 1}));
  EXPECT_THAT(capture.Texts(), ElementsAre("[HasExDbAgentInstalled]: Get client Id failed",
                                           "[HasExDbAgentInstalled]: Client Id: 6",
                                           "[HasExDbAgentInstalled]: Client Id: 7",
                                           "[HasExDbAgentInstalled]: Client Id: 6"));
  // The check ran on kept servers only and wrote into the directory records.
  EXPECT_TRUE(dag.servers[4].agentInstalled);
  EXPECT_FALSE(dag.servers[1].agentInstalled) << "a dropped server is not checked";

  // In the all-DAG shape a DAG whose members are all filtered out still stands.
  std::vector<_tagDagServer> dags = {Dag("DAG01", {"MBX01", "NEW14", "OLD13"}),
                                     Dag("DAG02", {"ASSOC13", "OLD13"}), Dag("DAG03", {"MBX99"})};
  Uvo::DAGDiscoverResp all;
  ConstructDagDiscoverWithNewMembersResp(dags, all, RecordingPredicate);
  EXPECT_THAT(g_asked, ElementsAre("NEW14", "MBX99"));
  EXPECT_EQ(
      tztest::Fields(all),
      "{dags=[{dagName='DAG01' members=[{server='NEW14' uvo=1}]},{dagName='DAG02' members=[]},"
      "{dagName='DAG03' members=[{server='MBX99' uvo=0}]}]}");
}

TEST_F(DagDiscoveryTest, NewMemberFilterJudgesOnTheInitialValuesWhenAQueryFails) {
  // tests/data/dag_discovery.json holds the cases.
  for (const nlohmann::json& c : tztest::TestData("dag_discovery.json", "queryFailures")) {
    tzplatform::FaultInjector faults;
    faults.Fail(c[0], c[1], 5);
    _tagDagServer dag = Dag("DAG01", {c[1]});
    Uvo::DAGMemberServersResp resp;
    ConstructDagMeberServersWithNewMembersResp(dag, resp, nullptr);
    EXPECT_EQ(resp.getMemberServers().size(), c[2] ? 1u : 0u) << c;
  }
}

TEST_F(DagDiscoveryTest, BuildersKeepEveryServerInOrderAndWriteNoFlagWithoutAPredicate) {
  std::vector<_tagDagServer> dags = {Dag("DAG01", {"MBX01", "MBX99", "OLD13"}), Dag("DAG02", {})};
  Uvo::DAGDiscoverResp all;
  ConstructDagDiscoverResp(dags, all, nullptr);
  EXPECT_EQ(tztest::Fields(all),
            "{dags=[{dagName='DAG01' members=[{server='MBX01' uvo=-},{server='MBX99' uvo=-},"
            "{server='OLD13' uvo=-}]},{dagName='DAG02' members=[]}]}");
  ConstructDagDiscoverResp(dags, all, HasExDbAgentInstalled);
  EXPECT_THAT(tztest::Members(tzdag::GetList(all.getDags()[0], Uvo::DAGSetup::kMemberServers)),
              ElementsAre(Member{"MBX01", 1}, Member{"MBX99", 0}, Member{"OLD13", 1}));
  // Zero DAGs still replace what the record held.
  std::vector<_tagDagServer> none;
  ConstructDagDiscoverResp(none, all, nullptr);
  EXPECT_EQ(tztest::Fields(all), "{dags=[]}");

  // The member-server shape does not write the DAG's own name.
  Uvo::DAGMemberServersResp one;
  ConstructDagMeberServersResp(dags[0], one, nullptr);
  EXPECT_EQ(tztest::Fields(one),
            "{members=[{server='MBX01' uvo=-},{server='MBX99' uvo=-},{server='OLD13' uvo=-}]}");
  EXPECT_EQ(tztest::Xml(one).find("DAG01"), std::string::npos);
}

// tests/data/directory_text.json holds the cases.
TEST(DirectoryHelpersTest, DomainPostfixFindAndReplaceAndAttributeDecoding) {
  for (const auto& c : tztest::TestData("directory_text.json", "postfixes"))
    EXPECT_EQ(FormDomainPostfix(c[0]), c[1]) << c[0];
  for (const auto& c : tztest::TestData("directory_text.json", "replacements")) {
    std::string text = c[0];
    FindAndReplace(text, c[1], c[2]);
    EXPECT_EQ(text, c[3]) << c[0] << " / " << c[1] << " / " << c[2];
  }
  for (const auto& c : tztest::TestData("directory_text.json", "decoded")) {
    tzplatform::LogCapture capture;
    std::string buffer = c[0].is_null() ? "" : c[0].get<std::string>();
    EXPECT_EQ(DecodeADAttributeValue(c[0].is_null() ? nullptr : buffer.data()), c[1]);
    EXPECT_EQ(capture.Texts(), buffer.rfind(':', 0) == 0
                                   ? Texts{"[DecodeADAttributeValue]: Decode AD value: " + buffer}
                                   : Texts());
  }
}

// A DAG name the directory could not hold is refused before any search.
TEST(DirectoryHelpersTest, DagNameProblemRefusesWhatTheDirectoryCannotHold) {
  const std::string notUtf8 = "is not UTF-8", control = "holds a control character";
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"DAG01", ""}, {std::string(64, 'd'), ""}, {std::string(65, 'd'), "is longer than 64 bytes"},
      {"DAG\x01", control}, {"DAG\x7f", control}, {"\xc3\xa9", ""}, {"\xc3", notUtf8},
      {"\xc1\xbf", notUtf8}, {"\xe0\xa0\x80", ""}, {"\xe0\x9f\xbf", notUtf8},  // overlong
      {"\xed\x9f\xbf", ""}, {"\xed\xa0\x80", notUtf8},                           // surrogates
      {"\xf0\x90\x80\x80", ""}, {"\xf4\x8f\xbf\xbf", ""}, {"\xf4\x90\x80\x80", notUtf8},
      {"\xe2\x82", notUtf8}, {"\xe2\x82\xac", ""}, {"\xe2\x28\xac", notUtf8}, {"\xf5\x80\x80\x80", notUtf8},
      {"\x80\xbf\xbf", notUtf8},  // a continuation byte first
  };
  // clang-format on
  for (const auto& [name, problem] : cases) {
    const char* found = DagNameProblem(name);
    EXPECT_EQ(found ? found : "", problem) << name;
  }
}

TEST(DagDiscoverAgentTest, HoldsCredentialsWithThePasswordDecryptedAndNullsAsEmpty) {
  tztest::TempDir keyFolder;
  tzplatform::SetKeyFile(keyFolder.File("tzdag.key"));
  const std::string longest(2047, 'p');  // fills the buffer but for its terminator
  const std::map<std::string, std::string> encrypted = {
      {"secret", TZPassword::Encrypt("s3cret pass")},
      {"fits", TZPassword::Encrypt(longest)},
      {"too long", TZPassword::Encrypt(longest + "p")},
      {"huge", TZPassword::Encrypt(std::string(5000, 'p'))}};
  for (const nlohmann::json& c : tztest::TestData("dag_discovery.json", "agents")) {
    std::string text[4];
    const char* v[4];
    for (size_t i = 0; i < 4; ++i) {
      if (!c[i].is_null()) text[i] = c[i];
      if (i == 2 && encrypted.count(text[i]) != 0) text[i] = encrypted.at(text[i]);
      v[i] = c[i].is_null() ? nullptr : text[i].c_str();
    }
    // A failed decryption right after a successful one must not see its bytes.
    DagDiscoverAgent previous("dc01", "u", encrypted.at("fits").c_str(), nullptr);
    DagDiscoverAgent agent(v[0], v[1], v[2], v[3]);
    EXPECT_EQ(agent.AdServerName(), text[0]) << c;
    EXPECT_EQ(agent.UserName(), text[1]) << c;
    EXPECT_EQ(agent.Password(), c[4] == "longest" ? longest : c[4].get<std::string>()) << c;
    EXPECT_EQ(agent.DagName(), text[3]) << c;
  }
  tzplatform::ResetSettings();
}

TEST(DagServerTest, DumpObjectPrintsTheDagAndEachMemberToStandardOutputOnly) {
  for (const nlohmann::json& c : tztest::TestData("dag_discovery.json", "dumps")) {
    tzplatform::LogCapture capture;
    _tagDagServer copy{c[0], c[1], {}};
    for (const auto& server : c[2]) copy.servers.push_back({server.get<std::string>(), true});
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    copy.DumpObject();
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c[3]);
    EXPECT_EQ(capture.Texts(), Texts());
  }
}

}  // namespace
