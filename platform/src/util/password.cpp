// Password encryption of the platform stand-in, and strict Base64.
//
// Encrypted form: "TZP1:" followed by the Base64 of the password's bytes
// XORed with a fixed key stream. It hides a password from a casual look at a
// command line or a log; it is not meant to withstand an attacker.
#include "tzplatform/TZPassword.h"

#include <cstring>
#include <optional>

#include "tzplatform/faults.h"

namespace {

constexpr char kPrefix[] = "TZP1:";
constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr unsigned char kKey[] = {0x5a, 0x17, 0xc3, 0x9e, 0x41, 0xd8, 0x26, 0x7b,
                                  0xe4, 0x0f, 0x93, 0x6c, 0xb5, 0x32, 0xf9, 0x88};

unsigned char KeyByte(size_t i) {
  return static_cast<unsigned char>(kKey[i % sizeof(kKey)] ^ static_cast<unsigned char>(i * 29));
}

std::string Scramble(const std::string& bytes) {
  std::string out(bytes);
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char>(static_cast<unsigned char>(out[i]) ^ KeyByte(i));
  }
  return out;
}

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decodes canonical Base64: whole quads, '=' only as padding of the last
// quad, and no stray bits in the last character before the padding.
std::optional<std::string> DecodeStrict(const std::string& text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t at = 0; at < text.size(); at += 4) {
    bool last = at + 4 == text.size();
    int padding = 0;
    if (last) {
      if (text[at + 3] == '=') ++padding;
      if (padding == 1 && text[at + 2] == '=') ++padding;
    }
    int values[4] = {0, 0, 0, 0};
    for (int k = 0; k < 4 - padding; ++k) {
      values[k] = Sextet(text[at + k]);
      if (values[k] < 0) return std::nullopt;
    }
    uint32_t quad = (static_cast<uint32_t>(values[0]) << 18) |
                    (static_cast<uint32_t>(values[1]) << 12) |
                    (static_cast<uint32_t>(values[2]) << 6) | static_cast<uint32_t>(values[3]);
    if ((padding == 1 && (quad & 0xff) != 0) || (padding == 2 && (quad & 0xffff) != 0)) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>((quad >> 16) & 0xff));
    if (padding < 2) out.push_back(static_cast<char>((quad >> 8) & 0xff));
    if (padding < 1) out.push_back(static_cast<char>(quad & 0xff));
  }
  return out;
}

// Overwrites a password's bytes before its memory is given back.
void Wipe(std::string& secret) {
  volatile char* p = secret.empty() ? nullptr : &secret[0];
  for (size_t i = 0; i < secret.size(); ++i) p[i] = 0;
  secret.clear();
}

}  // namespace

std::string base64_encode(const std::string& bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t at = 0; at < bytes.size(); at += 3) {
    size_t n = bytes.size() - at < 3 ? bytes.size() - at : 3;
    uint32_t triple = static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 16;
    if (n > 1) triple |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8;
    if (n > 2) triple |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2]));
    out.push_back(kAlphabet[(triple >> 18) & 0x3f]);
    out.push_back(kAlphabet[(triple >> 12) & 0x3f]);
    out.push_back(n > 1 ? kAlphabet[(triple >> 6) & 0x3f] : '=');
    out.push_back(n > 2 ? kAlphabet[triple & 0x3f] : '=');
  }
  return out;
}

std::string base64_decode(const std::string& text) {
  std::optional<std::string> decoded = DecodeStrict(text);
  return decoded ? *decoded : std::string();
}

TZPassword::TZPassword() = default;
TZPassword::~TZPassword() = default;

std::string TZPassword::Encrypt(const std::string& plain) {
  std::string scrambled = Scramble(plain);
  std::string encrypted = kPrefix + base64_encode(scrambled);
  Wipe(scrambled);
  return encrypted;
}

int TZPassword::decrypt(const char* encrypted, char* buffer, int* length) {
  if (length == nullptr) return 1;
  int capacity = *length;
  *length = 0;
  if (int status = tzplatform::CheckFault("TZPassword::decrypt", "*")) return status;
  if (encrypted == nullptr || buffer == nullptr || capacity < 0) return 1;
  if (std::strncmp(encrypted, kPrefix, kPrefixLength) != 0) return 1;
  std::optional<std::string> scrambled = DecodeStrict(encrypted + kPrefixLength);
  if (!scrambled) return 1;
  std::string plain = Scramble(*scrambled);
  Wipe(*scrambled);
  if (plain.size() > static_cast<size_t>(capacity)) {
    Wipe(plain);
    return 1;
  }
  if (!plain.empty()) std::memcpy(buffer, plain.data(), plain.size());
  *length = static_cast<int>(plain.size());
  Wipe(plain);
  return 0;
}
