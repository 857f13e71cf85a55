// Password encryption and Base64: authenticated texts under the host key,
// the old form still read, strict input, never a byte written past the
// buffer the caller gives, and a key file only its owner can read.

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform_cases.h"
#include "temp_dir.h"
#include "tzplatform/DirectorySearch.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/faults.h"
#include "tzplatform/settings.h"

namespace {

// Decrypts into a buffer that announces `capacity` bytes and holds canary
// bytes beyond it: a success writes the password's bytes and nothing after
// them, a failure writes nothing at all. Status, length, text and whether the
// canary is whole.
using Decrypted = std::tuple<int, int, std::string, bool>;
Decrypted Decrypt(const std::string& encrypted, int capacity = 2047) {
  std::vector<char> buffer(static_cast<size_t>(std::max(capacity, 0)) + 16, '\x5c');
  int length = capacity;
  int status = TZPassword().decrypt(encrypted.c_str(), buffer.data(), &length);
  const size_t written = status == 0 && length > 0 ? static_cast<size_t>(length) : 0;
  return {status, length, std::string(buffer.data(), written),
          std::all_of(buffer.begin() + written, buffer.end(), [](char c) { return c == '\x5c'; })};
}

// Every test has a key file of its own in a fresh folder.
class PasswordTest : public ::testing::Test {
 protected:
  void SetUp() override { tzplatform::SetKeyFile(key_); }
  void TearDown() override { tzplatform::ResetSettings(); }

  tztest::TempDir dir_;
  std::string key_ = dir_.File("tzdag.key");
  nlohmann::json cases_ = tztest::PlatformCases("password");
};

TEST_F(PasswordTest, EncryptedFormRoundTripsExactlyWithAFreshNonceEachTime) {
  for (const std::string& plain :
       {std::string(), std::string("nul\0inside", 10), std::string(2047, 'x')}) {
    SCOPED_TRACE(plain.size());
    const std::string encrypted = TZPassword::Encrypt(plain);
    EXPECT_EQ(encrypted.rfind("TZP2:", 0), 0u);
    EXPECT_EQ(encrypted.find_first_of(" \t\n"), std::string::npos);
    EXPECT_NE(TZPassword::Encrypt(plain), encrypted);
    EXPECT_EQ(Decrypt(encrypted), Decrypted(0, static_cast<int>(plain.size()), plain, true));
  }
  // Texts written by earlier versions need no key.
  std::filesystem::remove(key_);
  for (const nlohmann::json& c : cases_["oldForm"])
    EXPECT_EQ(std::get<2>(Decrypt(c["encrypted"])), c["plain"]);
  EXPECT_FALSE(std::filesystem::exists(key_));
}

TEST_F(PasswordTest, ChangedMalformedOrForeignTextFailsWithoutWritingAByte) {
  const std::string good = TZPassword::Encrypt("twelve chars");
  for (auto [capacity, length] : {std::pair{12, 12}, {13, 12}, {11, 0}, {0, 0}, {-1, 0}}) {
    auto [status, got, text, canaryIntact] = Decrypt(good, capacity);
    EXPECT_EQ(std::make_tuple(status == 0, got, canaryIntact),
              std::make_tuple(length > 0, length, true))
        << capacity;
  }

  tzplatform::SetKeyFile(dir_.File("other.key"));
  const std::string foreign = TZPassword::Encrypt("secret");
  tzplatform::SetKeyFile(key_);
  const std::string notMade = "it was not made with the key in " + key_ + ", or was changed since";
  auto altered = [&](size_t at) {  // a letter of the text changed
    std::string text = good;
    text[at] = text[at] == 'A' ? 'B' : 'A';
    return text;
  };
  nlohmann::json cases = cases_["refused"];
  for (const auto& [encrypted, problem] : std::vector<std::pair<std::string, std::string>>{
           {foreign, notMade},
           {altered(6), notMade},                // in the nonce
           {altered(5 + 16 + 2), notMade},       // in the ciphertext
           {altered(good.size() - 4), notMade},  // in the tag
           {"TZP2:" + good.substr(9), notMade},  // cut at the front
           {good + "=", "its text after the prefix is not Base64"},
           {"TZP2:" + std::string(70000, 'A'), "it is longer than any encrypted password"}}) {
    cases.push_back({{"encrypted", encrypted}, {"problem", problem}});
  }
  for (const nlohmann::json& c : cases) {
    const std::string encrypted = c["encrypted"];
    SCOPED_TRACE(encrypted.substr(0, 60));
    auto [status, length, text, canaryIntact] = Decrypt(encrypted, 64);
    EXPECT_EQ(std::make_tuple(status != 0, length, canaryIntact), std::make_tuple(true, 0, true));
    EXPECT_EQ(TZPassword::Problem(encrypted.c_str()), c["problem"]);
  }
  char buffer[8];
  EXPECT_NE(TZPassword().decrypt(nullptr, buffer, nullptr), 0);
  tzplatform::FaultInjector faults;
  faults.Fail("TZPassword::decrypt", "*", 9);
  EXPECT_EQ(std::get<0>(Decrypt(good)), 9);
}

// The key file is made once, private, and refused when anyone else could
// use it or it is not a key; decryption never makes one.
TEST_F(PasswordTest, TheKeyFileIsPrivateAndRefusedOtherwise) {
  const std::string someText = "TZP2:" + std::string(40, 'A');
  EXPECT_EQ(TZPassword::Problem(someText.c_str()), "the key file " + key_ + " does not exist");
  EXPECT_FALSE(std::filesystem::exists(key_));

  // Made at once by several threads, it is one key.
  std::vector<std::string> made(8);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < made.size(); ++i)
    threads.emplace_back([&made, i] { made[i] = TZPassword::Encrypt(std::to_string(i)); });
  for (std::thread& thread : threads) thread.join();
  for (size_t i = 0; i < made.size(); ++i)
    EXPECT_EQ(std::get<2>(Decrypt(made[i])), std::to_string(i));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()), {}),
            1);  // no temporary left
  const std::string key = tztest::ReadFile(key_);

  const std::string open = " is open to group or others (mode 0";
  const std::string owner = "); only its owner may read it (chmod 600 " + key_ + ")";
  for (const auto& [mode, content, problem] :
       std::vector<std::tuple<unsigned, std::string, std::string>>{
           {0620, key, open + "620" + owner},
           {0600, key.substr(1), " is 31 bytes long, not 32"},
           {0600, key + "x", " is 33 bytes long, not 32"},
           {0400, key, ""}}) {
    SCOPED_TRACE(problem);
    tztest::WriteFile(key_, content, mode);
    EXPECT_EQ(TZPassword::Problem(made[0].c_str()),
              problem.empty() ? "" : "the key file " + key_ + problem);
    EXPECT_EQ(std::get<0>(Decrypt(made[0])) == 0, problem.empty());
    EXPECT_EQ(tztest::ErrorOf<tzplatform::KeyFileError>([] { TZPassword::Encrypt("x"); }),
              problem.empty() ? "(nothing thrown)" : "the key file " + key_ + problem);
  }
  std::filesystem::remove(key_);
  std::filesystem::create_directory(key_);
  EXPECT_EQ(TZPassword::Problem(made[0].c_str()),
            "the key file " + key_ + " is not a regular file");
  tzplatform::SetKeyFile(dir_.File("no/such/folder/tzdag.key"));
  EXPECT_THROW(TZPassword::Encrypt("x"), tzplatform::KeyFileError);
}

// Without a key file named, the key is kept beside the store, and only
// beside one that is there: a program run without a store would otherwise
// make a key in whatever folder it runs in, and passwords encrypted under it
// would not decrypt where the store is.
TEST(KeyFilePlaceTest, AKeyIsMadeBesideAStoreOnlyWhenTheStoreIsThere) {
  tztest::TempDir dir;
  tzplatform::ResetSettings();
  unsetenv("TZ_KEY_FILE");
  tzplatform::SetStorePath(dir.File("store.db"));
  const std::string problem =
      "there is no store at " + dir.File("store.db") + " to keep the host key beside";
  EXPECT_EQ(tzplatform::KeyFileProblem(), problem);
  EXPECT_EQ(tztest::ErrorOf<tzplatform::KeyFileError>([] { TZPassword::Encrypt("x"); }),
            problem + ": name the key file (TZ_KEY_FILE) or the store (TZ_CONFIG_STORE)");
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  tzplatform::SetKeyFile(dir.File("named.key"));
  EXPECT_EQ(tzplatform::KeyFileProblem(), "");
  tzplatform::ResetSettings();
  setenv("TZ_KEY_FILE", dir.File("from-environment.key").c_str(), 1);
  tzplatform::SetStorePath(dir.File("store.db"));
  EXPECT_EQ(tzplatform::KeyFileProblem(), "");
  unsetenv("TZ_KEY_FILE");

  // A folder where the store should be is no store either.
  std::filesystem::create_directory(dir.File("folder.db"));
  tzplatform::SetStorePath(dir.File("folder.db"));
  EXPECT_EQ(tzplatform::KeyFileProblem(),
            "there is no store at " + dir.File("folder.db") + " to keep the host key beside");
  tzplatform::SetStorePath(dir.File("store.db"));
  tztest::WriteFile(dir.File("store.db"), "");
  EXPECT_EQ(tzplatform::KeyFileProblem(), "");
  EXPECT_EQ(TZPassword::Encrypt("x").rfind("TZP2:", 0), 0u);
  EXPECT_TRUE(std::filesystem::exists(dir.File("tzdag.key")));
  tzplatform::ResetSettings();
}

// A plain password in memory keeps the process out of core dumps for the
// rest of its run: decrypting one (or finding whether it decrypts, which is
// the same work), encrypting one, and a directory search, whatever the
// outcome. Each call runs in a child of its own, which starts dumpable.
TEST_F(PasswordTest, APlainPasswordInMemoryMakesTheProcessUndumpable) {
  const std::string good = TZPassword::Encrypt("secret");
  tzplatform::SetDirectorySettings({"ldap", "none", "", 1, 4});
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"decrypt", [&] { Decrypt(good); }},
      {"decrypt of no password", [] { Decrypt("not encrypted"); }},
      {"problem", [&] { TZPassword::Problem(good.c_str()); }},
      {"encrypt", [] { TZPassword::Encrypt("secret"); }},
      {"directory search", [] {
         std::vector<tzplatform::DirectoryDag> dags;
         std::string error;
         tzplatform::SearchDirectoryForDags("ldap://127.0.0.1:1", "u", "secret", "", dags, error);
       }}};
  for (const auto& [name, call] : calls) {
    SCOPED_TRACE(name);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
      call();
      _exit(prctl(PR_GET_DUMPABLE) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "still dumpable";
  }
}

// Strict standard Base64 with padding: anything else decodes to nothing.
TEST(Base64, StrictStandardAlphabetWithPadding) {
  const nlohmann::json cases = tztest::PlatformCases("password");
  for (const nlohmann::json& c : cases.at("base64")) {
    std::string bytes;
    if (c["bytes"].is_array()) {
      for (int byte : c["bytes"]) bytes += static_cast<char>(byte);
    } else {
      bytes = c["bytes"];
    }
    EXPECT_EQ(base64_decode(c["text"]), bytes) << c["text"];
    EXPECT_TRUE(bytes.empty() || base64_encode(bytes) == c["text"]) << c["text"];
  }
}

}  // namespace
