// DAG and member server discovery through the remote tool on a proxy client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../src/internal.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"
#include "tzplatform/session.h"
#include "tzplatform/settings.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using tzplatform::SessionRecorder;

// The tool on proxy01 answers from the topology below; its agent flags are
// deliberately wrong for MBX01 (store: installed), MBX02 (store: no package)
// and MBX99 (no client at all).
const char kWorld[] = R"({
 "store": {"clients": [
  {"id": 3, "name": "MBX01", "host": "mbx01.corp.example", "release": 16,
   "dagAssociated": true, "packages": [151]},
  {"id": 4, "name": "MBX02", "host": "mbx02.corp.example", "release": 16,
   "dagAssociated": true, "packages": []},
  {"id": 5, "name": "MBX05", "host": "mbx05.corp.example", "release": 16, "packages": [151]},
  {"id": 7, "name": "PROXY01", "host": "proxy01.corp.example", "release": 16, "packages": []},
  {"id": 8, "name": "PROXY02", "host": "proxy02.corp.example", "release": 16, "packages": []},
  {"id": 9, "name": "SCRIPTED", "host": "scripted.corp.example", "release": 16, "packages": []}
 ]},
 "remote": {
  "hosts": ["proxy01.corp.example"],
  "dags": [
   {"name": "DAG01", "members": [{"name": "MBX01", "agent": false},
                                 {"name": "MBX02", "agent": true},
                                 {"name": "MBX99", "agent": true}], "databases": []},
   {"name": "DAG02", "members": [{"name": "mbx05", "agent": false}], "databases": []}
  ]
 }
})";

struct Member {
  std::string name;
  int64_t uvoInstalled;
  bool operator==(const Member& o) const {
    return name == o.name && uvoInstalled == o.uvoInstalled;
  }
};

std::ostream& operator<<(std::ostream& out, const Member& m) {
  return out << m.name << "=" << m.uvoInstalled;
}

std::vector<Member> Members(const CNMessageList& list) {
  std::vector<Member> members;
  for (const CNMessageBase& m : list) {
    members.push_back({tzdag::GetString(m, Uvo::DAGMemberServer::kServerName),
                       tzdag::GetInt64(m, Uvo::DAGMemberServer::kUvoInstalled)});
  }
  return members;
}

Uvo::DAGMemberServer MemberRecord(const std::string& name, bool installed) {
  Uvo::DAGMemberServer member;
  member.setServerName(name);
  member.setUvoInstalled(installed);
  return member;
}

Uvo::DAGDiscoverResp DagAnswer(const std::string& dagName, const CNMessageList& members) {
  Uvo::DAGSetup dag;
  dag.setDagName(dagName);
  dag.setMemberServers(members);
  Uvo::DAGDiscoverResp resp;
  resp.setDags({dag});
  return resp;
}

Uvo::DAGMemberServersResp MemberAnswer(const CNMessageList& members) {
  Uvo::DAGMemberServersResp resp;
  resp.setMemberServers(members);
  return resp;
}

std::string ErrorAnswerXml(const std::string& text) {
  ProxyErrorMessage error;
  error.setErrorText(text);
  return RecordXml(error);
}

// A tool that prints `xml` and exits.
std::string PrintingTool(const std::string& xml) {
  return "#!/bin/sh\ncat <<'END_OF_ANSWER'\n" + xml + "\nEND_OF_ANSWER\n";
}

class DagProxyTest : public ::testing::Test {
 protected:
  DagProxyTest() : env_(nlohmann::json::parse(kWorld)) {
    tzplatform::SetPlatformIdentity({0, "", "linuxmgr01"});
  }
  tztest::TestEnv env_;
};

TEST_F(DagProxyTest, NodeDiscoveryArgumentsCarryEachGivenValueAfterItsSwitch) {
  struct Case {
    const char* ad;
    const char* user;
    const char* password;
    const char* dag;
    std::string arguments;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, nullptr, "-dagNode"},
      {"dc01", "backupadmin", "ENCPW", nullptr, "-dagNode -ad dc01 -dagu backupadmin -dagp ENCPW"},
      {"dc01", "backupadmin", "ENCPW", "DAG01",
       "-dagNode -ad dc01 -dagu backupadmin -dagp ENCPW -dagn DAG01"},
      {nullptr, nullptr, nullptr, "DAG01", "-dagNode -dagn DAG01"},
      {nullptr, "backupadmin", nullptr, nullptr, "-dagNode -dagu backupadmin"},
      {"", "", "", "", "-dagNode -ad  -dagu  -dagp  -dagn "},
      {"dc 01", "corp\\admin", "a b", "DAG 01",
       "-dagNode -ad dc 01 -dagu corp\\admin -dagp a b -dagn DAG 01"},
  };
  for (const Case& c : cases) {
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    tzplatform::LogCapture capture;
    {
      CTzNetwork session;
      EXPECT_TRUE(
          LaunchPshimForDagNodeDiscover(session, "PROXY01", c.ad, c.user, c.password, c.dag));
    }
    ASSERT_EQ(recorder.Attaches().size(), 1u) << c.arguments;
    const tzplatform::AttachRequest request = recorder.Attaches()[0];
    EXPECT_EQ(request.arguments, c.arguments);
    EXPECT_EQ(request.host, "proxy01.corp.example");
    EXPECT_EQ(request.executable, "PshimProxy.exe");
    EXPECT_EQ(request.localClientName, "linuxmgr01");
    EXPECT_TRUE(request.thirdTextNull);
    EXPECT_EQ(request.timeoutHint, 120);
    EXPECT_EQ(request.field1, 0);
    EXPECT_EQ(request.field4, 1);
    EXPECT_EQ(request.field5, 0);
    EXPECT_EQ(recorder.Receives(), 0);
    EXPECT_THAT(capture.Texts(),
                ElementsAre("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From "
                            "'proxy01.corp.example' succeed."));
  }
}

TEST_F(DagProxyTest, OnlyTheMemberServerShapeSendsADagName) {
  SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
  recorder.OnReceive([](const tzplatform::AttachRequest& request) {
    if (request.arguments.find(" -dagn ") != std::string::npos) {
      return SessionRecorder::ReceiveAnswer{CWqError(), RecordXml(MemberAnswer({}))};
    }
    return SessionRecorder::ReceiveAnswer{CWqError(), RecordXml(DagAnswer("DAG01", {}))};
  });

  Uvo::DAGDiscoverResp dags;
  EXPECT_TRUE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "PROXY01", dags));
  EXPECT_TRUE(DiscoverDagWithProxy("dc01", "admin", "ENCPW", "PROXY01", dags));
  Uvo::DAGMemberServersResp members;
  EXPECT_TRUE(DiscoverDagWithProxy("dc01", "admin", "ENCPW", "DAG01", "PROXY01", members));
  EXPECT_TRUE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "", "PROXY01", members));
  // Without a DAG name the tool answers with every DAG: the wrong kind for this shape.
  EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, nullptr, "PROXY01", members));

  std::vector<std::string> arguments;
  for (const auto& request : recorder.Attaches()) arguments.push_back(request.arguments);
  EXPECT_THAT(arguments, ElementsAre("-dagNode", "-dagNode -ad dc01 -dagu admin -dagp ENCPW",
                                     "-dagNode -ad dc01 -dagu admin -dagp ENCPW -dagn DAG01",
                                     "-dagNode -dagn ", "-dagNode"));
  EXPECT_EQ(recorder.Receives(), 5);
  EXPECT_EQ(recorder.SessionsCreated(), 5);
  EXPECT_EQ(recorder.SessionsDestroyed(), 5);
}

TEST_F(DagProxyTest, SimulatorAnswerComesBackWithAgentFlagsFromTheConfiguration) {
  tzplatform::SetDebugLevel(1);
  SessionRecorder recorder;
  tzplatform::LogCapture capture;
  Uvo::DAGDiscoverResp resp;
  ASSERT_TRUE(DiscoverDagWithProxy("dc01", "backupadmin", "ENCPW", "PROXY01", resp));

  const CNMessageList& dags = resp.getDags();
  ASSERT_EQ(dags.size(), 2u);
  EXPECT_EQ(tzdag::GetString(dags[0], Uvo::DAGSetup::kDagName), "DAG01");
  EXPECT_THAT(Members(tzdag::GetList(dags[0], Uvo::DAGSetup::kMemberServers)),
              ElementsAre(Member{"MBX01", 1}, Member{"MBX02", 0}, Member{"MBX99", 0}));
  EXPECT_EQ(tzdag::GetString(dags[1], Uvo::DAGSetup::kDagName), "DAG02");
  EXPECT_THAT(Members(tzdag::GetList(dags[1], Uvo::DAGSetup::kMemberServers)),
              ElementsAre(Member{"mbx05", 1}));
  EXPECT_EQ(recorder.SessionsCreated(), 1);
  EXPECT_EQ(recorder.SessionsDestroyed(), 1);

  std::vector<tzplatform::LogLine> lines = capture.Lines();
  std::vector<std::string> texts = capture.Texts();
  ASSERT_EQ(texts.size(), 7u);
  EXPECT_THAT(
      std::vector<std::string>(texts.begin(), texts.begin() + 6),
      ElementsAre("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From "
                  "'proxy01.corp.example' succeed.",
                  "[ReceiveNodeDiscoverRespsonse]: Received response from PshimProxy.",
                  "[HasExDbAgentInstalled]: Client Id: 3", "[HasExDbAgentInstalled]: Client Id: 4",
                  "[HasExDbAgentInstalled]: Get client Id failed",
                  "[HasExDbAgentInstalled]: Client Id: 5"));
  // The dump shows the corrected flags, at level 1.
  EXPECT_EQ(texts[6], "[ReceiveNodeDiscoverRespsonse]: Response xml: " + RecordXml(resp));
  EXPECT_EQ(lines[6].form, tzplatform::LogForm::kDebugLvl);
  EXPECT_EQ(lines[6].level, 1);
}

TEST_F(DagProxyTest, SimulatorAnswersTheMemberServersOfOneDag) {
  SessionRecorder recorder;
  Uvo::DAGMemberServersResp resp;
  ASSERT_TRUE(DiscoverDagWithProxy("dc01", "backupadmin", "ENCPW", "DAG01", "PROXY01", resp));
  EXPECT_THAT(Members(resp.getMemberServers()),
              ElementsAre(Member{"MBX01", 1}, Member{"MBX02", 0}, Member{"MBX99", 0}));
  ASSERT_EQ(recorder.Attaches().size(), 1u);
  EXPECT_EQ(recorder.Attaches()[0].arguments,
            "-dagNode -ad dc01 -dagu backupadmin -dagp ENCPW -dagn DAG01");
}

TEST_F(DagProxyTest, WithoutAProxyDiscoveryGoesToTheDirectoryWithoutASession) {
  struct Case {
    const char* proxy;
    bool memberShape;
    std::string line;
  };
  const Case cases[] = {
      {nullptr, false,
       "[DiscoverDagWithNewMembers]: Discover Dag. adServerName=dc01; userName=admin; "
       "encryptedPassword=ENCPW"},
      {"", false,
       "[DiscoverDagWithNewMembers]: Discover Dag. adServerName=dc01; userName=admin; "
       "encryptedPassword=ENCPW"},
      {"", true,
       "[DiscoverDagWithNewMembers]: Discover Dag. adServerName=dc01; userName=admin; "
       "encryptedPassword=ENCPW; dagName=DAG01"},
  };
  for (const Case& c : cases) {
    SessionRecorder recorder;
    tzplatform::LogCapture capture;
    if (c.memberShape) {
      Uvo::DAGMemberServersResp resp = MemberAnswer({MemberRecord("OLD", true)});
      EXPECT_TRUE(DiscoverDagWithProxy("dc01", "admin", "ENCPW", "DAG01", c.proxy, resp));
      EXPECT_THAT(resp.getMemberServers(), IsEmpty());
    } else {
      Uvo::DAGDiscoverResp resp = DagAnswer("OLD", {});
      EXPECT_TRUE(DiscoverDagWithProxy("dc01", "admin", "ENCPW", c.proxy, resp));
      EXPECT_THAT(resp.getDags(), IsEmpty());
    }
    EXPECT_EQ(recorder.SessionsCreated(), 0) << c.line;
    EXPECT_THAT(recorder.Attaches(), IsEmpty());
    EXPECT_THAT(capture.Texts(), ElementsAre(c.line));
  }
}

TEST_F(DagProxyTest, AnswerOfTheOtherKindOrAnErrorRecordLeavesTheAnswerAlone) {
  const std::string dagShapeXml = RecordXml(DagAnswer("DAG01", {MemberRecord("MBX01", true)}));
  const std::string memberShapeXml = RecordXml(MemberAnswer({MemberRecord("MBX01", true)}));
  const std::string errorXml = ErrorAnswerXml("No DAG found in domain corp.example");
  struct Case {
    std::string xml;
    bool memberShape;
    std::string line;
  };
  const Case cases[] = {
      {dagShapeXml, true,
       "[ReceiveNodeDiscoverRespsonse]: Received a wrong message. TagID: 384415715"},
      {memberShapeXml, false,
       "[ReceiveNodeDiscoverRespsonse]: Received a wrong message. TagID: 381113404"},
      {errorXml, true,
       "[ReceiveNodeDiscoverRespsonse]: PshimProxy returned error: No DAG found in domain "
       "corp.example"},
      {errorXml, false,
       "[ReceiveNodeDiscoverRespsonse]: PshimProxy returned error: No DAG found in domain "
       "corp.example"},
  };
  for (const Case& c : cases) {
    env_.InstallTool("scripted.corp.example", PrintingTool(c.xml));
    tzplatform::LogCapture capture;
    bool ok;
    std::string before, after;
    if (c.memberShape) {
      Uvo::DAGMemberServersResp resp = MemberAnswer({MemberRecord("KEEP", false)});
      before = RecordXml(resp);
      ok = DiscoverDagWithProxy(nullptr, nullptr, nullptr, "DAG01", "SCRIPTED", resp);
      after = RecordXml(resp);
    } else {
      Uvo::DAGDiscoverResp resp = DagAnswer("KEEP", {MemberRecord("KEEP", false)});
      before = RecordXml(resp);
      ok = DiscoverDagWithProxy(nullptr, nullptr, nullptr, "SCRIPTED", resp);
      after = RecordXml(resp);
    }
    EXPECT_FALSE(ok) << c.line;
    EXPECT_EQ(after, before) << c.line;
    EXPECT_THAT(capture.Texts(),
                ElementsAre("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From "
                            "'scripted.corp.example' succeed.",
                            "[ReceiveNodeDiscoverRespsonse]: Received response from PshimProxy.",
                            c.line, "[DiscoverDagWithProxy]: Failed to receive response"));
  }
}

TEST_F(DagProxyTest, SessionErrorOnReceiptIsReportedInEachShapesOwnWords) {
  SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
  recorder.OnReceive([](const tzplatform::AttachRequest&) {
    return SessionRecorder::ReceiveAnswer{CWqError(CWqError::kBadOutput, "not one message"), ""};
  });
  {
    tzplatform::LogCapture capture;
    Uvo::DAGDiscoverResp resp;
    EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "PROXY01", resp));
    EXPECT_THAT(capture.Texts(),
                ElementsAre(StartsWith("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From"),
                            "[ReceiveNodeDiscoverRespsonse]: Received response failed. "
                            "Error:[-5: not one message]",
                            "[DiscoverDagWithProxy]: Failed to receive response"));
  }
  {
    tzplatform::LogCapture capture;
    Uvo::DAGMemberServersResp resp;
    EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "DAG01", "PROXY01", resp));
    EXPECT_THAT(capture.Texts(),
                ElementsAre(StartsWith("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From"),
                            "[ReceiveNodeDiscoverRespsonse]: Received response is failed. "
                            "Error:[-5: not one message]",
                            "[DiscoverDagWithProxy]: Failed to receive response"));
  }
  // A session that claims success but hands back nothing is a failed receipt.
  recorder.OnReceive([](const tzplatform::AttachRequest&) {
    return SessionRecorder::ReceiveAnswer{CWqError(), ""};
  });
  Uvo::DAGDiscoverResp resp = DagAnswer("KEEP", {});
  EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "PROXY01", resp));
  EXPECT_EQ(resp.getDags().size(), 1u);
}

TEST_F(DagProxyTest, FailedLaunchEndsTheRequestWithoutAReceipt) {
  const std::string failed = ", trying another one.";
  struct Case {
    const char* proxy;
    std::vector<std::string> lines;  // the launch's own lines
  };
  const Case cases[] = {
      {"NOSUCH", {"[LaunchPshimForDagNodeDiscover]: Get client Id failed"}},
      // PROXY02 is a client whose host folder does not exist.
      {"PROXY02", {}},
  };
  for (const Case& c : cases) {
    SessionRecorder recorder;
    tzplatform::LogCapture capture;
    Uvo::DAGDiscoverResp resp = DagAnswer("KEEP", {});
    EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, c.proxy, resp));
    EXPECT_EQ(resp.getDags().size(), 1u);
    EXPECT_EQ(recorder.Receives(), 0) << c.proxy;
    EXPECT_EQ(recorder.SessionsCreated(), 1) << c.proxy;
    EXPECT_EQ(recorder.SessionsDestroyed(), 1) << c.proxy;
    std::vector<std::string> texts = capture.Texts();
    ASSERT_EQ(texts.size(), 2u) << c.proxy;
    if (!c.lines.empty()) {
      EXPECT_EQ(texts[0], c.lines[0]);
      EXPECT_THAT(recorder.Attaches(), IsEmpty());
    } else {
      EXPECT_THAT(texts[0], StartsWith("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy [From "
                                       "proxy02.corp.example failed. Error:[-1: "));
      EXPECT_EQ(recorder.Attaches().size(), 1u);
    }
    EXPECT_EQ(texts[1],
              std::string("[DiscoverDagWithProxy]: Failed to launch PshimProxy on server ") +
                  c.proxy + failed);
  }

  // The exact line of an attach error, and of a client without a host name.
  {
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    recorder.OnAttach([](const tzplatform::AttachRequest&) {
      return CWqError(CWqError::kHostUnreachable, "host unreachable");
    });
    tzplatform::LogCapture capture;
    Uvo::DAGMemberServersResp resp;
    EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "DAG01", "PROXY01", resp));
    EXPECT_EQ(recorder.Receives(), 0);
    EXPECT_THAT(capture.Texts(),
                ElementsAre("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy [From "
                            "proxy01.corp.example failed. Error:[-1: host unreachable]]",
                            "[DiscoverDagWithProxy]: Failed to launch PshimProxy on server "
                            "PROXY01, trying another one."));
  }
  {
    SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
    tzplatform::FaultInjector faults;
    faults.Fail("TZClient::getNetworkHostnameMangled", "PROXY01", 2);
    tzplatform::LogCapture capture;
    Uvo::DAGDiscoverResp resp;
    EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "PROXY01", resp));
    EXPECT_THAT(recorder.Attaches(), IsEmpty());
    EXPECT_THAT(capture.Texts(),
                ElementsAre("[LaunchPshimForDagNodeDiscover]: Get client managed name failed",
                            "[DiscoverDagWithProxy]: Failed to launch PshimProxy on server "
                            "PROXY01, trying another one."));
  }
}

TEST_F(DagProxyTest, ResetOverwritesEveryFlagAndKeepsEveryMember) {
  Uvo::DAGSetup first;
  first.setDagName("DAG01");
  first.setMemberServers({MemberRecord("MBX01", false), MemberRecord("MBX02", true),
                          MemberRecord("MBX99", true), MemberRecord("MBX01", false)});
  Uvo::DAGSetup second;
  second.setDagName("DAG02");  // no member list at all
  Uvo::DAGDiscoverResp dags;
  dags.setDags({first, second});
  ResetUvoInstalledField(dags);
  ASSERT_EQ(dags.getDags().size(), 2u);
  EXPECT_THAT(
      Members(tzdag::GetList(dags.getDags()[0], Uvo::DAGSetup::kMemberServers)),
      ElementsAre(Member{"MBX01", 1}, Member{"MBX02", 0}, Member{"MBX99", 0}, Member{"MBX01", 1}));
  EXPECT_FALSE(tzdag::IsSet(dags.getDags()[1], Uvo::DAGSetup::kMemberServers));

  Uvo::DAGMemberServersResp members =
      MemberAnswer({MemberRecord("MBX02", true), MemberRecord("mbx01", false)});
  ResetUvoInstalledField(members);
  EXPECT_THAT(Members(members.getMemberServers()),
              ElementsAre(Member{"MBX02", 0}, Member{"mbx01", 1}));
}

}  // namespace
