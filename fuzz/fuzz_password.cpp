// Password decryption on arbitrary text: TZPassword::decrypt into the
// agent's 2048-byte buffer (length 2047 in), and the directory agent built
// from the same text. The host key is a fixed one, so that the corpus can
// hold texts that decrypt.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <tzplatform/TZPassword.h>
#include <tzplatform/settings.h>

#include "fuzz_check.h"
#include "tzdag/DagDiscoverAgent.h"

namespace {

constexpr char kCanary = '\x5c';

// A private folder with the key file 00 01 02 ... 1f, removed at exit.
struct FixedKey {
  std::string folder;
  std::string path;
  FixedKey() {
    char name[] = "/tmp/tzdag-fuzz-key.XXXXXX";
    FUZZ_CHECK(mkdtemp(name) != nullptr, "no folder for the key");
    folder = name;
    path = folder + "/tzdag.key";
    unsigned char key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(i);
    FILE* out = std::fopen(path.c_str(), "wbx");
    FUZZ_CHECK(out != nullptr && std::fwrite(key, 1, sizeof(key), out) == sizeof(key),
               "cannot write the key");
    std::fclose(out);
    chmod(path.c_str(), 0600);
    tzplatform::SetKeyFile(path);
    tzplatform::SetLogFile("/dev/null");
  }
  ~FixedKey() {
    unlink(path.c_str());
    rmdir(folder.c_str());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FixedKey key;
  std::string text(reinterpret_cast<const char*>(data), size);
  const std::string encrypted = text.c_str();  // up to the first NUL, as a caller passes it

  std::vector<char> buffer(2048 + 64, kCanary);
  int length = 2047;
  const int status = TZPassword().decrypt(encrypted.c_str(), buffer.data(), &length);
  if (status == 0) {
    FUZZ_CHECK(length >= 0 && length <= 2047, "length " + std::to_string(length));
  } else {
    FUZZ_CHECK(length == 0, "a failure left length " + std::to_string(length));
  }
  const size_t written = status == 0 ? static_cast<size_t>(length) : 0;
  for (size_t i = written; i < buffer.size(); ++i) {
    FUZZ_CHECK(buffer[i] == kCanary, "byte " + std::to_string(i) + " written");
  }
  // Problem only knows no buffer: a text it accepts may still be too long.
  const bool accepted = TZPassword::Problem(encrypted.c_str()).empty();
  FUZZ_CHECK(status != 0 || accepted, "decrypted a text Problem refuses");

  DagDiscoverAgent agent("dc01", "u", encrypted.c_str(), nullptr);
  FUZZ_CHECK(agent.Password().size() <= 2047, "the agent holds a password too long");
  if (status == 0) {
    FUZZ_CHECK(agent.Password() == std::string(buffer.data(), written).c_str(),
               "the agent holds another password");
  } else {
    FUZZ_CHECK(agent.Password().empty(), "a failed decryption left a password");
  }
  return 0;
}
