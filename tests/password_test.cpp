// Password encryption and Base64: authenticated texts under the host key,
// the old form still read, exact lengths, strict input, never a byte written
// past the buffer the caller gives, and a key file only its owner can read.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store_support.h"
#include "temp_dir.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/faults.h"
#include "tzplatform/settings.h"

namespace {

constexpr char kCanary = '\x5c';

struct Decrypted {
  int status;
  int length;
  std::string text;
  bool canaryIntact;
};

// Decrypts into a buffer that announces `capacity` bytes and holds canary
// bytes beyond it: a success writes the password's bytes and nothing after
// them, a failure writes nothing at all.
Decrypted Decrypt(const char* encrypted, int capacity) {
  std::vector<char> buffer(static_cast<size_t>(capacity > 0 ? capacity : 0) + 16, kCanary);
  int length = capacity;
  int status = TZPassword().decrypt(encrypted, buffer.data(), &length);
  const size_t written = status == 0 && length > 0 ? static_cast<size_t>(length) : 0;
  bool intact = true;
  for (size_t i = written; i < buffer.size(); ++i) intact = intact && buffer[i] == kCanary;
  return {status, length, std::string(buffer.data(), written), intact};
}

// Every test has a key file of its own in a fresh folder.
class PasswordTest : public ::testing::Test {
 protected:
  void SetUp() override { tzplatform::SetKeyFile(key_); }
  void TearDown() override { tzplatform::ResetSettings(); }

  tztest::TempDir dir_;
  std::string key_ = dir_.File("tzdag.key");
};

// The encrypted text with its character at `at` changed to another letter.
std::string Altered(const std::string& encrypted, size_t at) {
  std::string altered = encrypted;
  altered[at] = altered[at] == 'A' ? 'B' : 'A';
  return altered;
}

TEST_F(PasswordTest, EncryptedFormRoundTripsExactlyWithAFreshNonceEachTime) {
  const std::string passwords[] = {"",
                                   "a",
                                   "Pa55 w0rd!",
                                   "p\xc3\xa4sswort",
                                   std::string("nul\0inside", 10),
                                   std::string(2047, 'x')};
  for (const std::string& plain : passwords) {
    SCOPED_TRACE(plain.size());
    std::string encrypted = TZPassword::Encrypt(plain);
    EXPECT_EQ(encrypted.rfind("TZP2:", 0), 0u);
    for (char c : encrypted) EXPECT_TRUE(c > ' ' && c < 127) << encrypted;
    EXPECT_NE(TZPassword::Encrypt(plain), encrypted);
    Decrypted out = Decrypt(encrypted.c_str(), 2047);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.length, static_cast<int>(plain.size()));
    EXPECT_EQ(out.text, plain);
    EXPECT_TRUE(out.canaryIntact);
    EXPECT_EQ(TZPassword::Problem(encrypted.c_str()), "");
  }
}

// Texts written by earlier versions, which need no key.
TEST_F(PasswordTest, TheOldFormStillDecrypts) {
  struct Case {
    const char* encrypted;
    std::string plain;
  };
  const Case cases[] = {{"TZP1:KW+au1A9", "secret"},
                        {"TZP1:CmvM/BU+uMJoKw==", "Pa55 w0rd!"},
                        {"TZP1:", ""},
                        {"TZP1:KsldukY+58J4", "p\xc3\xa4sswort"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.encrypted);
    Decrypted out = Decrypt(c.encrypted, 2047);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.text, c.plain);
  }
  EXPECT_FALSE(std::filesystem::exists(key_));
}

TEST_F(PasswordTest, BufferLengthIsNeverExceeded) {
  const std::string encrypted = TZPassword::Encrypt("twelve chars");
  struct Case {
    int capacity;
    int status;
    int length;
  };
  for (const Case& c :
       {Case{12, 0, 12}, Case{13, 0, 12}, Case{11, 1, 0}, Case{0, 1, 0}, Case{-1, 1, 0}}) {
    SCOPED_TRACE(c.capacity);
    Decrypted out = Decrypt(encrypted.c_str(), c.capacity);
    EXPECT_EQ(out.status != 0, c.status != 0);
    EXPECT_EQ(out.length, c.length);
    EXPECT_TRUE(out.canaryIntact);
  }
}

TEST_F(PasswordTest, ChangedMalformedOrForeignTextFailsCleanly) {
  const std::string good = TZPassword::Encrypt("secret");
  const std::string body = good.substr(5);
  tztest::TempDir other;
  tzplatform::SetKeyFile(other.File("tzdag.key"));
  const std::string foreign = TZPassword::Encrypt("secret");  // under another key
  tzplatform::SetKeyFile(key_);
  const std::string notMade = "it was not made with the key in " + key_ + ", or was changed since";
  struct Case {
    std::string input;
    std::string problem;
  };
  const Case cases[] = {
      {"secret", "it is not an encrypted password (one starts with TZP2:)"},
      {body, "it is not an encrypted password (one starts with TZP2:)"},
      {"tzp2:" + body, "it is not an encrypted password (one starts with TZP2:)"},
      {foreign, notMade},
      {Altered(good, 6), notMade},                // in the nonce
      {Altered(good, 5 + 16 + 2), notMade},       // in the ciphertext
      {Altered(good, good.size() - 4), notMade},  // in the tag
      {"TZP2:" + body.substr(4), notMade},        // cut at the front
      {"TZP1:*ABC", "its text after the prefix is not Base64"},
      {good + "=", "its text after the prefix is not Base64"},
      {good.substr(0, good.size() - 1), "its text after the prefix is not Base64"},
      {"TZP2:AAAAAAAA", "it is too short to be an encrypted password"},
      {"TZP1:c2Vj cmV0", "its text after the prefix is not Base64"},
      {"TZP1:QR==", "its text after the prefix is not Base64"},  // stray bits
      {"TZP2:" + std::string(70000, 'A'), "it is longer than any encrypted password"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.substr(0, 60));
    Decrypted out = Decrypt(c.input.c_str(), 64);
    EXPECT_NE(out.status, 0);
    EXPECT_EQ(out.length, 0);
    EXPECT_TRUE(out.canaryIntact);
    EXPECT_EQ(TZPassword::Problem(c.input.c_str()), c.problem);
  }
  EXPECT_NE(Decrypt(nullptr, 64).status, 0);
  char buffer[8];
  EXPECT_NE(TZPassword().decrypt(good.c_str(), buffer, nullptr), 0);

  tzplatform::FaultInjector faults;
  faults.Fail("TZPassword::decrypt", "*", 9);
  Decrypted injected = Decrypt(good.c_str(), 64);
  EXPECT_EQ(injected.status, 9);
  EXPECT_EQ(injected.length, 0);
}

// The key file is made once, private, and refused when anyone else could
// read it or it is not a key; decryption never makes one.
TEST_F(PasswordTest, TheKeyFileIsPrivateAndRefusedOtherwise) {
  const std::string encrypted = "TZP2:" + std::string(40, 'A');
  EXPECT_EQ(TZPassword::Problem(encrypted.c_str()), "the key file " + key_ + " does not exist");
  EXPECT_FALSE(std::filesystem::exists(key_));

  const std::string made = TZPassword::Encrypt("secret");
  struct stat st;
  ASSERT_EQ(stat(key_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_size, 32);
  EXPECT_EQ(tztest::FilesIn(dir_.path(), false).size(), 1u);  // no temporary file left
  const std::string key = tztest::ReadFile(key_);

  struct Case {
    unsigned mode;
    std::string content;
    std::string problem;
  };
  const Case cases[] = {
      {0640, key,
       "the key file " + key_ +
           " is open to group or others (mode 0640); only its owner may "
           "read it (chmod 600 " +
           key_ + ")"},
      {0604, key,
       "the key file " + key_ +
           " is open to group or others (mode 0604); only its owner may "
           "read it (chmod 600 " +
           key_ + ")"},
      {0620, key,
       "the key file " + key_ +
           " is open to group or others (mode 0620); only its owner may "
           "read it (chmod 600 " +
           key_ + ")"},
      {0600, key.substr(1), "the key file " + key_ + " is 31 bytes long, not 32"},
      {0600, key + "x", "the key file " + key_ + " is 33 bytes long, not 32"},
      {0400, key, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.problem);
    tztest::WriteFile(key_, c.content, c.mode);
    EXPECT_EQ(TZPassword::Problem(made.c_str()), c.problem);
    if (c.problem.empty()) {
      EXPECT_EQ(Decrypt(made.c_str(), 64).text, "secret");
      continue;
    }
    EXPECT_NE(Decrypt(made.c_str(), 64).status, 0);
    try {
      TZPassword::Encrypt("x");
      ADD_FAILURE() << "encrypted under a refused key";
    } catch (const tzplatform::KeyFileError& e) {
      EXPECT_EQ(std::string(e.what()), c.problem);
    }
  }

  std::filesystem::remove(key_);
  std::filesystem::create_directory(key_);
  EXPECT_EQ(TZPassword::Problem(made.c_str()), "the key file " + key_ + " is not a regular file");
  tzplatform::SetKeyFile(dir_.File("no/such/folder/tzdag.key"));
  EXPECT_THROW(TZPassword::Encrypt("x"), tzplatform::KeyFileError);
}

// Processes or threads that make the key at once end up with one key: every
// text any of them made decrypts.
TEST_F(PasswordTest, KeysMadeAtOnceAreOneKey) {
  std::vector<std::string> made(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < made.size(); ++i) {
    threads.emplace_back([&made, i] { made[i] = TZPassword::Encrypt("p" + std::to_string(i)); });
  }
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < made.size(); ++i) {
    EXPECT_EQ(Decrypt(made[i].c_str(), 64).text, "p" + std::to_string(i));
  }
}

TEST(PasswordKeyFile, LiesBesideTheStoreUnlessNamed) {
  tzplatform::SetStorePath("/srv/dag/store.db");
  EXPECT_EQ(tzplatform::KeyFile(), "/srv/dag/tzdag.key");
  tzplatform::SetStorePath("store.db");
  EXPECT_EQ(tzplatform::KeyFile(), "tzdag.key");
  setenv("TZ_KEY_FILE", "/etc/tzdag/host.key", 1);
  EXPECT_EQ(tzplatform::KeyFile(), "/etc/tzdag/host.key");
  tzplatform::SetKeyFile("/k");
  EXPECT_EQ(tzplatform::KeyFile(), "/k");
  unsetenv("TZ_KEY_FILE");
  tzplatform::ResetSettings();
}

TEST(Base64, StrictStandardAlphabetWithPadding) {
  struct Case {
    const char* text;
    std::string bytes;  // "" for text that is not valid
  };
  const Case cases[] = {
      {"", ""},        {"Zg==", "f"},        {"Zm8=", "fo"},
      {"Zm9v", "foo"}, {"Zm9vYg==", "foob"}, {"+/+/", "\xfb\xff\xbf"},
      {"Zg=", ""},     {"Zg", ""},           {"Z===", ""},
      {"Zh==", ""},    {"Zm9=", ""},         {"Zm 9v", ""},
      {"Zm9v\n", ""},  {"Zm9v====", ""},     {"Zg==Zg==", ""},
      {"-_-_", ""},    {"=Zm9", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(base64_decode(c.text), c.bytes);
    if (!c.bytes.empty()) {
      EXPECT_EQ(base64_encode(c.bytes), c.text);
    }
  }
}

}  // namespace
