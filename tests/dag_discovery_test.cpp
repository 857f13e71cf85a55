// Direct DAG discovery: the answer builders, the new-member filter and the
// agent-installed check over a configuration store.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../src/internal.h"
#include "records_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using tztest::Member;
using tztest::Members;

// Clients of every kind the filter and the check tell apart.
const char kStore[] = R"({"store": {"clients": [
  {"id": 3, "name": "MBX01", "host": "mbx01.corp.example", "release": 16,
   "dagAssociated": true, "packages": [151]},
  {"id": 4, "name": "ASSOC13", "host": "assoc13.corp.example", "release": 13,
   "dagAssociated": true, "packages": [151]},
  {"id": 5, "name": "OLD13", "host": "old13.corp.example", "release": 13, "packages": [151]},
  {"id": 6, "name": "NEW14", "host": "new14.corp.example", "release": 14, "packages": [151]},
  {"id": 7, "name": "NOAGENT", "host": "noagent.corp.example", "release": 15, "packages": []},
  {"id": 8, "name": "NORELEASE", "host": "norelease.corp.example", "packages": [151]},
  {"id": 2147483653, "name": "WIDEID", "host": "wideid.corp.example", "release": 16,
   "packages": [151]}
]}})";

_tagDagServer Dag(const std::string& name, const std::vector<std::string>& servers) {
  _tagDagServer dag{name, "CN=" + name + ",DC=corp,DC=example", {}};
  for (const std::string& s : servers) dag.servers.push_back({s, false});
  return dag;
}

// A predicate that records whom it was asked about.
std::vector<std::string> g_asked;
bool RecordingPredicate(_tagExServer& server) {
  g_asked.push_back(server.name);
  return server.name == "NEW14";
}

class DagDiscoveryTest : public ::testing::Test {
 protected:
  DagDiscoveryTest() : env_(nlohmann::json::parse(kStore)) { g_asked.clear(); }
  tztest::TestEnv env_;
};

TEST_F(DagDiscoveryTest, AgentInstalledCheckAsksThePackageQueryWithTheLowBitsOfTheId) {
  struct Case {
    const char* server;
    bool installed;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"MBX01", true, {"[HasExDbAgentInstalled]: Client Id: 3"}},
      {"mbx01", true, {"[HasExDbAgentInstalled]: Client Id: 3"}},
      {"NOAGENT", false, {"[HasExDbAgentInstalled]: Client Id: 7"}},
      {"MBX99", false, {"[HasExDbAgentInstalled]: Get client Id failed"}},
      {"", false, {"[HasExDbAgentInstalled]: Get client Id failed"}},
      {nullptr, false, {"[HasExDbAgentInstalled]: Get client Id failed"}},
      {"WIDEID", true, {"[HasExDbAgentInstalled]: Client Id: 2147483653"}},
  };
  for (const Case& c : cases) {
    tzplatform::LogCapture capture;
    EXPECT_EQ(HasExDbAgentInstalled(c.server), c.installed) << (c.server ? c.server : "(null)");
    EXPECT_EQ(capture.Texts(), c.lines) << (c.server ? c.server : "(null)");
  }

  // The predicate form stores what it answers.
  _tagExServer known{"NEW14", false};
  _tagExServer unknown{"MBX99", true};
  EXPECT_TRUE(HasExDbAgentInstalled(known));
  EXPECT_TRUE(known.agentInstalled);
  EXPECT_FALSE(HasExDbAgentInstalled(unknown));
  EXPECT_FALSE(unknown.agentInstalled);
}

TEST_F(DagDiscoveryTest, AgentInstalledCheckTurnsAThrowingPackageQueryIntoNotInstalled) {
  const std::string exceptionLine =
      "[HasExDbAgentInstalled]: Exception detected while check uvo installed or not. Continue...";
  struct Case {
    const char* call;
    const char* key;
    const char* server;
    const char* idLine;
  };
  const Case cases[] = {
      {"TZInstalledPackages::IsPackageInstalled", "3", "MBX01", "Client Id: 3"},
      {"TZInstalledPackages::TZInstalledPackages", "*", "MBX01", "Client Id: 3"},
      // 2147483653 reaches the query as its low 32 bits read as signed.
      {"TZInstalledPackages::IsPackageInstalled", "-2147483643", "WIDEID", "Client Id: 2147483653"},
  };
  for (const Case& c : cases) {
    tzplatform::FaultInjector faults;
    faults.Throw(c.call, c.key);
    tzplatform::LogCapture capture;
    EXPECT_FALSE(HasExDbAgentInstalled(c.server)) << c.call << " " << c.key;
    EXPECT_THAT(capture.Texts(),
                ElementsAre(std::string("[HasExDbAgentInstalled]: ") + c.idLine, exceptionLine))
        << c.call << " " << c.key;
    EXPECT_EQ(faults.Fired(c.call, c.key), 1) << c.call << " " << c.key;
  }

  // A throwing query for one server does not stop the answer for the others.
  tzplatform::FaultInjector faults;
  faults.Throw("TZInstalledPackages::IsPackageInstalled", "3");
  _tagDagServer dag = Dag("DAG01", {"MBX01", "NEW14"});
  Uvo::DAGMemberServersResp resp;
  ConstructDagMeberServersResp(dag, resp, HasExDbAgentInstalled);
  EXPECT_THAT(Members(resp.getMemberServers()),
              ElementsAre(Member{"MBX01", 0}, Member{"NEW14", 1}));
}

TEST_F(DagDiscoveryTest, NewMemberFilterKeepsUnknownServersAndRecentUnassociatedClients) {
  _tagDagServer dag = Dag(
      "DAG01", {"MBX99", "MBX01", "ASSOC13", "OLD13", "NEW14", "NOAGENT", "NORELEASE", "new14"});
  tzplatform::LogCapture capture;
  Uvo::DAGMemberServersResp resp;
  ConstructDagMeberServersWithNewMembersResp(dag, resp, HasExDbAgentInstalled);
  EXPECT_THAT(Members(resp.getMemberServers()),
              ElementsAre(Member{"MBX99", 0}, Member{"NEW14", 1}, Member{"NOAGENT", 0},
                          Member{"new14", 1}));
  EXPECT_THAT(capture.Texts(), ElementsAre("[HasExDbAgentInstalled]: Get client Id failed",
                                           "[HasExDbAgentInstalled]: Client Id: 6",
                                           "[HasExDbAgentInstalled]: Client Id: 7",
                                           "[HasExDbAgentInstalled]: Client Id: 6"));
  // The check ran on kept servers only and wrote into the directory records.
  EXPECT_FALSE(dag.servers[0].agentInstalled);
  EXPECT_TRUE(dag.servers[4].agentInstalled);
  EXPECT_FALSE(dag.servers[1].agentInstalled) << "a dropped server is not checked";
}

TEST_F(DagDiscoveryTest, NewMemberFilterAsksThePredicateOnlyForKeptServers) {
  std::vector<_tagDagServer> dags = {Dag("DAG01", {"MBX01", "NEW14", "OLD13"}),
                                     Dag("DAG02", {"ASSOC13", "OLD13"}), Dag("DAG03", {"MBX99"})};
  Uvo::DAGDiscoverResp resp;
  ConstructDagDiscoverWithNewMembersResp(dags, resp, RecordingPredicate);
  EXPECT_THAT(g_asked, ElementsAre("NEW14", "MBX99"));

  const CNMessageList& out = resp.getDags();
  ASSERT_EQ(out.size(), 3u) << "a DAG whose members are all filtered out still stands";
  EXPECT_EQ(tzdag::GetString(out[0], Uvo::DAGSetup::kDagName), "DAG01");
  EXPECT_THAT(Members(tzdag::GetList(out[0], Uvo::DAGSetup::kMemberServers)),
              ElementsAre(Member{"NEW14", 1}));
  EXPECT_EQ(tzdag::GetString(out[1], Uvo::DAGSetup::kDagName), "DAG02");
  EXPECT_TRUE(tzdag::IsSet(out[1], Uvo::DAGSetup::kMemberServers));
  EXPECT_THAT(Members(tzdag::GetList(out[1], Uvo::DAGSetup::kMemberServers)), IsEmpty());
  EXPECT_THAT(Members(tzdag::GetList(out[2], Uvo::DAGSetup::kMemberServers)),
              ElementsAre(Member{"MBX99", 0}));
}

TEST_F(DagDiscoveryTest, NewMemberFilterJudgesOnTheInitialValuesWhenAQueryFails) {
  struct Case {
    const char* call;
    const char* server;
    bool kept;
  };
  const Case cases[] = {
      {"TZClient::lookup", "MBX01", true},                    // not known as a client: kept
      {"TZClient::isDAGAssociatedClient", "MBX01", true},     // no association read, release 16
      {"TZClient::isDAGAssociatedClient", "ASSOC13", false},  // no association read, release 13
      {"TZClient::getReleaseId", "NEW14", false},             // release left at 0
  };
  for (const Case& c : cases) {
    tzplatform::FaultInjector faults;
    faults.Fail(c.call, c.server, 5);
    _tagDagServer dag = Dag("DAG01", {c.server});
    Uvo::DAGMemberServersResp resp;
    ConstructDagMeberServersWithNewMembersResp(dag, resp, nullptr);
    EXPECT_EQ(resp.getMemberServers().size(), c.kept ? 1u : 0u) << c.call << " " << c.server;
  }
}

TEST_F(DagDiscoveryTest, BuildersKeepEveryServerInOrderAndWriteNoFlagWithoutAPredicate) {
  std::vector<_tagDagServer> dags = {Dag("DAG01", {"MBX01", "MBX99", "OLD13"}), Dag("DAG02", {})};
  Uvo::DAGDiscoverResp all;
  ConstructDagDiscoverResp(dags, all, nullptr);
  ASSERT_EQ(all.getDags().size(), 2u);
  EXPECT_EQ(tzdag::GetString(all.getDags()[0], Uvo::DAGSetup::kDagName), "DAG01");
  EXPECT_THAT(Members(tzdag::GetList(all.getDags()[0], Uvo::DAGSetup::kMemberServers)),
              ElementsAre(Member{"MBX01", -1}, Member{"MBX99", -1}, Member{"OLD13", -1}));
  EXPECT_EQ(tzdag::GetString(all.getDags()[1], Uvo::DAGSetup::kDagName), "DAG02");
  EXPECT_TRUE(tzdag::IsSet(all.getDags()[1], Uvo::DAGSetup::kMemberServers));

  ConstructDagDiscoverResp(dags, all, HasExDbAgentInstalled);
  EXPECT_THAT(Members(tzdag::GetList(all.getDags()[0], Uvo::DAGSetup::kMemberServers)),
              ElementsAre(Member{"MBX01", 1}, Member{"MBX99", 0}, Member{"OLD13", 1}));

  Uvo::DAGMemberServersResp one;
  ConstructDagMeberServersResp(dags[0], one, nullptr);
  EXPECT_THAT(Members(one.getMemberServers()),
              ElementsAre(Member{"MBX01", -1}, Member{"MBX99", -1}, Member{"OLD13", -1}));
  std::string xml;
  one.serialize(xml, false);
  EXPECT_EQ(xml.find("DAG01"), std::string::npos) << "the DAG's own name is not written";

  // Zero DAGs still replace what the record held.
  std::vector<_tagDagServer> none;
  ConstructDagDiscoverResp(none, all, nullptr);
  EXPECT_TRUE(tzdag::IsSet(all, Uvo::DAGDiscoverResp::kDags));
  EXPECT_THAT(all.getDags(), IsEmpty());
}

TEST_F(DagDiscoveryTest, DirectDiscoveryFindsNoDagAndClearsTheAnswer) {
  Uvo::DAGSetup stale;
  stale.setDagName("STALE");
  struct Credentials {
    const char* ad;
    const char* user;
    const char* password;
    const char* dag;
    std::string logged;
  };
  const Credentials given = {"dc01", "backupadmin", "ENC", "DAG01",
                             "adServerName=dc01; userName=backupadmin; encryptedPassword=ENC"};
  // Null texts are taken as empty ones.
  const Credentials none = {nullptr, nullptr, nullptr, nullptr,
                            "adServerName=; userName=; encryptedPassword="};
  for (const Credentials& c : {given, none}) {
    for (bool newMembers : {false, true}) {
      const std::string line =
          std::string(newMembers ? "[DiscoverDagWithNewMembers]" : "[DiscoverDag]") +
          ": Discover Dag. " + c.logged;
      SCOPED_TRACE(line);
      tzplatform::LogCapture capture;
      Uvo::DAGDiscoverResp dags;
      dags.setDags({stale});
      EXPECT_TRUE(newMembers ? DiscoverDagWithNewMembers(c.ad, c.user, c.password, dags)
                             : DiscoverDag(c.ad, c.user, c.password, dags));
      EXPECT_EQ(tztest::Xml(dags), "<DAGDiscoverResp dags=\"0\"/>");
      Uvo::DAGMemberServersResp members;
      members.setMemberServers({tztest::MemberRecord("STALE01", true)});
      EXPECT_TRUE(newMembers ? DiscoverDagWithNewMembers(c.ad, c.user, c.password, c.dag, members)
                             : DiscoverDag(c.ad, c.user, c.password, c.dag, members));
      EXPECT_EQ(tztest::Xml(members), "<DAGMemberServersResp memberServers=\"0\"/>");
      EXPECT_THAT(capture.Texts(),
                  ElementsAre(line, line + "; dagName=" + (c.dag != nullptr ? c.dag : "")));
    }
  }
}

}  // namespace
