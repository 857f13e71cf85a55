// Password encryption of the platform stand-in, and strict Base64.
//
// "TZP2:" form: Base64 of nonce (12 bytes), AES-256-GCM ciphertext and tag
// (16 bytes) under the host key, with the prefix as additional authenticated
// data. A text that was changed, cut short or made under another key fails
// its tag and decrypts to nothing.
//
// "TZP1:" form, still read so that stored texts and scripts keep working: the
// Base64 of the password's bytes XORed with a fixed key stream. It hides a
// password from a casual look only; nothing writes it any more.
#include "tzplatform/TZPassword.h"

#include <string.h>
#include <sys/prctl.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "tzplatform/faults.h"
#include "tzplatform/settings.h"
#include "util/host_key.h"
#include "util/modules.h"
#include "util/secrets_module.h"

namespace {

constexpr char kOldPrefix[] = "TZP1:";
constexpr char kPrefix[] = "TZP2:";
constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
constexpr size_t kNonceSize = 12;
constexpr size_t kTagSize = 16;
// Longer texts are refused before any decoding: the longest password the
// library's callers take (2047 bytes) needs about 2,800 characters.
constexpr size_t kMaxEncryptedText = 64 * 1024;

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr unsigned char kKey[] = {0x5a, 0x17, 0xc3, 0x9e, 0x41, 0xd8, 0x26, 0x7b,
                                  0xe4, 0x0f, 0x93, 0x6c, 0xb5, 0x32, 0xf9, 0x88};

unsigned char KeyByte(size_t i) {
  return static_cast<unsigned char>(kKey[i % sizeof(kKey)] ^ static_cast<unsigned char>(i * 29));
}

// The old form's key stream, applied in place so that the plain text is
// made in one place only.
void Unscramble(std::string& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(static_cast<unsigned char>(bytes[i]) ^ KeyByte(i));
  }
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
  if (!secret.empty()) tzplatform::WipeSecret(&secret[0], secret.size());
  secret.clear();
}

// A buffer of secret bytes, wiped when it goes.
struct SecretBytes {
  std::vector<unsigned char> bytes;
  explicit SecretBytes(size_t size) : bytes(size) {}
  ~SecretBytes() {
    if (!bytes.empty()) tzplatform::WipeSecret(bytes.data(), bytes.size());
  }
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
};

// The cipher, from the module that holds it; null with `problem` saying
// why it cannot be loaded.
const tzplatform::SecretsModule* Cipher(std::string& problem) {
  return static_cast<const tzplatform::SecretsModule*>(tzplatform::detail::ModuleTable(
      tzplatform::kSecretsModuleFile, tzplatform::kSecretsModuleEntry, "password cipher", problem));
}

const unsigned char* PrefixBytes() {
  return reinterpret_cast<const unsigned char*>(kPrefix);
}

// The plain text of an encrypted password, or why there is none. Filled in
// place, never moved: moving a short string copies its bytes and leaves them
// behind.
struct Opened {
  std::optional<std::string> plain;
  std::string problem;
};

// Opens a "TZP2:" body (nonce, ciphertext, tag) into `opened`.
void OpenSealed(const std::string& sealed, const std::string& keyPath, Opened& opened) {
  if (sealed.size() < kNonceSize + kTagSize) {
    opened.problem = "it is too short to be an encrypted password";
    return;
  }
  tzplatform::detail::HostKey key;
  std::string problem = tzplatform::detail::ReadHostKey(keyPath, key);
  if (!problem.empty()) {
    opened.problem = problem;
    return;
  }
  const tzplatform::SecretsModule* cipher = Cipher(problem);
  if (cipher == nullptr) {
    opened.problem = problem;
    return;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(sealed.data());
  const size_t length = sealed.size() - kNonceSize - kTagSize;
  // A byte more than the text, so that an empty password still has room.
  SecretBytes plain(length + 1);
  if (!cipher->open(key.data(), bytes, PrefixBytes(), kPrefixLength, bytes + kNonceSize, length,
                    plain.bytes.data(), bytes + kNonceSize + length)) {
    opened.problem = "it was not made with the key in " + keyPath + ", or was changed since";
    return;
  }
  opened.plain.emplace(reinterpret_cast<const char*>(plain.bytes.data()), length);
}

// Opens either form into `opened`. Nothing is written anywhere else.
void Open(const char* encrypted, Opened& opened) {
  tzplatform::KeepSecretsOutOfDumps();
  if (encrypted == nullptr) {
    opened.problem = "there is no text";
    return;
  }
  const size_t size = strnlen(encrypted, kMaxEncryptedText + 1);
  if (size > kMaxEncryptedText) {
    opened.problem = "it is longer than any encrypted password";
    return;
  }
  const bool old = std::strncmp(encrypted, kOldPrefix, kPrefixLength) == 0;
  if (!old && std::strncmp(encrypted, kPrefix, kPrefixLength) != 0) {
    opened.problem = "it is not an encrypted password (one starts with TZP2:)";
    return;
  }
  std::optional<std::string> body =
      DecodeStrict(std::string(encrypted + kPrefixLength, size - kPrefixLength));
  if (!body) {
    opened.problem = "its text after the prefix is not Base64";
    return;
  }
  if (old) {
    opened.plain.emplace(std::move(*body));
    Unscramble(*opened.plain);
    return;
  }
  OpenSealed(*body, tzplatform::KeyFile(), opened);
}

}  // namespace

namespace tzplatform {

void KeepSecretsOutOfDumps() {
  // Cheap enough to ask every time, and a program may have turned it back on.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

void WipeSecret(void* bytes, size_t size) {
  explicit_bzero(bytes, size);
}

}  // namespace tzplatform

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
  tzplatform::KeepSecretsOutOfDumps();
  const std::string problem = tzplatform::KeyFileProblem();
  if (!problem.empty()) {
    throw tzplatform::KeyFileError(
        problem + ": name the key file (TZ_KEY_FILE) or the store (TZ_CONFIG_STORE)");
  }
  std::string missing;
  const tzplatform::SecretsModule* cipher = Cipher(missing);
  if (cipher == nullptr) throw std::runtime_error("the password cannot be encrypted: " + missing);
  tzplatform::detail::HostKey key;
  tzplatform::detail::ReadOrCreateHostKey(tzplatform::KeyFile(), key);
  std::string sealed(kNonceSize + plain.size() + kTagSize, '\0');
  auto* out = reinterpret_cast<unsigned char*>(&sealed[0]);
  if (!tzplatform::detail::RandomBytes(out, kNonceSize)) {
    throw std::runtime_error("no random bytes for the password's nonce");
  }
  if (!cipher->seal(key.data(), out, PrefixBytes(), kPrefixLength,
                    reinterpret_cast<const unsigned char*>(plain.data()), plain.size(),
                    out + kNonceSize, out + kNonceSize + plain.size())) {
    throw std::runtime_error("the password could not be encrypted");
  }
  return kPrefix + base64_encode(sealed);
}

std::string TZPassword::Problem(const char* encrypted) {
  Opened opened;
  Open(encrypted, opened);
  if (opened.plain) Wipe(*opened.plain);
  return opened.problem;
}

int TZPassword::decrypt(const char* encrypted, char* buffer, int* length) {
  if (length == nullptr) return 1;
  int capacity = *length;
  *length = 0;
  if (int status = tzplatform::CheckFault("TZPassword::decrypt", "*")) return status;
  if (buffer == nullptr || capacity < 0) return 1;
  Opened opened;
  Open(encrypted, opened);
  if (!opened.plain) return 1;
  std::string& plain = *opened.plain;
  if (plain.size() > static_cast<size_t>(capacity)) {
    Wipe(plain);
    return 1;
  }
  if (!plain.empty()) std::memcpy(buffer, plain.data(), plain.size());
  *length = static_cast<int>(plain.size());
  Wipe(plain);
  return 0;
}
