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
#include "platform_cases.h"
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

// " member=flag member=flag" of a list; "DAG: members; DAG: ..." of an answer.
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

// Discovers all DAGs (`dag` null) or one, with or without the new-member
// filter, into an answer that held a stale entry; `answer` is what it holds
// after, as Render writes it.
bool Discover(const std::string& server, const std::string& account, const std::string& encrypted,
              const char* dag, bool newMembers, std::string& answer) {
  const char *s = server.c_str(), *a = account.c_str(), *e = encrypted.c_str();
  if (dag == nullptr) {
    Uvo::DAGDiscoverResp resp;
    Uvo::DAGSetup stale;
    stale.setDagName("STALE");
    resp.setDags({stale});
    const bool ok =
        newMembers ? DiscoverDagWithNewMembers(s, a, e, resp) : DiscoverDag(s, a, e, resp);
    answer = Render(resp);
    return ok;
  }
  Uvo::DAGMemberServersResp resp;
  resp.setMemberServers({tztest::MemberRecord("STALE", true)});
  const bool ok =
      newMembers ? DiscoverDagWithNewMembers(s, a, e, dag, resp) : DiscoverDag(s, a, e, dag, resp);
  answer = Render(resp.getMemberServers());
  return ok;
}

// The first line of a discovery.
std::string DiscoverLine(bool newMembers, const std::string& server, const std::string& account,
                         const std::string& encrypted, const char* dag) {
  return std::string(newMembers ? "[DiscoverDagWithNewMembers]" : "[DiscoverDag]") +
         ": Discover Dag. adServerName=" + server + "; userName=" + account +
         "; encryptedPassword=" + encrypted + (dag ? std::string("; dagName=") + dag : "");
}

class DirectorySearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestDirectory::Options options;
    options.pageLimit = true;
    directory_ = std::make_unique<TestDirectory>(options);
    url_ = directory_->url();
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
    EXPECT_EQ(tztest::ReadFile(env_.logPath()).find(TestDirectory::kPassword), std::string::npos);
  }

  tztest::TestEnv env_{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  std::unique_ptr<TestDirectory> directory_;
  std::string url_;
  tzplatform::DirectorySettings settings_;
  const std::string encrypted_ = TZPassword::Encrypt(TestDirectory::kPassword);
};

TEST_F(DirectorySearchTest, FindsDagsByNameWithTheirMembersAndTheNewMemberFilter) {
  struct Case {
    const char* dag;  // null: every DAG
    bool newMembers;
    std::string answer, line;  // line: SearchDag's
  };
  const std::string one = "Found 1 DAG(s) in the directory.";
  const std::string dag01 = " MBX01=1 MBX02=1 MBX03=0 MBX04=1 MBX05=0 MBX06=0";
  const std::string longName(64, 'D');
  // DAG77 lies outside the configuration naming context; MBX99 is linked to
  // no DAG; MBX11's link names DAG02 in other letter case and spacing. Filter
  // characters in a name match only themselves.
  const Case cases[] = {
      {nullptr, false,
       "DAG(5)*\\: MBX51=0; DAG01:" + dag01 + "; DAG02: MBX11=0 MBX12=1; DAG03:; DAG04: MBX31=0",
       "Found 5 DAG(s) in the directory."},
      {nullptr, true,
       "DAG(5)*\\: MBX51=0; DAG01: MBX05=0 MBX06=0; DAG02: MBX11=0; DAG03:; DAG04: MBX31=0",
       "Found 5 DAG(s) in the directory."},
      {"DAG02", true, " MBX11=0", one},
      {"DAG01", false, dag01, one},
      {"dag01", false, dag01, one},
      {"DAG(5)*\\", false, " MBX51=0", one},
      {"DAG03", false, "", one},
      {"DAG*", false, "", "The directory has no DAG named 'DAG*'."},
      {"DAG0*)(cn=*", false, "", "The directory has no DAG named 'DAG0*)(cn=*'."},
      {"DAG77", false, "", "The directory has no DAG named 'DAG77'."},
      {longName.c_str(), false, "", "The directory has no DAG named '" + longName + "'."},
      {"D\xC3\xA4G", false, "", "The directory has no DAG named 'D\xC3\xA4G'."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dag ? c.dag : "(every DAG)");
    tzplatform::LogCapture capture;
    std::string answer;
    ASSERT_TRUE(Discover(url_, kAccount, encrypted_, c.dag, c.newMembers, answer))
        << ::testing::PrintToString(capture.Texts());
    EXPECT_EQ(answer, c.answer);
    EXPECT_THAT(capture.Texts(), ::testing::Contains("[SearchDag]: " + c.line));
    EXPECT_EQ(capture.Texts()[0], DiscoverLine(c.newMembers, url_, kAccount, encrypted_, c.dag));
  }

  // The agent's records carry the distinguished names as the server wrote
  // them, after what the list held.
  DagDiscoverAgent agent(url_.c_str(), kAccount, encrypted_.c_str(), "DAG(5)*\\");
  std::vector<_tagDagServer> dags = {{"KEPT", "cn=KEPT", {}}};
  ASSERT_TRUE(agent.SearchDag(dags));
  ASSERT_EQ(dags.size(), 2u);
  EXPECT_EQ(dags[0].name, "KEPT");
  EXPECT_EQ(dags[1].name, "DAG(5)*\\");
  EXPECT_EQ(dags[1].distinguishedName,
            "cn=DAG(5)*\\5C,cn=Database Availability Groups,cn=Exchange Administrative Group "
            "(FYDIBOHF23SPDLT),cn=Configuration,dc=corp,dc=example");
  ASSERT_EQ(dags[1].servers.size(), 1u);
  EXPECT_EQ(dags[1].servers[0].name, "MBX51");
}

// A loopback port that takes connections and never answers.
class SilentServer {
 public:
  SilentServer() {
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
  int fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port_ = 0;
};

TEST_F(DirectorySearchTest, FailuresAndRefusedNamesTakeTheFailurePathAndLeaveTheAnswer) {
  TestDirectory stopped;
  const std::string stoppedUrl = stopped.url();
  stopped.Stop();
  SilentServer silent;
  const std::string silentUrl = "ldap://127.0.0.1:" + std::to_string(silent.port());
  const std::string wrong = TZPassword::Encrypt("Pa55word-not");
  const std::string as = std::string(" as '") + kAccount + "'";
  const std::string noPassword = std::string("Directory search failed: no password for '") +
                                 kAccount + "' (empty, or it could not be decrypted)";
  const std::string longName(65, 'D');
  struct Case {
    std::string server, account, encrypted;
    const char* dag;
    std::string line;  // SearchDag's; one '*' for any text
  };
  const Case cases[] = {
      {url_, kAccount, wrong, nullptr,
       "Directory search failed: bind to " + url_ + as + ": Invalid credentials (49)"},
      // The account goes to the bind as it is given (Active Directory takes
      // this form; OpenLDAP does not).
      {url_, "backup@corp.example", encrypted_, nullptr,
       "Directory search failed: bind to " + url_ +
           " as 'backup@corp.example': Invalid DN syntax (34)*"},
      {stoppedUrl, kAccount, encrypted_, nullptr,
       "Directory search failed: bind to " + stoppedUrl + as + ": Can't contact LDAP server (-1)"},
      {silentUrl, kAccount, encrypted_, nullptr,
       "Directory search failed: bind to " + silentUrl + as + ": *"},
      {url_, kAccount, "", nullptr, noPassword},
      {url_, kAccount, "not-encrypted", nullptr, noPassword},
      {url_, "", encrypted_, nullptr, "Directory search failed: no account given for " + url_},
      // The server's form is checked before anything else.
      {"dc01:389", kAccount, encrypted_, nullptr,
       "Directory search failed: 'dc01:389' is neither a host name nor an ldap:// or ldaps:// "
       "URL"},
      // Names the directory cannot hold are refused before any search.
      {url_, kAccount, encrypted_, longName.c_str(),
       "The DAG name is longer than 64 bytes; the directory is not searched."},
      {url_, kAccount, encrypted_, "DAG\x01",
       "The DAG name holds a control character; the directory is not searched."},
      {url_, kAccount, encrypted_, "DAG\x7F",
       "The DAG name holds a control character; the directory is not searched."},
      {url_, kAccount, encrypted_, "DAG\xFF",
       "The DAG name is not UTF-8; the directory is not searched."},
      {url_, kAccount, encrypted_, "DAG\xC3",
       "The DAG name is not UTF-8; the directory is not searched."},
      {url_, kAccount, encrypted_, "\xC0\xAF",  // an overlong '/'
       "The DAG name is not UTF-8; the directory is not searched."},
  };
  settings_.timeoutSeconds = 1;
  tzplatform::SetDirectorySettings(settings_);
  for (const Case& c : cases) {
    for (bool newMembers : {false, true}) {
      SCOPED_TRACE(c.line + (newMembers ? " (new members)" : ""));
      tzplatform::LogCapture capture;
      std::string answer;
      EXPECT_FALSE(Discover(c.server, c.account, c.encrypted, c.dag, newMembers, answer));
      EXPECT_EQ(answer, c.dag ? " STALE=1" : "STALE:") << "the answer is left alone";
      EXPECT_TRUE(tztest::LinesAre(
          capture.Texts(), {DiscoverLine(newMembers, c.server, c.account, c.encrypted, c.dag),
                            "[SearchDag]: " + c.line,
                            newMembers ? "[DiscoverDagWithNewMembers]: Discover dag failed!"
                                       : "[DiscoverDag]: Discover dag failed!"}));
    }
  }

  // Settings that are not valid fail the search, naming the setting.
  settings_.search = "yes";
  tzplatform::SetDirectorySettings(settings_);
  tzplatform::LogCapture capture;
  std::string answer;
  EXPECT_FALSE(Discover(url_, kAccount, encrypted_, nullptr, false, answer));
  EXPECT_TRUE(tztest::LinesEndWith(
      capture.Texts(),
      {"[SearchDag]: Directory search failed: directory search: 'yes' is not valid (ldap, or "
       "unset for no directory search)",
       "[DiscoverDag]: Discover dag failed!"}));
}

TEST_F(DirectorySearchTest, WithTheSettingOffTheSearchIsTheEmptyStep) {
  tzplatform::SetDirectorySettings({});
  for (bool newMembers : {false, true}) {
    SCOPED_TRACE(newMembers);
    tzplatform::LogCapture capture;
    std::string answer;
    EXPECT_TRUE(Discover(url_, kAccount, encrypted_, nullptr, newMembers, answer));
    EXPECT_EQ(answer, "");
    // Even a name the directory could not hold: there is no search to refuse.
    EXPECT_TRUE(Discover(url_, kAccount, encrypted_, "DAG\x01", newMembers, answer));
    EXPECT_EQ(answer, "");
    EXPECT_EQ(capture.Texts(),
              (std::vector<std::string>{
                  DiscoverLine(newMembers, url_, kAccount, encrypted_, nullptr),
                  DiscoverLine(newMembers, url_, kAccount, encrypted_, "DAG\x01")}));
  }
  // The agent leaves what the list held as it was.
  DagDiscoverAgent agent(url_.c_str(), kAccount, encrypted_.c_str(), nullptr);
  std::vector<_tagDagServer> dags = {{"KEPT", "cn=KEPT", {{"MBX01", true}}}};
  EXPECT_TRUE(agent.SearchDag(dags));
  ASSERT_EQ(dags.size(), 1u);
  EXPECT_EQ(dags[0].servers.size(), 1u);
}

TEST(DirectoryTlsTest, ChecksTheServersCertificateOverLdapsAndStartTls) {
  tztest::TestEnv env{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  TestDirectory::Options options;
  options.tls = true;
  TestDirectory directory(options);
  TestDirectory plain;
  const std::string encrypted = TZPassword::Encrypt(TestDirectory::kPassword);
  const std::string ldaps = directory.ldapsUrl(), url = directory.url();
  const std::string localhost = "ldaps://localhost:" + ldaps.substr(ldaps.rfind(':') + 1);
  struct Case {
    std::string server;
    bool startTls;
    bool trusted;        // the test's authority is given
    std::string reason;  // empty: the search succeeds
  };
  const std::string as = std::string(" as '") + kAccount + "'";
  const std::string hint =
      "; if the server is up and offers TLS, check that its certificate is from an authority "
      "trusted here (TZ_DIRECTORY_CA_FILE) and names the host as given";
  const Case cases[] = {
      {ldaps, false, true, ""},
      {url, true, true, ""},
      // Certificate checking is on without being asked for.
      {ldaps, false, false, "bind to " + ldaps + as + ": Can't contact LDAP server (-1)" + hint},
      {url, true, false, "StartTLS with " + url + ": Connect error (-11)" + hint},
      // The certificate names 127.0.0.1, not localhost.
      {localhost, false, true,
       "bind to " + localhost + as + ": Can't contact LDAP server (-1)" + hint},
      // StartTLS asked of a server that offers no TLS fails rather than
      // binding in the clear.
      {plain.url(), true, false,
       "StartTLS with " + plain.url() + ": Protocol error (2): unsupported extended operation"},
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
      EXPECT_TRUE(tztest::LinesEndWith(capture.Texts(),
                                       {"[SearchDag]: Directory search failed: " + c.reason,
                                        "[DiscoverDag]: Discover dag failed!"}));
    }
  }
}

// tzdag discover-dags without --proxy, as a user runs it against the
// directory: the new-member filter applies.
TEST(DirectoryToolTest, DiscoverDagsSearchesTheDirectoryWhenTheSettingAsks) {
  tztest::TestEnv env{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  TestDirectory directory;
  const std::string log = env.dir() + "/tool-log.txt";
  auto tzdag = [&](const std::string& encrypted, std::map<std::string, std::string> environment) {
    return tztest::RunTzdag(
        {"--store", env.storePath(), "--remote-root", env.remoteRoot(), "--log", log,
         "discover-dags", "--ad", directory.url(), "--user", kAccount, "--password", encrypted},
        "", environment);
  };
  const std::map<std::string, std::string> on = {{"TZ_DIRECTORY_SEARCH", "ldap"}};
  tztest::ToolRun run = tzdag(TZPassword::Encrypt(TestDirectory::kPassword), on);
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

  // A wrong password: exit 1 with the lines that say why, and the password
  // nowhere.
  run = tzdag(TZPassword::Encrypt("nope"), on);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_THAT(run.err,
              ::testing::HasSubstr("  [SearchDag]: Directory search failed: bind to " +
                                   directory.url() + " as '" + kAccount +
                                   "': Invalid credentials (49)\n"
                                   "  [DiscoverDagWithNewMembers]: Discover dag failed!\n"));
  for (const std::string& text : {run.err, tztest::ReadFile(log)}) {
    EXPECT_EQ(text.find(TestDirectory::kPassword), std::string::npos);
    EXPECT_EQ(text.find("nope"), std::string::npos);
  }

  // Settings that are not valid stop the command before any work.
  const char* const settings[][3] = {
      {"TZ_DIRECTORY_SEARCH", "LDAP",
       "'LDAP' is not valid (ldap, or unset for no directory search)"},
      {"TZ_DIRECTORY_TLS", "ssl",
       "'ssl' is not valid (starttls, or unset for TLS only on ldaps:// servers)"},
      {"TZ_DIRECTORY_CA_FILE", "/nonexistent/ca.pem", "'/nonexistent/ca.pem' cannot be read"},
      {"TZ_DIRECTORY_TIMEOUT", "0",
       "'0' is not a number of seconds (a whole number from 1 to 2147483647)"},
      {"TZ_DIRECTORY_TIMEOUT", "5s",
       "'5s' is not a number of seconds (a whole number from 1 to 2147483647)"},
  };
  for (const auto& setting : settings) {
    std::map<std::string, std::string> environment = on;
    environment[setting[0]] = setting[1];
    run = tzdag(TZPassword::Encrypt(TestDirectory::kPassword), environment);
    EXPECT_EQ(run.exitCode, 2) << setting[0] << "=" << setting[1];
    EXPECT_EQ(run.err, std::string("tzdag: ") + setting[0] + ": " + setting[2] + "\n");
    EXPECT_EQ(run.out, "");
  }
  // Every command, not only those that search.
  run = tztest::RunTzdag({"--store", env.storePath(), "servers", "--client", "2"}, "",
                         {{"TZ_DIRECTORY_TLS", "ssl"}});
  EXPECT_EQ(run.exitCode, 2) << run.err;
}

TEST(DirectoryTextTest, EscapesFilterValuesAndReadsServerForms) {
  const nlohmann::json cases = tztest::PlatformCases("directory_text");
  for (const auto& e : cases["escapes"]) {
    EXPECT_EQ(tzplatform::EscapeFilterValue(e[0].get<std::string>()), e[1].get<std::string>())
        << e[0];
  }
  for (const auto& f : cases["forms"]) {
    std::string url, error;
    bool tls = false;
    const bool ok = tzplatform::DirectoryUrl(f[0].get<std::string>(), url, tls, error);
    EXPECT_EQ(ok, f[1] != "") << f[0] << ": " << error;
    if (ok) {
      EXPECT_EQ(url, f[1]) << f[0];
      EXPECT_EQ(tls, f[2]) << f[0];
    }
  }
}

}  // namespace
