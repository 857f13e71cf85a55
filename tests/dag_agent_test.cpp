// The directory agent and the directory-value helpers.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../src/internal.h"
#include "temp_dir.h"
#include "tzdag/DagDiscoverAgent.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/log.h"
#include "tzplatform/settings.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(DirectoryHelpersTest, FormDomainPostfixTurnsDomainComponentsIntoADottedSuffix) {
  struct Case {
    std::string dn;
    std::string postfix;
  };
  const Case cases[] = {
      {"DC=corp,DC=example,DC=com", ".corp.example.com"},
      {"CN=Srv1,DC=corp,DC=com", "CN=Srv1.corp.com"},
      {"dc=Corp,Dc=com", ".Corp.com"},
      {"CN=Srv1 OU=Servers", "CN=Srv1 OU=Servers"},
      {"", ""},
      {"a,,b,", "ab"},
      {"DC=DC=x", "..x"},  // occurrences do not overlap
      {"DDC==C", "D.=C"},  // replaced text is not searched again
      {"DC,=x", "DC=x"},   // a comma removed late does not form a new component
  };
  for (const Case& c : cases) {
    std::string dn = c.dn;
    EXPECT_EQ(FormDomainPostfix(dn), c.postfix) << c.dn;
    EXPECT_EQ(dn, c.dn) << "the argument is left as it was";
  }
}

TEST(DirectoryHelpersTest, FindAndReplaceSearchesAgainOnlyWhileTheTextShrinks) {
  struct Case {
    std::string text;
    std::string pattern;
    std::string replacement;
    std::string result;
  };
  const Case cases[] = {
      {"abb", "ab", "a", "a"},  // ab, then a: the new text is searched from the start
      {"caaabbbd", "ab", "", "cd"},
      {"aaa", "aa", "a", "a"},
      {"a.b.c", ".", "", "abc"},
      {"a.b.c", ".", "::", "a::b::c"},
      {"no match", "xyz", "q", "no match"},
      {"", "ab", "a", ""},
      {"DC=a,DC=b", "DC=", ".", ".a,.b"},
      // An empty pattern would match everywhere forever: nothing changes.
      {"abc", "", "x", "abc"},
      {"", "", "x", ""},
      // A replacement as long as the pattern or longer: one pass, left to
      // right, whether or not it holds the pattern; searched again, aab would
      // grow forever with ab -> bbaa.
      {"aXa", "a", "aa", "aaXaa"},
      {"ab", "ab", "ab", "ab"},
      {"abab", "ab", "xaby", "xabyxaby"},
      {"aab", "ab", "bbaa", "abbaa"},
      {"aab", "ab", "ba", "aba"},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    FindAndReplace(text, c.pattern, c.replacement);
    EXPECT_EQ(text, c.result) << c.text << " / " << c.pattern << " / " << c.replacement;
  }
}

TEST(DirectoryHelpersTest, DecodeADAttributeValueDecodesOnlyColonMarkedValues) {
  struct Case {
    const char* value;  // null allowed
    std::string text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {nullptr, "", {}},
      {"", "", {}},
      {"CN=DAG01", "CN=DAG01", {}},
      {"a:b", "a:b", {}},
      {":REFHMDE=", "DAG01", {"[DecodeADAttributeValue]: Decode AD value: :REFHMDE="}},
      {":", "", {"[DecodeADAttributeValue]: Decode AD value: :"}},
      // The blank after the colon belongs to the Base64 text, which is then
      // not valid Base64.
      {": REFHMDE=", "", {"[DecodeADAttributeValue]: Decode AD value: : REFHMDE="}},
  };
  for (const Case& c : cases) {
    tzplatform::LogCapture capture;
    std::vector<char> buffer;
    char* value = nullptr;
    if (c.value != nullptr) {
      buffer.assign(c.value, c.value + std::string(c.value).size() + 1);
      value = buffer.data();
    }
    EXPECT_EQ(DecodeADAttributeValue(value), c.text) << (c.value ? c.value : "(null)");
    EXPECT_EQ(capture.Texts(), c.lines) << (c.value ? c.value : "(null)");
  }
}

TEST(DagDiscoverAgentTest, HoldsCredentialsWithThePasswordDecryptedAndNullsAsEmpty) {
  tztest::TempDir keyFolder;
  tzplatform::SetKeyFile(keyFolder.File("tzdag.key"));
  const std::string longest(2047, 'p');  // fills the buffer but for its terminator
  const std::string tooLong(2048, 'p');
  const std::string huge(5000, 'p');
  const std::string encryptedSecret = TZPassword::Encrypt("s3cret pass");
  const std::string encryptedLongest = TZPassword::Encrypt(longest);
  const std::string encryptedTooLong = TZPassword::Encrypt(tooLong);
  const std::string encryptedHuge = TZPassword::Encrypt(huge);
  struct Case {
    const char* ad;
    const char* user;
    const char* encrypted;
    const char* dag;
    std::string password;
    std::string dagName;
  };
  const Case cases[] = {
      {"dc01", "backupadmin", encryptedSecret.c_str(), "DAG01", "s3cret pass", "DAG01"},
      {"dc01", "backupadmin", encryptedSecret.c_str(), nullptr, "s3cret pass", ""},
      {nullptr, nullptr, nullptr, nullptr, "", ""},
      {"dc01", "u", "", "", "", ""},
      // Decryption failures leave an empty password, never leftover bytes.
      {"dc01", "u", "not an encrypted text", nullptr, "", ""},
      {"dc01", "u", encryptedLongest.c_str(), nullptr, longest, ""},
      {"dc01", "u", encryptedTooLong.c_str(), nullptr, "", ""},
      {"dc01", "u", encryptedHuge.c_str(), nullptr, "", ""},
  };
  for (const Case& c : cases) {
    // A failed decryption right after a successful one must not see its bytes.
    DagDiscoverAgent previous("dc01", "u", encryptedLongest.c_str(), nullptr);
    DagDiscoverAgent agent(c.ad, c.user, c.encrypted, c.dag);
    const std::string label = c.encrypted ? std::string(c.encrypted).substr(0, 40) : "(null)";
    EXPECT_EQ(agent.AdServerName(), c.ad ? c.ad : "") << label;
    EXPECT_EQ(agent.UserName(), c.user ? c.user : "") << label;
    EXPECT_EQ(agent.Password(), c.password) << label;
    EXPECT_EQ(agent.DagName(), c.dagName) << label;
  }
  tzplatform::ResetSettings();
}

TEST(DagServerTest, DumpObjectPrintsTheDagAndEachMemberToStandardOutput) {
  struct Case {
    _tagDagServer dag;
    std::string printed;
  };
  const Case cases[] = {
      {{"DAG01", "CN=DAG01,DC=corp,DC=com", {}},
       "Dag name = DAG01\nDag DN = CN=DAG01,DC=corp,DC=com\n"},
      {{"DAG01", "", {{"MBX01", true}, {"MBX02", false}}},
       "Dag name = DAG01\nDag DN = \n===Child Server: MBX01\n===Child Server: MBX02\n"},
      {{"100%s", "%n", {{"%d", false}}}, "Dag name = 100%s\nDag DN = %n\n===Child Server: %d\n"},
  };
  for (const Case& c : cases) {
    tzplatform::LogCapture capture;
    _tagDagServer dag = c.dag;
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    dag.DumpObject();
    std::fflush(stdout);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed);
    EXPECT_THAT(capture.Texts(), IsEmpty()) << "the dump does not go to the log";
  }
}

}  // namespace
