// Password decryption and Base64: exact lengths, strict input, and never a
// byte written past the buffer the caller gives.
#include <cstring>

#include <gtest/gtest.h>

#include "tzplatform/TZPassword.h"
#include "tzplatform/faults.h"

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

TEST(Password, EncryptedFormRoundTripsExactly) {
  const std::string passwords[] = {"",
                                   "a",
                                   "Pa55 w0rd!",
                                   "p\xc3\xa4sswort",
                                   std::string("nul\0inside", 10),
                                   std::string(2047, 'x')};
  for (const std::string& plain : passwords) {
    SCOPED_TRACE(plain.size());
    std::string encrypted = TZPassword::Encrypt(plain);
    for (char c : encrypted) EXPECT_TRUE(c > ' ' && c < 127) << encrypted;
    Decrypted out = Decrypt(encrypted.c_str(), 2047);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.length, static_cast<int>(plain.size()));
    EXPECT_EQ(out.text, plain);
    EXPECT_TRUE(out.canaryIntact);
  }
}

TEST(Password, BufferLengthIsNeverExceeded) {
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

TEST(Password, MalformedTextFailsCleanly) {
  const std::string good = TZPassword::Encrypt("secret");
  const std::string body = good.substr(good.find(':') + 1);
  const std::string inputs[] = {
      "secret",                         // plain text
      body,                             // no prefix
      "tzp1:" + body,                   // prefix in the wrong case
      good + "=",                       // broken padding
      good.substr(0, good.size() - 1),  // truncated
      "TZP1:c2Vj cmV0",                 // a blank inside
      "TZP1:QR==",                      // stray bits before the padding
      "TZP1:====",
      "TZP1:*ABC",
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    Decrypted out = Decrypt(input.c_str(), 64);
    EXPECT_NE(out.status, 0);
    EXPECT_EQ(out.length, 0);
    EXPECT_TRUE(out.canaryIntact);
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
