// DAG and member server discovery through the remote tool on a proxy client.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

using ::testing::ElementsAre;
using ::testing::StartsWith;
using tzplatform::SessionRecorder;
using tztest::Member;
using tztest::MemberRecord;
using tztest::Members;
using tztest::Xml;

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

// One request in the DAG shape or in the member-server shape (for DAG01),
// on an answer that holds a DAG or a member server named KEEP beforehand.
struct Outcome {
  bool ok;
  std::string before, after;  // the answer's text
  std::vector<std::string> lines;
};
Outcome Discover(bool memberShape, const char* proxy, const char* ad = nullptr,
                 const char* user = nullptr, const char* password = nullptr) {
  Outcome out;
  tzplatform::LogCapture capture;
  if (memberShape) {
    Uvo::DAGMemberServersResp resp = MemberAnswer({MemberRecord("KEEP", false)});
    out.before = Xml(resp);
    out.ok = DiscoverDagWithProxy(ad, user, password, "DAG01", proxy, resp);
    out.after = Xml(resp);
  } else {
    Uvo::DAGDiscoverResp resp = DagAnswer("KEEP", {MemberRecord("KEEP", false)});
    out.before = Xml(resp);
    out.ok = DiscoverDagWithProxy(ad, user, password, proxy, resp);
    out.after = Xml(resp);
  }
  out.lines = capture.Texts();
  return out;
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
      {"dc-01", "corp\\admin", "x-", "DAG01-",
       "-dagNode -ad dc-01 -dagu corp\\admin -dagp x- -dagn DAG01-"},
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

// Each value goes unquoted onto a command line that the session splits at
// blanks: one that would add a switch or a word, or leave a switch without
// its value, starts nothing.
TEST_F(DagProxyTest, ValuesThatWouldChangeTheToolsCommandLineAreRefused) {
  const char* const kSwitches[] = {"-ad", "-dagu", "-dagp", "-dagn"};
  struct Bad {
    const char* value;
    const char* problem;
  };
  const Bad bad[] = {
      {"DAG01 -dagn DAG02", "holds a blank"},
      {"-dagn", "starts with '-'"},
      {"", "is empty"},
      {"DAG01\n", "holds a control character"},
      {"DAG\t01", "holds a control character"},
      {"\x7f", "holds a control character"},
  };
  for (int which = 0; which < 4; ++which) {
    for (const Bad& b : bad) {
      const char* values[4] = {"dc01", "backupadmin", "ENCPW", "DAG01"};
      values[which] = b.value;
      SCOPED_TRACE(std::string(kSwitches[which]) + " " + b.problem);
      SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
      tzplatform::LogCapture capture;
      {
        CTzNetwork session;
        EXPECT_FALSE(LaunchPshimForDagNodeDiscover(session, "PROXY01", values[0], values[1],
                                                   values[2], values[3]));
      }
      EXPECT_TRUE(recorder.Attaches().empty());
      EXPECT_THAT(capture.Texts(), ElementsAre("[LaunchPshimForDagNodeDiscover]: The value of " +
                                               std::string(kSwitches[which]) + " " + b.problem +
                                               "; PshimProxy not launched."));
    }
  }
  // Through the entry point: no receive, the answer untouched.
  SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
  Outcome refused = Discover(true, "PROXY01", "dc01", "bob -dagn DAG02");
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.after, refused.before);
  EXPECT_THAT(refused.lines,
              ElementsAre("[LaunchPshimForDagNodeDiscover]: The value of -dagu holds a blank; "
                          "PshimProxy not launched.",
                          "[DiscoverDagWithProxy]: Failed to launch PshimProxy on server PROXY01, "
                          "trying another one."));
  EXPECT_TRUE(recorder.Attaches().empty());
  EXPECT_EQ(recorder.Receives(), 0);
}

TEST_F(DagProxyTest, OnlyTheMemberServerShapeSendsADagName) {
  SessionRecorder recorder(SessionRecorder::Mode::kIntercept);
  recorder.OnReceive([](const tzplatform::AttachRequest& request) {
    if (request.arguments.find(" -dagn ") != std::string::npos) {
      return SessionRecorder::ReceiveAnswer{CWqError(), Xml(MemberAnswer({}))};
    }
    return SessionRecorder::ReceiveAnswer{CWqError(), Xml(DagAnswer("DAG01", {}))};
  });

  Uvo::DAGDiscoverResp dags;
  EXPECT_TRUE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, "PROXY01", dags));
  EXPECT_TRUE(DiscoverDagWithProxy("dc01", "admin", "ENCPW", "PROXY01", dags));
  Uvo::DAGMemberServersResp members;
  EXPECT_TRUE(DiscoverDagWithProxy("dc01", "admin", "ENCPW", "DAG01", "PROXY01", members));
  // Without a DAG name the tool answers with every DAG: the wrong kind for this shape.
  EXPECT_FALSE(DiscoverDagWithProxy(nullptr, nullptr, nullptr, nullptr, "PROXY01", members));

  std::vector<std::string> arguments;
  for (const auto& request : recorder.Attaches()) arguments.push_back(request.arguments);
  EXPECT_THAT(arguments,
              ElementsAre("-dagNode", "-dagNode -ad dc01 -dagu admin -dagp ENCPW",
                          "-dagNode -ad dc01 -dagu admin -dagp ENCPW -dagn DAG01", "-dagNode"));
  EXPECT_EQ(recorder.Receives(), 4);
  EXPECT_EQ(recorder.SessionsCreated(), 4);
  EXPECT_EQ(recorder.SessionsDestroyed(), 4);
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
  EXPECT_EQ(texts[6], "[ReceiveNodeDiscoverRespsonse]: Response xml: " + Xml(resp));
  EXPECT_EQ(lines[6].form, tzplatform::LogForm::kDebugLvl);
  EXPECT_EQ(lines[6].level, 1);

  // The member servers of one DAG, corrected the same way.
  Uvo::DAGMemberServersResp members;
  ASSERT_TRUE(DiscoverDagWithProxy("dc01", "backupadmin", "ENCPW", "DAG01", "PROXY01", members));
  EXPECT_THAT(Members(members.getMemberServers()),
              ElementsAre(Member{"MBX01", 1}, Member{"MBX02", 0}, Member{"MBX99", 0}));
  EXPECT_EQ(recorder.Attaches().back().arguments,
            "-dagNode -ad dc01 -dagu backupadmin -dagp ENCPW -dagn DAG01");
}

TEST_F(DagProxyTest, WithoutAProxyDiscoveryGoesToTheDirectoryWithoutASession) {
  const std::string line =
      "[DiscoverDagWithNewMembers]: Discover Dag. adServerName=dc01; userName=admin; "
      "encryptedPassword=ENCPW";
  struct Case {
    const char* proxy;
    bool memberShape;
    std::string line;
  };
  const Case cases[] = {
      {nullptr, false, line}, {"", false, line}, {"", true, line + "; dagName=DAG01"}};
  Uvo::DAGDiscoverResp empty;
  empty.setDags({});
  const std::string noDags = Xml(empty);
  for (const Case& c : cases) {
    SessionRecorder recorder;
    Outcome out = Discover(c.memberShape, c.proxy, "dc01", "admin", "ENCPW");
    EXPECT_TRUE(out.ok) << c.line;
    // The answer is cleared to an empty list.
    EXPECT_EQ(out.after, c.memberShape ? Xml(MemberAnswer({})) : noDags) << c.line;
    EXPECT_EQ(recorder.SessionsCreated(), 0) << c.line;
    EXPECT_THAT(out.lines, ElementsAre(c.line));
  }
}

TEST_F(DagProxyTest, AnswerOfTheOtherKindOrAnErrorRecordLeavesTheAnswerAlone) {
  const std::string error = tztest::ErrorXml("No DAG found in domain corp.example");
  const std::string errorLine =
      "[ReceiveNodeDiscoverRespsonse]: PshimProxy returned error: No DAG found in domain "
      "corp.example";
  struct Case {
    std::string xml;
    bool memberShape;
    std::string line;
  };
  const Case cases[] = {
      {Xml(DagAnswer("DAG01", {MemberRecord("MBX01", true)})), true,
       "[ReceiveNodeDiscoverRespsonse]: Received a wrong message. TagID: 384415715"},
      {Xml(MemberAnswer({MemberRecord("MBX01", true)})), false,
       "[ReceiveNodeDiscoverRespsonse]: Received a wrong message. TagID: 381113404"},
      {error, true, errorLine},
      {error, false, errorLine},
  };
  for (const Case& c : cases) {
    env_.InstallTool("scripted.corp.example", tztest::PrintingTool(c.xml));
    Outcome out = Discover(c.memberShape, "SCRIPTED");
    EXPECT_FALSE(out.ok) << c.line;
    EXPECT_EQ(out.after, out.before) << c.line;
    EXPECT_THAT(out.lines,
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
  for (bool memberShape : {false, true}) {
    Outcome out = Discover(memberShape, "PROXY01");
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.after, out.before);
    EXPECT_THAT(
        out.lines,
        ElementsAre(StartsWith("[LaunchPshimForDagNodeDiscover]: Launch PshimProxy From"),
                    std::string("[ReceiveNodeDiscoverRespsonse]: Received response ") +
                        (memberShape ? "is failed" : "failed") + ". Error:[-5: not one message]",
                    "[DiscoverDagWithProxy]: Failed to receive response"));
  }
  // A session that claims success but hands back nothing is a failed receipt.
  recorder.OnReceive([](const tzplatform::AttachRequest&) {
    return SessionRecorder::ReceiveAnswer{CWqError(), ""};
  });
  Outcome out = Discover(false, "PROXY01");
  EXPECT_FALSE(out.ok);
  EXPECT_EQ(out.after, out.before);
}

TEST_F(DagProxyTest, FailedLaunchEndsTheRequestWithoutAReceipt) {
  const std::string launch = "[LaunchPshimForDagNodeDiscover]: ";
  struct Case {
    const char* proxy;
    bool memberShape;
    const char* fault;  // fault hook for the proxy's name, or null
    bool refused;       // the session refuses the attach
    size_t attaches;
    std::string line;  // the launch's line; "*" stands for any text
  };
  const Case cases[] = {
      {"NOSUCH", false, nullptr, false, 0, launch + "Get client Id failed"},
      // PROXY02 is a client whose host folder does not exist.
      {"PROXY02", false, nullptr, false, 1,
       launch + "Launch PshimProxy [From proxy02.corp.example failed. Error:[-1: *"},
      {"PROXY01", true, nullptr, true, 1,
       launch +
           "Launch PshimProxy [From proxy01.corp.example failed. Error:[-1: host unreachable]]"},
      {"PROXY01", false, "TZClient::getNetworkHostnameMangled", false, 0,
       launch + "Get client managed name failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    SessionRecorder recorder(c.refused ? SessionRecorder::Mode::kIntercept
                                       : SessionRecorder::Mode::kObserve);
    if (c.refused) {
      recorder.OnAttach([](const tzplatform::AttachRequest&) {
        return CWqError(CWqError::kHostUnreachable, "host unreachable");
      });
    }
    tzplatform::FaultInjector faults;
    if (c.fault != nullptr) faults.Fail(c.fault, c.proxy, 2);
    Outcome out = Discover(c.memberShape, c.proxy);
    EXPECT_FALSE(out.ok);
    EXPECT_EQ(out.after, out.before);
    EXPECT_EQ(recorder.Receives(), 0);
    EXPECT_EQ(recorder.SessionsCreated(), 1);
    EXPECT_EQ(recorder.SessionsDestroyed(), 1);
    EXPECT_EQ(recorder.Attaches().size(), c.attaches);
    EXPECT_TRUE(tztest::LinesAre(
        out.lines, {c.line, std::string("[DiscoverDagWithProxy]: Failed to launch PshimProxy on "
                                        "server ") +
                                c.proxy + ", trying another one."}));
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
