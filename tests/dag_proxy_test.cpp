// DAG and member server discovery through the remote tool on a proxy client.
#include <gmock/gmock.h>

#include "../src/internal.h"
#include "log_lines.h"
#include "records_support.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

using tztest::Member;
using tztest::Xml;
using Texts = std::vector<std::string>;

template <typename Record>
Record FromXml(const std::string& xml) {
  Record record;
  static_cast<CNMessageBase&>(record) = *tztest::Decode(xml);
  return record;
}

// One request in the DAG shape or in the member-server shape (for DAG01),
// on an answer that holds a DAG or a member server named KEEP beforehand.
struct Outcome {
  bool ok;
  std::string before, after;  // the answer's text
  Texts lines;
};
// The four values (AD server, user, password, DAG name) null texts as null
// pointers.
Outcome Discover(bool memberShape, const char* proxy,
                 const nlohmann::json& values = {nullptr, nullptr, nullptr, "DAG01"}) {
  std::string text[4];
  const char* v[4];
  for (size_t i = 0; i < 4; ++i) {
    if (!values[i].is_null()) text[i] = values[i];
    v[i] = values[i].is_null() ? nullptr : text[i].c_str();
  }
  Outcome out;
  tzplatform::LogCapture capture;
  if (memberShape) {
    auto resp = FromXml<Uvo::DAGMemberServersResp>(
        R"(<DAGMemberServersResp><memberServers serverName="KEEP" uvoInstalled="0"/></DAGMemberServersResp>)");
    out.before = Xml(resp);
    out.ok = DiscoverDagWithProxy(v[0], v[1], v[2], v[3], proxy, resp);
    out.after = Xml(resp);
  } else {
    auto resp = FromXml<Uvo::DAGDiscoverResp>(
        R"(<DAGDiscoverResp><dags dagName="KEEP"><memberServers serverName="KEEP" uvoInstalled="0"/></dags></DAGDiscoverResp>)");
    out.before = Xml(resp);
    out.ok = DiscoverDagWithProxy(v[0], v[1], v[2], proxy, resp);
    out.after = Xml(resp);
  }
  out.lines = capture.Texts();
  return out;
}

// The tool on proxy01 answers from the topology of dag_proxy.json; its agent
// flags are deliberately wrong for MBX01 (store: installed), MBX02 (store: no
// package) and MBX99 (no client at all). PROXY02's host has no folder.
class DagProxyTest : public ::testing::Test {
 protected:
  DagProxyTest() : env_(tztest::TestData("dag_proxy.json", "world")) {}
  tztest::TestEnv env_;
};

// tests/data/dag_proxy.json holds the cases of the launch tests. The tool on
// the proxy is started once, on its own session.
TEST_F(DagProxyTest, CommandLineCarriesEachGivenValueAfterItsSwitch) {
  for (const nlohmann::json& c : tztest::TestData("dag_proxy.json", "commandLines")) {
    const std::string arguments = c[2];
    tzplatform::SessionRecorder recorder(tzplatform::SessionRecorder::Mode::kIntercept);
    recorder.OnReceive([](const tzplatform::AttachRequest& request) {
      return tzplatform::SessionRecorder::ReceiveAnswer{
          CWqError(),
          request.arguments.find(" -dagn ") != std::string::npos
              ? R"(<DAGMemberServersResp memberServers="0"/>)"
              : R"(<DAGDiscoverResp><dags dagName="DAG01" memberServers="0"/></DAGDiscoverResp>)"};
    });
    Outcome out = Discover(c[0], "PROXY01", c[1]);
    EXPECT_EQ(out.ok, c[3]) << arguments;
    ASSERT_EQ(recorder.Attaches().size(), 1u) << arguments;
    EXPECT_EQ(recorder.Attaches()[0].host + ": " + recorder.Attaches()[0].arguments,
              "proxy01.corp.example: " + arguments);
    EXPECT_EQ(recorder.Receives(), 1);
    EXPECT_EQ(recorder.SessionsCreated() + recorder.SessionsDestroyed(), 2);
  }
}

TEST_F(DagProxyTest, FailedLaunchEndsTheRequestWithTheAnswerUntouched) {
  for (const nlohmann::json& c : tztest::TestData("dag_proxy.json", "refusedLaunches")) {
    const std::string proxy = c[0], line = c[2];
    for (bool memberShape : {true, false}) {
      SCOPED_TRACE(line);
      tzplatform::SessionRecorder recorder;
      Outcome out = Discover(memberShape, proxy.c_str(), c[1]);
      EXPECT_FALSE(out.ok);
      EXPECT_EQ(out.after, out.before);
      EXPECT_EQ(recorder.Attaches().size(), c[3]);
      EXPECT_EQ(recorder.Receives(), 0);
      EXPECT_TRUE(tztest::LinesAre(out.lines, {line,
                                               "[DiscoverDagWithProxy]: Failed to launch "
                                               "PshimProxy on server " +
                                                   proxy + ", trying another one."}));
    }
  }
}

TEST_F(DagProxyTest, SimulatorAnswerComesBackWithAgentFlagsFromTheConfiguration) {
  tzplatform::SetDebugLevel(1);
  tzplatform::LogCapture capture;
  Uvo::DAGDiscoverResp resp;
  ASSERT_TRUE(DiscoverDagWithProxy("dc01", "backupadmin", "ENCPW", "PROXY01", resp));
  EXPECT_EQ(tztest::Fields(resp),
            "{dags=[{dagName='DAG01' members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0},"
            "{server='MBX99' uvo=0}]},{dagName='DAG02' members=[{server='mbx05' uvo=1}]}]}");
  // The dump shows the corrected flags, at level 1.
  const std::string check = "[HasExDbAgentInstalled]: ";
  EXPECT_EQ(
      capture.Texts(),
      (Texts{
          "[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From 'proxy01.corp.example' succeed.",
          "[ReceiveNodeDiscoverRespsonse]: Received response from PshimProxy.",
          check + "Client Id: 3", check + "Client Id: 4", check + "Get client Id failed",
          check + "Client Id: 5", "[ReceiveNodeDiscoverRespsonse]: Response xml: " + Xml(resp)}));
  EXPECT_EQ(capture.Lines().back().level, 1);

  // The member servers of one DAG, corrected the same way.
  capture.Clear();
  Uvo::DAGMemberServersResp members;
  ASSERT_TRUE(DiscoverDagWithProxy("dc01", "backupadmin", "ENCPW", "DAG01", "PROXY01", members));
  EXPECT_THAT(tztest::Members(members.getMemberServers()),
              ::testing::ElementsAre(Member{"MBX01", 1}, Member{"MBX02", 0}, Member{"MBX99", 0}));
  EXPECT_EQ(capture.Texts().back(),
            "[ReceiveNodeDiscoverRespsonse]: Response xml: " + Xml(members));
}

// Null texts are taken as empty ones.
TEST_F(DagProxyTest, WithoutAProxyDiscoveryGoesToTheDirectoryWithoutASession) {
  for (const char* proxy : {static_cast<const char*>(nullptr), ""}) {
    for (bool memberShape : {false, true}) {
      tzplatform::SessionRecorder recorder;
      Outcome out = Discover(memberShape, proxy,
                             proxy ? nlohmann::json{"dc01", "admin", "ENCPW", "DAG01"}
                                   : nlohmann::json{nullptr, nullptr, nullptr, nullptr});
      EXPECT_TRUE(out.ok);
      // The answer is cleared to an empty list.
      EXPECT_EQ(out.after, memberShape ? "<DAGMemberServersResp memberServers=\"0\"/>"
                                       : "<DAGDiscoverResp dags=\"0\"/>");
      EXPECT_EQ(recorder.SessionsCreated(), 0);
      const std::string line =
          "[DiscoverDagWithNewMembers]: Discover Dag. " +
          std::string(proxy ? "adServerName=dc01; userName=admin; encryptedPassword=ENCPW"
                            : "adServerName=; userName=; encryptedPassword=");
      const std::string dagPart = std::string("; dagName=") + (proxy ? "DAG01" : "");
      EXPECT_EQ(out.lines, Texts{line + (memberShape ? dagPart : "")});
    }
  }
}

// A receipt that brings no answer of the right kind leaves the caller's
// answer alone, with each shape's own words for a session error.
TEST_F(DagProxyTest, FailedReceiptLeavesTheAnswerAlone) {
  for (const nlohmann::json& c : tztest::TestData("dag_proxy.json", "failedReceipts")) {
    const Texts expected = c["lines"];
    SCOPED_TRACE(expected.back());
    const bool scripted = c.contains("tool");
    if (scripted) env_.InstallTool("scripted.corp.example", tztest::PrintingTool(c["tool"]));
    tzplatform::SessionRecorder recorder(scripted ? tzplatform::SessionRecorder::Mode::kObserve
                                                  : tzplatform::SessionRecorder::Mode::kIntercept);
    const CWqError result =
        c.contains("session") ? CWqError(CWqError::kBadOutput, c["session"]) : CWqError();
    recorder.OnReceive([&result](const tzplatform::AttachRequest&) {
      return tzplatform::SessionRecorder::ReceiveAnswer{result, ""};
    });
    Outcome out = Discover(c["memberShape"], scripted ? "SCRIPTED" : "PROXY01");
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.after, out.before);
    Texts lines = {"[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From '" +
                   std::string(scripted ? "scripted" : "proxy01") + ".corp.example' succeed."};
    lines.insert(lines.end(), expected.begin(), expected.end());
    lines.push_back("[DiscoverDagWithProxy]: Failed to receive response");
    EXPECT_EQ(out.lines, lines);
  }
}

TEST_F(DagProxyTest, ResetOverwritesEveryFlagAndKeepsEveryMember) {
  // DAG02 has no member list at all.
  auto dags = FromXml<Uvo::DAGDiscoverResp>(
      R"(<DAGDiscoverResp><dags dagName="DAG01"><memberServers serverName="MBX01" uvoInstalled="0"/>)"
      R"(<memberServers serverName="MBX02" uvoInstalled="1"/><memberServers serverName="MBX99" uvoInstalled="1"/>)"
      R"(<memberServers serverName="MBX01" uvoInstalled="0"/></dags><dags dagName="DAG02"/></DAGDiscoverResp>)");
  ResetUvoInstalledField(dags);
  EXPECT_EQ(tztest::Fields(dags),
            "{dags=[{dagName='DAG01' members=[{server='MBX01' uvo=1},{server='MBX02' uvo=0},"
            "{server='MBX99' uvo=0},{server='MBX01' uvo=1}]},{dagName='DAG02' members=-}]}");
  auto members = FromXml<Uvo::DAGMemberServersResp>(
      R"(<DAGMemberServersResp><memberServers serverName="MBX02" uvoInstalled="1"/>)"
      R"(<memberServers serverName="mbx01" uvoInstalled="0"/></DAGMemberServersResp>)");
  ResetUvoInstalledField(members);
  EXPECT_EQ(tztest::Fields(members), "{members=[{server='MBX02' uvo=0},{server='mbx01' uvo=1}]}");
}

}  // namespace
