// Direct DAG discovery against a directory server of the test's own (slapd
// holding tests/data/directory/directory.ldif), with the demo store for the
// agent flags and the new-member filter: MBX01, MBX02 and MBX04 carry the
// agent, MBX03 does not, MBX12 does (release 13, in no DAG); MBX01 to MBX04
// belong to a DAG; the other servers are no clients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../platform/src/directory/directory_text.h"
#include "log_lines.h"
#include "process_census.h"
#include "records_support.h"
#include "test_directory.h"
#include "test_env.h"
#include "tzdag/DagDiscoverAgent.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/DirectorySearch.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/log.h"

namespace {

using tztest::TestDirectory;

const char kAccount[] = "cn=Backup Service,cn=Users,dc=corp,dc=example";
const char kDagDn[] =
    ",cn=Database Availability Groups,cn=Exchange Administrative Group (FYDIBOHF23SPDLT),"
    "cn=Configuration,dc=corp,dc=example";

// "DAG: member=flag member=flag; DAG: ..." of an answer.
std::string Render(const CNMessageList& members) {
  std::string text;
  for (const tztest::Member& m : tztest::Members(members)) {
    text += " " + m.name + "=" + std::to_string(m.uvoInstalled);
  }
  return text;
}
std::string Render(const Uvo::DAGDiscoverResp& resp) {
  std::string text;
  for (const CNMessageBase& dag : resp.getDags()) {
    if (!text.empty()) text += "; ";
    text += tzdag::GetString(dag, Uvo::DAGSetup::kDagName) + ":" +
            Render(tzdag::GetList(dag, Uvo::DAGSetup::kMemberServers));
  }
  return text;
}

// Whether any captured line, or the log file, holds `text`.
bool Logged(const tzplatform::LogCapture& capture, const tztest::TestEnv& env,
            const std::string& text) {
  for (const std::string& line : capture.Texts()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return tztest::ReadFile(env.logPath()).find(text) != std::string::npos;
}

class DirectorySearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirectory::Options options;
    options.pageLimit = true;
    directory_ = std::make_unique<TestDirectory>(options);
    // Pages smaller than the server's limit of 5 entries, so that DAG01's six
    // members and the five DAGs each take two pages.
    settings_.search = "ldap";
    settings_.pageSize = 4;
    settings_.timeoutSeconds = 10;
    tzplatform::SetDirectorySettings(settings_);
  }
  void TearDown() override {
    directory_.reset();
    EXPECT_FALSE(tztest::HasChildProcess()) << "the directory server was left running";
  }

  // "[<logName>]: Discover Dag. ..." for the credentials of the test.
  std::string DiscoverLine(const char* logName, const std::string& server,
                           const std::string& encrypted) {
    return std::string("[") + logName + "]: Discover Dag. adServerName=" + server +
           "; userName=" + kAccount + "; encryptedPassword=" + encrypted;
  }

  tztest::TestEnv env_{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  std::unique_ptr<TestDirectory> directory_;
  tzplatform::DirectorySettings settings_;
  const std::string encrypted_ = TZPassword::Encrypt(TestDirectory::kPassword);
};

TEST_F(DirectorySearchTest, FindsEveryDagWithItsMembersSortedByName) {
  tzplatform::LogCapture capture;
  Uvo::DAGDiscoverResp resp;
  ASSERT_TRUE(DiscoverDag(directory_->url().c_str(), kAccount, encrypted_.c_str(), resp))
      << ::testing::PrintToString(capture.Texts());
  // DAG77 lies outside the configuration naming context; MBX99 is linked to
  // no DAG; MBX11's link names DAG02 in other letter case and spacing.
  EXPECT_EQ(Render(resp),
            "DAG(5)*\\: MBX51=0; "
            "DAG01: MBX01=1 MBX02=1 MBX03=0 MBX04=1 MBX05=0 MBX06=0; "
            "DAG02: MBX11=0 MBX12=1; DAG03:; DAG04: MBX31=0");
  const std::vector<std::string> lines = capture.Texts();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], DiscoverLine("DiscoverDag", directory_->url(), encrypted_));
  EXPECT_EQ(lines[1], "[SearchDag]: Found 5 DAG(s) in the directory.");
  EXPECT_FALSE(Logged(capture, env_, TestDirectory::kPassword));

  // The agent's records carry the distinguished names as the server wrote
  // them, after what the list held.
  DagDiscoverAgent agent(directory_->url().c_str(), kAccount, encrypted_.c_str(), "DAG(5)*\\");
  std::vector<_tagDagServer> dags = {{"KEPT", "cn=KEPT", {}}};
  ASSERT_TRUE(agent.SearchDag(dags));
  ASSERT_EQ(dags.size(), 2u);
  EXPECT_EQ(dags[0].name, "KEPT");
  EXPECT_EQ(dags[1].name, "DAG(5)*\\");
  EXPECT_EQ(dags[1].distinguishedName, std::string("cn=DAG(5)*\\5C") + kDagDn);
  ASSERT_EQ(dags[1].servers.size(), 1u);
  EXPECT_EQ(dags[1].servers[0].name, "MBX51");
}

TEST_F(DirectorySearchTest, FindsOneDagByItsNameAndNothingForAnyOtherText) {
  struct Case {
    std::string dag;
    std::string members;  // as Render writes them
    std::string line;     // SearchDag's
  };
  const std::string found = "[SearchDag]: Found 1 DAG(s) in the directory.";
  const Case cases[] = {
      {"DAG01", " MBX01=1 MBX02=1 MBX03=0 MBX04=1 MBX05=0 MBX06=0", found},
      {"dag01", " MBX01=1 MBX02=1 MBX03=0 MBX04=1 MBX05=0 MBX06=0", found},
      {"DAG(5)*\\", " MBX51=0", found},
      {"DAG03", "", found},
      // Filter characters in a name match only themselves.
      {"DAG*", "", "[SearchDag]: The directory has no DAG named 'DAG*'."},
      {"DAG0*)(cn=*", "", "[SearchDag]: The directory has no DAG named 'DAG0*)(cn=*'."},
      {"DAG77", "", "[SearchDag]: The directory has no DAG named 'DAG77'."},
      {"NODAG", "", "[SearchDag]: The directory has no DAG named 'NODAG'."},
      {std::string(64, 'D'), "",
       "[SearchDag]: The directory has no DAG named '" + std::string(64, 'D') + "'."},
      {"D\xC3\xA4G", "", "[SearchDag]: The directory has no DAG named 'D\xC3\xA4G'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dag);
    tzplatform::LogCapture capture;
    Uvo::DAGMemberServersResp resp;
    resp.setMemberServers({tztest::MemberRecord("STALE", true)});
    ASSERT_TRUE(
        DiscoverDag(directory_->url().c_str(), kAccount, encrypted_.c_str(), c.dag.c_str(), resp));
    EXPECT_EQ(Render(resp.getMemberServers()), c.members);
    ASSERT_GE(capture.Texts().size(), 2u);
    EXPECT_EQ(capture.Texts()[1], c.line);
  }
}

TEST_F(DirectorySearchTest, RefusesANameTheDirectoryCannotHoldBeforeAnySearch) {
  struct Case {
    std::string dag;
    std::string problem;
  };
  const Case cases[] = {
      {std::string(65, 'D'), "is longer than 64 bytes"},
      {"DAG\x01", "holds a control character"},
      {"DAG\n01", "holds a control character"},
      {"DAG\x7F", "holds a control character"},
      {"DAG\xFF", "is not UTF-8"},
      {"DAG\xC3", "is not UTF-8"},
      {"\xC0\xAF", "is not UTF-8"},  // an overlong '/'
  };
  // A directory that is not there: a search would fail another way.
  directory_->Stop();
  for (const Case& c : cases) {
    for (bool newMembers : {false, true}) {
      SCOPED_TRACE(c.problem + (newMembers ? ", new members" : ""));
      const char* logName = newMembers ? "DiscoverDagWithNewMembers" : "DiscoverDag";
      tzplatform::LogCapture capture;
      Uvo::DAGMemberServersResp resp;
      resp.setMemberServers({tztest::MemberRecord("STALE", true)});
      EXPECT_FALSE(newMembers ? DiscoverDagWithNewMembers(directory_->url().c_str(), kAccount,
                                                          encrypted_.c_str(), c.dag.c_str(), resp)
                              : DiscoverDag(directory_->url().c_str(), kAccount, encrypted_.c_str(),
                                            c.dag.c_str(), resp));
      EXPECT_EQ(Render(resp.getMemberServers()), " STALE=1") << "the answer is left alone";
      EXPECT_EQ(capture.Texts(),
                (std::vector<std::string>{
                    DiscoverLine(logName, directory_->url(), encrypted_) + "; dagName=" + c.dag,
                    "[SearchDag]: The DAG name " + c.problem + "; the directory is not searched.",
                    std::string("[") + logName + "]: Discover dag failed!"}));
    }
  }
}

TEST_F(DirectorySearchTest, NewMemberFilterKeepsServersTheStoreCanStillAdd) {
  Uvo::DAGDiscoverResp all;
  ASSERT_TRUE(
      DiscoverDagWithNewMembers(directory_->url().c_str(), kAccount, encrypted_.c_str(), all));
  EXPECT_EQ(Render(all),
            "DAG(5)*\\: MBX51=0; DAG01: MBX05=0 MBX06=0; DAG02: MBX11=0; DAG03:; DAG04: MBX31=0");
  Uvo::DAGMemberServersResp one;
  ASSERT_TRUE(DiscoverDagWithNewMembers(directory_->url().c_str(), kAccount, encrypted_.c_str(),
                                        "DAG02", one));
  EXPECT_EQ(Render(one.getMemberServers()), " MBX11=0");
}

// A loopback port that takes connections and never answers.
class SilentServer {
 public:
  SilentServer() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(fd_, 8), 0);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~SilentServer() { close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

TEST_F(DirectorySearchTest, FailuresTakeTheFailurePathWithTheReasonAndNeverThePassword) {
  TestDirectory stopped;
  const std::string stoppedUrl = stopped.url();
  stopped.Stop();
  SilentServer silent;
  const std::string silentUrl = "ldap://127.0.0.1:" + std::to_string(silent.port());
  const std::string url = directory_->url();
  const std::string wrong = TZPassword::Encrypt("Pa55word-not");
  const std::string account = std::string("'") + kAccount + "'";
  struct Case {
    std::string server;
    std::string account;
    std::string encrypted;
    std::string reason;  // after "Directory search failed: "; one '*' for any text
  };
  const Case cases[] = {
      {url, kAccount, wrong, "bind to " + url + " as " + account + ": Invalid credentials (49)"},
      // The account goes to the bind as it is given (Active Directory takes
      // this form; OpenLDAP does not).
      {url, "backup@corp.example", encrypted_,
       "bind to " + url + " as 'backup@corp.example': Invalid DN syntax (34)*"},
      {stoppedUrl, kAccount, encrypted_,
       "bind to " + stoppedUrl + " as " + account + ": Can't contact LDAP server (-1)"},
      {silentUrl, kAccount, encrypted_, "bind to " + silentUrl + " as " + account + ": *"},
      {url, kAccount, "", "no password for " + account + " (empty, or it could not be decrypted)"},
      {url, kAccount, "not-encrypted",
       "no password for " + account + " (empty, or it could not be decrypted)"},
      {url, "", encrypted_, "no account given for " + url},
      // The server's form is checked before anything else (more forms below).
      {"dc01:389", kAccount, encrypted_,
       "'dc01:389' is neither a host name nor an ldap:// or ldaps:// URL"},
  };
  settings_.timeoutSeconds = 1;
  tzplatform::SetDirectorySettings(settings_);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server + " / " + c.account);
    tzplatform::LogCapture capture;
    Uvo::DAGDiscoverResp resp;
    Uvo::DAGSetup stale;
    stale.setDagName("STALE");
    resp.setDags({stale});
    EXPECT_FALSE(DiscoverDag(c.server.c_str(), c.account.c_str(), c.encrypted.c_str(), resp));
    EXPECT_EQ(Render(resp), "STALE:") << "the answer is left alone";
    EXPECT_TRUE(tztest::LinesAre(
        capture.Texts(), {"[DiscoverDag]: Discover Dag. adServerName=" + c.server +
                              "; userName=" + c.account + "; encryptedPassword=" + c.encrypted,
                          "[SearchDag]: Directory search failed: " + c.reason,
                          "[DiscoverDag]: Discover dag failed!"}));
    EXPECT_FALSE(Logged(capture, env_, TestDirectory::kPassword));
  }

  // Settings that are not valid fail the search, naming the setting.
  settings_.search = "yes";
  tzplatform::SetDirectorySettings(settings_);
  tzplatform::LogCapture capture;
  Uvo::DAGDiscoverResp resp;
  EXPECT_FALSE(DiscoverDag(url.c_str(), kAccount, encrypted_.c_str(), resp));
  EXPECT_TRUE(tztest::LinesEndWith(
      capture.Texts(),
      {"[SearchDag]: Directory search failed: directory search: 'yes' is not valid (ldap, or "
       "unset for no directory search)",
       "[DiscoverDag]: Discover dag failed!"}));
}

TEST_F(DirectorySearchTest, WithTheSettingOffTheSearchIsTheEmptyStep) {
  tzplatform::SetDirectorySettings({});
  for (bool newMembers : {false, true}) {
    const char* logName = newMembers ? "DiscoverDagWithNewMembers" : "DiscoverDag";
    SCOPED_TRACE(logName);
    tzplatform::LogCapture capture;
    Uvo::DAGDiscoverResp all;
    Uvo::DAGSetup stale;
    stale.setDagName("STALE");
    all.setDags({stale});
    const std::string server = directory_->url();
    const char* url = server.c_str();
    EXPECT_TRUE(newMembers ? DiscoverDagWithNewMembers(url, kAccount, encrypted_.c_str(), all)
                           : DiscoverDag(url, kAccount, encrypted_.c_str(), all));
    EXPECT_EQ(tztest::Xml(all), "<DAGDiscoverResp dags=\"0\"/>");
    // Even a name the directory could not hold: there is no search to refuse.
    Uvo::DAGMemberServersResp one;
    EXPECT_TRUE(newMembers
                    ? DiscoverDagWithNewMembers(url, kAccount, encrypted_.c_str(), "DAG\x01", one)
                    : DiscoverDag(url, kAccount, encrypted_.c_str(), "DAG\x01", one));
    EXPECT_EQ(tztest::Xml(one), "<DAGMemberServersResp memberServers=\"0\"/>");
    const std::string line = DiscoverLine(logName, directory_->url(), encrypted_);
    EXPECT_EQ(capture.Texts(), (std::vector<std::string>{line, line + "; dagName=DAG\x01"}));
  }
  // The agent leaves what the list held as it was.
  DagDiscoverAgent agent(directory_->url().c_str(), kAccount, encrypted_.c_str(), nullptr);
  std::vector<_tagDagServer> dags = {{"KEPT", "cn=KEPT", {{"MBX01", true}}}};
  EXPECT_TRUE(agent.SearchDag(dags));
  ASSERT_EQ(dags.size(), 1u);
  EXPECT_EQ(dags[0].name, "KEPT");
  EXPECT_EQ(dags[0].servers.size(), 1u);
}

TEST(DirectoryTlsTest, ChecksTheServersCertificateOverLdapsAndStartTls) {
  tztest::TestEnv env{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  TestDirectory::Options options;
  options.tls = true;
  TestDirectory directory(options);
  const std::string encrypted = TZPassword::Encrypt(TestDirectory::kPassword);
  const std::string localhost =
      "ldaps://localhost:" + directory.ldapsUrl().substr(directory.ldapsUrl().rfind(':') + 1);
  struct Case {
    std::string server;
    bool startTls;
    bool trusted;        // the test's authority is given
    std::string reason;  // empty: the search succeeds
  };
  const std::string account = std::string(" as '") + kAccount + "'";
  const std::string hint =
      "; if the server is up and offers TLS, check that its certificate is from an authority "
      "trusted here (TZ_DIRECTORY_CA_FILE) and names the host as given";
  const Case cases[] = {
      {directory.ldapsUrl(), false, true, ""},
      {directory.url(), true, true, ""},
      // Certificate checking is on without being asked for.
      {directory.ldapsUrl(), false, false,
       "bind to " + directory.ldapsUrl() + account + ": Can't contact LDAP server (-1)" + hint},
      {directory.url(), true, false,
       "StartTLS with " + directory.url() + ": Connect error (-11)" + hint},
      // The certificate names 127.0.0.1, not localhost.
      {localhost, false, true,
       "bind to " + localhost + account + ": Can't contact LDAP server (-1)" + hint},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server + (c.startTls ? " StartTLS" : "") + (c.trusted ? " trusted" : ""));
    tzplatform::DirectorySettings settings;
    settings.search = "ldap";
    settings.tls = c.startTls ? "starttls" : "";
    settings.caFile = c.trusted ? directory.caFile() : "";
    settings.timeoutSeconds = 10;
    tzplatform::SetDirectorySettings(settings);
    tzplatform::LogCapture capture;
    Uvo::DAGDiscoverResp resp;
    const bool ok = DiscoverDag(c.server.c_str(), kAccount, encrypted.c_str(), resp);
    EXPECT_EQ(ok, c.reason.empty()) << ::testing::PrintToString(capture.Texts());
    if (ok) {
      EXPECT_EQ(resp.getDags().size(), 5u);
    } else {
      EXPECT_TRUE(tztest::LinesAre(
          capture.Texts(),
          {"[DiscoverDag]: Discover Dag. *", "[SearchDag]: Directory search failed: " + c.reason,
           "[DiscoverDag]: Discover dag failed!"}));
    }
  }

  // StartTLS asked of a server that offers no TLS fails rather than binding
  // in the clear.
  TestDirectory plain;
  tzplatform::DirectorySettings settings;
  settings.search = "ldap";
  settings.tls = "starttls";
  tzplatform::SetDirectorySettings(settings);
  tzplatform::LogCapture capture;
  Uvo::DAGDiscoverResp resp;
  EXPECT_FALSE(DiscoverDag(plain.url().c_str(), kAccount, encrypted.c_str(), resp));
  EXPECT_TRUE(tztest::LinesEndWith(
      capture.Texts(), {"[SearchDag]: Directory search failed: StartTLS with " + plain.url() +
                            ": Protocol error (2): unsupported extended operation",
                        "[DiscoverDag]: Discover dag failed!"}));
}

// tzdag discover-dags without --proxy, as a user runs it against the
// directory: the new-member filter applies (MBX01 to MBX04 belong to a DAG,
// MBX12 runs release 13).
TEST(DirectoryToolTest, DiscoverDagsSearchesTheDirectoryWhenTheSettingAsks) {
  tztest::TestEnv env{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  TestDirectory directory;
  const std::string encrypted = TZPassword::Encrypt(TestDirectory::kPassword);
  const std::string log = env.dir() + "/tool-log.txt";
  auto tzdag = [&](std::vector<std::string> args, std::map<std::string, std::string> environment) {
    std::vector<std::string> all = {"--store",        env.storePath(), "--remote-root",
                                    env.remoteRoot(), "--log",         log};
    all.insert(all.end(), args.begin(), args.end());
    return tztest::RunTzdag(all, "", environment);
  };
  const std::map<std::string, std::string> on = {{"TZ_DIRECTORY_SEARCH", "ldap"}};
  const std::vector<std::string> credentials = {"--ad",   directory.url(), "--user",
                                                kAccount, "--password",    encrypted};
  std::vector<std::string> args = {"discover-dags"};
  args.insert(args.end(), credentials.begin(), credentials.end());

  tztest::ToolRun run = tzdag(args, on);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "DAG       MEMBER SERVER  AGENT INSTALLED\n"
            "--------  -------------  ---------------\n"
            "DAG(5)*\\  MBX51          no\n"
            "DAG01     MBX05          no\n"
            "DAG01     MBX06          no\n"
            "DAG02     MBX11          no\n"
            "DAG03     (none)\n"
            "DAG04     MBX31          no\n");

  std::vector<std::string> one = {"--json"};
  one.insert(one.end(), args.begin(), args.end());
  one.insert(one.end(), {"--dag", "DAG02"});
  run = tzdag(one, on);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(nlohmann::json::parse(run.out),
            nlohmann::json({{"ok", true},
                            {"memberServers", {{{"serverName", "MBX11"}, {"uvoInstalled", 0}}}}}));

  // A wrong password: exit 1 with the lines that say why, and the password
  // nowhere.
  std::vector<std::string> wrong = {"discover-dags",
                                    "--ad",
                                    directory.url(),
                                    "--user",
                                    kAccount,
                                    "--password",
                                    TZPassword::Encrypt("nope")};
  run = tzdag(wrong, on);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("  [SearchDag]: Directory search failed: bind to " + directory.url() +
                         " as '" + kAccount +
                         "': Invalid credentials (49)\n"
                         "  [DiscoverDagWithNewMembers]: Discover dag failed!\n"),
            std::string::npos)
      << run.err;
  for (const std::string& text : {run.out, run.err, tztest::ReadFile(log)}) {
    EXPECT_EQ(text.find(TestDirectory::kPassword), std::string::npos);
    EXPECT_EQ(text.find("nope"), std::string::npos);
  }

  // Settings that are not valid stop every command before any work.
  struct Setting {
    const char* variable;
    const char* value;
    std::string message;
  };
  const Setting settings[] = {
      {"TZ_DIRECTORY_SEARCH", "LDAP",
       "TZ_DIRECTORY_SEARCH: 'LDAP' is not valid (ldap, or unset for no directory search)"},
      {"TZ_DIRECTORY_TLS", "ssl",
       "TZ_DIRECTORY_TLS: 'ssl' is not valid (starttls, or unset for TLS only on ldaps:// "
       "servers)"},
      {"TZ_DIRECTORY_CA_FILE", "/nonexistent/ca.pem",
       "TZ_DIRECTORY_CA_FILE: '/nonexistent/ca.pem' cannot be read"},
      {"TZ_DIRECTORY_TIMEOUT", "0",
       "TZ_DIRECTORY_TIMEOUT: '0' is not a number of seconds (a whole number from 1 to "
       "2147483647)"},
      {"TZ_DIRECTORY_TIMEOUT", "5s",
       "TZ_DIRECTORY_TIMEOUT: '5s' is not a number of seconds (a whole number from 1 to "
       "2147483647)"},
  };
  for (const Setting& setting : settings) {
    std::map<std::string, std::string> environment = on;
    environment[setting.variable] = setting.value;
    for (const std::vector<std::string>& command :
         {args, std::vector<std::string>{"servers", "--client", "2"}}) {
      run = tzdag(command, environment);
      EXPECT_EQ(run.exitCode, 2) << setting.variable << "=" << setting.value;
      EXPECT_EQ(run.err, "tzdag: " + setting.message + "\n");
      EXPECT_EQ(run.out, "");
    }
  }
}

TEST(DirectoryTextTest, EscapesFilterValuesAndReadsServerForms) {
  struct Escape {
    std::string value;
    std::string escaped;
  };
  const Escape escapes[] = {
      {"DAG01", "DAG01"},
      {"*", "\\2a"},
      {"a(b)c", "a\\28b\\29c"},
      {"cn=DAG\\2C01,cn=x", "cn=DAG\\5c2C01,cn=x"},
      {std::string("a\0b", 3), "a\\00b"},
      {"", ""},
      {"D\xC3\xA4G", "D\xC3\xA4G"},
  };
  for (const Escape& e : escapes) {
    EXPECT_EQ(tzplatform::EscapeFilterValue(e.value), e.escaped) << e.value;
  }

  struct Form {
    std::string server;
    std::string url;  // empty: refused
    bool tls;
  };
  const Form forms[] = {
      {"dc01.corp.example", "ldap://dc01.corp.example:389", false},
      {"10.0.0.5", "ldap://10.0.0.5:389", false},
      {"ldap://dc01:3268", "ldap://dc01:3268", false},
      {"ldap://dc01", "ldap://dc01", false},
      {"ldap://dc01/", "ldap://dc01/", false},
      {"ldaps://dc01:636", "ldaps://dc01:636", true},
      {"LDAPS://dc01", "LDAPS://dc01", true},
      {"ldap://[::1]:389", "ldap://[::1]:389", false},
      {"ldapi://%2Frun%2Fslapd", "", false},
      {"ldap:///", "", false},
      {"ldap://dc01/??sub", "", false},
      {"ldap://dc01/?cn", "", false},
      {"ldap://dc01 ldap://dc02", "", false},
      {"dc01/x", "", false},
      {"dc01:389", "", false},
      {"dc01 -x", "", false},
      {"http://dc01", "", false},
      {"", "", false},
  };
  for (const Form& f : forms) {
    std::string url, error;
    bool tls = false;
    const bool ok = tzplatform::DirectoryUrl(f.server, url, tls, error);
    EXPECT_EQ(ok, !f.url.empty()) << f.server << ": " << error;
    if (ok) {
      EXPECT_EQ(url, f.url) << f.server;
      EXPECT_EQ(tls, f.tls) << f.server;
    }
  }
}

}  // namespace
