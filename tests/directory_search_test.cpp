// Direct DAG discovery against a directory server of the test's own (slapd
// holding tests/data/directory/directory.ldif), with the demo store for the
// agent flags and the new-member filter: MBX01, MBX02 and MBX04 carry the
// agent, MBX03 does not, MBX12 does (release 13, in no DAG); MBX01 to MBX04
// belong to a DAG; the other servers are no clients.
#include <gmock/gmock.h>

#include "../platform/src/directory/directory_search.h"
#include "log_lines.h"
#include "platform_cases.h"
#include "process_census.h"
#include "records_support.h"
#include "test_directory.h"
#include "test_env.h"
#include "tzdag/TzDagApi.h"
#include "tzdag_runner.h"
#include "tzplatform/DirectorySearch.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/settings.h"

namespace {

using tztest::TestDirectory;
const std::string kAccount = TestDirectory::kAccount;

// Discovers all DAGs (`dag` null) or one, with or without the new-member
// filter, into an answer that held a stale entry; `answer`: its fields after.
bool Discover(const std::string& server, const std::string& account, const std::string& encrypted,
              const char* dag, bool newMembers, std::string& answer) {
  const char *s = server.c_str(), *a = account.c_str(), *e = encrypted.c_str();
  if (dag == nullptr) {
    Uvo::DAGDiscoverResp resp;
    resp.setDags({Uvo::DAGSetup()});
    tzdag::SetString(resp.getDags()[0], Uvo::DAGSetup::kDagName, "STALE");
    const bool ok =
        newMembers ? DiscoverDagWithNewMembers(s, a, e, resp) : DiscoverDag(s, a, e, resp);
    answer = tztest::Fields(resp);
    return ok;
  }
  Uvo::DAGMemberServersResp resp;
  resp.setMemberServers({tztest::MemberRecord("STALE", true)});
  const bool ok =
      newMembers ? DiscoverDagWithNewMembers(s, a, e, dag, resp) : DiscoverDag(s, a, e, dag, resp);
  answer = tztest::Fields(resp);
  return ok;
}

// The first line of a discovery.
std::string DiscoverLine(bool newMembers, const std::string& server, const std::string& account,
                         const std::string& encrypted, const char* dag) {
  return std::string(newMembers ? "[DiscoverDagWithNewMembers]" : "[DiscoverDag]") +
         ": Discover Dag. adServerName=" + server + "; userName=" + account +
         "; encryptedPassword=" + encrypted + (dag ? std::string("; dagName=") + dag : "");
}

// Pages of 4, smaller than the server's limit of 5 entries, so that DAG01's
// six members and the five DAGs each take two pages. The test directory
// speaks TLS only when started with it.
void UseDirectory(const std::string& tls = "none", const std::string& caFile = "",
                  int timeout = 10) {
  tzplatform::SetDirectorySettings({"ldap", tls, caFile, timeout, 4});
}

// The line of a bind in clear text.
std::string ClearTextLine(const std::string& url) {
  return "binding to " + url +
         " in clear text (TZ_DIRECTORY_TLS=none): the password can be read on the network";
}

class DirectorySearchTest : public ::testing::Test {
 protected:
  void SetUp() override { UseDirectory(); }
  void TearDown() override {
    directory_.reset();
    EXPECT_FALSE(tztest::HasChildProcess()) << "the directory server was left running";
    EXPECT_EQ(tztest::ReadFile(env_.logPath()).find(TestDirectory::kPassword), std::string::npos);
  }

  tztest::TestEnv env_{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  std::unique_ptr<TestDirectory> directory_ =
      std::make_unique<TestDirectory>(TestDirectory::Options{true, false});
  const std::string url_ = directory_->url();
  const std::string encrypted_ = TZPassword::Encrypt(TestDirectory::kPassword);
};

TEST_F(DirectorySearchTest, FindsDagsByNameWithTheirMembersAndTheNewMemberFilter) {
  // tests/data/platform/directory_text.json "found": DAG (null: every DAG),
  // new-member filter, answer, SearchDag's line. DAG77 lies outside the
  // configuration naming context; MBX99 is linked to no DAG; MBX11's link
  // names DAG02 in other letter case and spacing. Filter characters in a name
  // match only themselves.
  const nlohmann::json cases = tztest::PlatformCases("directory_text");
  for (const nlohmann::json& c : cases.at("found")) {
    const std::string name = c[0].is_null() ? "" : c[0].get<std::string>();
    const char* dag = c[0].is_null() ? nullptr : name.c_str();
    SCOPED_TRACE(c.dump());
    tzplatform::LogCapture capture;
    std::string answer;
    ASSERT_TRUE(Discover(url_, kAccount, encrypted_, dag, c[1], answer))
        << ::testing::PrintToString(capture.Texts());
    EXPECT_EQ(answer, c[2]);
    EXPECT_THAT(capture.Texts(), ::testing::Contains("[SearchDag]: " + c[3].get<std::string>()));
    EXPECT_EQ(capture.Texts()[0], DiscoverLine(c[1], url_, kAccount, encrypted_, dag));
  }
}
TEST_F(DirectorySearchTest, FailuresAndRefusedNamesTakeTheFailurePathAndLeaveTheAnswer) {
  TestDirectory stopped, silent;  // silent: takes connections and never answers
  const std::string stoppedUrl = stopped.url(), silentUrl = silent.url();
  stopped.Stop();
  silent.Pause();
  const std::string as = " as '" + kAccount + "'", failed = "Directory search failed: ";
  const std::string noPassword =
      failed + "no password for '" + kAccount + "' (empty, or it could not be decrypted)";
  // Server, account, encrypted password, DAG and SearchDag's line (one '*'
  // for any text).
  using Case = std::tuple<std::string, std::string, std::string, const char*, std::string>;
  std::vector<Case> cases = {
      {url_, kAccount, TZPassword::Encrypt("Pa55word-not"), nullptr,
       failed + "bind to " + url_ + as + ": Invalid credentials (49)"},
      // The account goes to the bind as it is given (Active Directory takes
      // this form; OpenLDAP does not).
      {url_, "backup@corp.example", encrypted_, nullptr,
       failed + "bind to " + url_ + " as 'backup@corp.example': Invalid DN syntax (34)*"},
      {stoppedUrl, kAccount, encrypted_, nullptr,
       failed + "bind to " + stoppedUrl + as + ": Can't contact LDAP server (-1)"},
      {silentUrl, kAccount, encrypted_, nullptr, failed + "bind to " + silentUrl + as + ": *"},
      {url_, kAccount, "", nullptr, noPassword},
      {url_, kAccount, "not-encrypted", nullptr, noPassword},
      {url_, "", encrypted_, nullptr, failed + "no account given for " + url_},
      // The server's form is checked before anything else.
      {"dc01:389", kAccount, encrypted_, nullptr,
       failed + "'dc01:389' is neither a host name nor an ldap:// or ldaps:// URL"},
  };
  // Names the directory cannot hold are refused before any search.
  const std::string longName(65, 'D');
  for (const auto& [name, why] : std::vector<std::pair<const char*, std::string>>{
           {longName.c_str(), "is longer than 64 bytes"},
           {"DAG\x01", "holds a control character"},
           {"DAG\x7F", "holds a control character"},
           {"DAG\xFF", "is not UTF-8"},
           {"DAG\xC3", "is not UTF-8"},
           {"\xC0\xAF", "is not UTF-8"}}) {  // an overlong '/'
    cases.push_back({url_, kAccount, encrypted_, name,
                     "The DAG name " + why + "; the directory is not searched."});
  }
  UseDirectory("none", "", 1);
  for (const auto& [server, account, encrypted, dag, line] : cases) {
    for (bool newMembers : {false, true}) {
      SCOPED_TRACE(line + (newMembers ? " (new members)" : ""));
      tzplatform::LogCapture capture;
      std::string answer;
      EXPECT_FALSE(Discover(server, account, encrypted, dag, newMembers, answer));
      EXPECT_EQ(answer,
                dag ? "{members=[{server='STALE' uvo=1}]}" : "{dags=[{dagName='STALE' members=-}]}")
          << "the answer is left alone";
      std::vector<std::string> lines = {DiscoverLine(newMembers, server, account, encrypted, dag)};
      // A search that gets as far as the bind says first that it is in clear text.
      if (line.rfind(failed + "bind to ", 0) == 0) lines.push_back(ClearTextLine(server));
      lines.push_back("[SearchDag]: " + line);
      lines.push_back((newMembers ? "[DiscoverDagWithNewMembers]" : "[DiscoverDag]") +
                      std::string(": Discover dag failed!"));
      EXPECT_TRUE(tztest::LinesAre(capture.Texts(), lines));
    }
  }

  // With the setting off the search is the empty step, whatever the name.
  tzplatform::SetDirectorySettings({});
  tzplatform::LogCapture capture;
  std::string answer = "unchanged";
  EXPECT_TRUE(Discover(url_, kAccount, encrypted_, nullptr, true, answer));
  EXPECT_TRUE(Discover(url_, kAccount, encrypted_, "DAG\x01", false, answer));
  EXPECT_EQ(answer, "{members=[]}");
  EXPECT_EQ(capture.Texts(),
            (std::vector<std::string>{DiscoverLine(true, url_, kAccount, encrypted_, nullptr),
                                      DiscoverLine(false, url_, kAccount, encrypted_, "DAG\x01")}));
}

// TLS unless clear text is asked for: StartTLS on an ldap:// server by
// default, a server that cannot start TLS refused rather than bound to in
// clear text, and ldaps:// over TLS whatever the setting.
TEST(DirectoryTlsTest, ChecksTheServersCertificateOverLdapsAndStartTls) {
  tztest::TestEnv env{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  TestDirectory directory(TestDirectory::Options{false, true}), plain;
  const std::string encrypted = TZPassword::Encrypt(TestDirectory::kPassword);
  const std::string ldaps = directory.ldapsUrl(), url = directory.url();
  const std::string localhost = "ldaps://localhost:" + ldaps.substr(ldaps.rfind(':') + 1);
  const std::string as = " as '" + kAccount + "'";
  const std::string hint =
      "; if the server is up and offers TLS, check that its certificate is from an authority "
      "trusted here (TZ_DIRECTORY_CA_FILE) and names the host as given";
  const std::string noStartTls = "Protocol error (2): unsupported extended operation";
  // Server, TLS setting, the test's authority given, and why it fails (empty:
  // it succeeds).
  using Case = std::tuple<std::string, std::string, bool, std::string>;
  const Case cases[] = {
      {ldaps, "", true, ""},
      {url, "", true, ""},
      {url, "starttls", true, ""},
      {plain.url(), "none", false, ""},
      // Certificate checking is on without being asked for.
      {ldaps, "", false, "bind to " + ldaps + as + ": Can't contact LDAP server (-1)" + hint},
      {url, "", false, "StartTLS with " + url + ": Connect error (-11)" + hint},
      {ldaps, "none", false, "bind to " + ldaps + as + ": Can't contact LDAP server (-1)" + hint},
      // The certificate names 127.0.0.1, not localhost.
      {localhost, "", true,
       "bind to " + localhost + as + ": Can't contact LDAP server (-1)" + hint},
      // A server without TLS is not bound to in clear text unless asked for.
      {plain.url(), "", false, "StartTLS with " + plain.url() + ": " + noStartTls},
      {plain.url(), "starttls", false, "StartTLS with " + plain.url() + ": " + noStartTls},
  };
  for (const auto& [server, tls, trusted, reason] : cases) {
    SCOPED_TRACE(server + " TLS '" + tls + "'" + (trusted ? " trusted" : ""));
    UseDirectory(tls, trusted ? directory.caFile() : "");
    tzplatform::LogCapture capture;
    std::string answer;
    EXPECT_EQ(Discover(server, kAccount, encrypted, nullptr, false, answer), reason.empty());
    const std::string failed = "[SearchDag]: Directory search failed: " + reason;
    EXPECT_TRUE(reason.empty()
                    ? answer.find("{server='MBX31' uvo=0}") != std::string::npos
                    : tztest::LinesEndWith(capture.Texts(),
                                           {failed, "[DiscoverDag]: Discover dag failed!"}))
        << ::testing::PrintToString(capture.Texts());
    // Only a bind in clear text says so.
    const std::vector<std::string> texts = capture.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), ClearTextLine(server)),
              tls == "none" && server == plain.url() ? 1 : 0);
  }
}

// What a core dump taken after a directory search would hold: nothing,
// since the process is not dumpable from the moment it decrypts the password
// on, and no copy of the password is left in its memory, whether it went over
// TLS or in clear text. Each search runs in a fresh process (no copy made by
// this test is there to be found).
TEST(DirectorySecretTest, NoCopyOfThePasswordOutlivesTheSearch) {
  tztest::TestEnv env{nlohmann::json{{"store", tztest::DemoFixture()["store"]}}};
  TestDirectory directory(TestDirectory::Options{false, true});
  const std::string key = env.dir() + "/tzdag.key";
  tzplatform::SetKeyFile(key);
  for (const auto& [account, password] : std::vector<std::pair<std::string, std::string>>{
           {kAccount, TestDirectory::kPassword},
           {TestDirectory::kLongAccount, TestDirectory::kLongPassword}}) {
    const std::string encrypted = TZPassword::Encrypt(password);
    std::string masked;
    for (const char c : password) {
      char hex[3];
      std::snprintf(hex, sizeof(hex), "%02x", static_cast<unsigned char>(c) ^ 0x5A);
      masked += hex;
    }
    for (const auto& [server, tls] : std::vector<std::pair<std::string, std::string>>{
             {directory.url(), "none"}, {directory.url(), ""}, {directory.ldapsUrl(), ""}}) {
      SCOPED_TRACE(account + " " + server + " " + tls);
      const tztest::ToolRun run =
          tztest::RunProgram(TZ_PASSWORD_RESIDUE_PATH, {server, account, encrypted, masked}, "",
                             {{"TZ_CONFIG_STORE", env.storePath()},
                              {"TZ_KEY_FILE", key},
                              {"TZ_LOG_FILE", env.logPath()},
                              {"TZ_DIRECTORY_SEARCH", "ldap"},
                              {"TZ_DIRECTORY_TLS", tls},
                              {"TZ_DIRECTORY_CA_FILE", directory.caFile()}});
      EXPECT_EQ(run.out, "dumpable before: 1\ndiscovery: ok, 5 DAGs\ndumpable after: 0\nno copy\n")
          << run.err;
    }
  }
}

// tzdag discover-dags without --proxy, as a user runs it against the
// directory: the new-member filter applies.
TEST_F(DirectorySearchTest, ToolDiscoverDagsSearchesTheDirectoryWhenTheSettingAsks) {
  TestDirectory directory;  // the tool asks for pages of 500
  auto tzdag = [&](std::map<std::string, std::string> environment) {
    environment.emplace("TZ_DIRECTORY_SEARCH", "ldap");
    environment.emplace("TZ_DIRECTORY_TLS", "none");
    return tztest::RunTzdag(
        {"--store", env_.storePath(), "--remote-root", env_.remoteRoot(), "--log", env_.logPath(),
         "discover-dags", "--ad", directory.url(), "--user", kAccount, "--password", encrypted_},
        "", environment);
  };
  tztest::ToolRun run = tzdag({});
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

  // Settings that are not valid stop the command before any work
  // (directory_text.json "settings": variable, value, message).
  const nlohmann::json cases = tztest::PlatformCases("directory_text");
  for (const nlohmann::json& c : cases.at("settings")) {
    run = tzdag({{c[0], c[1]}});
    EXPECT_EQ(run.exitCode, 2) << c;
    EXPECT_EQ(run.out + run.err,
              "tzdag: " + c[0].get<std::string>() + ": " + c[2].get<std::string>() + "\n");
  }
  // Every command, not only those that search.
  run = tztest::RunTzdag({"--store", env_.storePath(), "servers", "--client", "2"}, "",
                         {{"TZ_DIRECTORY_TLS", "ssl"}});
  EXPECT_EQ(run.exitCode, 2) << run.err;
}

TEST(DirectoryTextTest, ReadsServerFormsAndRefusesOthers) {
  const nlohmann::json cases = tztest::PlatformCases("directory_text");
  for (const auto& f : cases["forms"]) {
    std::string url, error;
    bool tls = false;
    const bool ok = tzplatform::DirectoryUrl(f[0].get<std::string>(), url, tls, error);
    EXPECT_EQ(ok ? url + (tls ? " tls" : "") : "", f[1].get<std::string>() + (f[2] ? " tls" : ""))
        << f[0] << ": " << error;
  }
}

}  // namespace
