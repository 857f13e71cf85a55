// A program of its own for the directory tests: runs one direct DAG discovery
// as a program of the product would, then looks through its own writable
// memory for the directory password, as a core dump taken then would show it.
//
// The password comes masked (each byte XOR 0x5A, in hex) and is compared
// masked, so that the only copies to be found are those the discovery made.
// What is looked for is the password's last 16 bytes (all of a shorter one):
// an allocator writes its own data over the start of memory it takes back.
// Usage: password_residue SERVER ACCOUNT ENCRYPTED MASKED-PASSWORD, with the
// platform's settings in the environment (TZ_CONFIG_STORE, TZ_KEY_FILE,
// TZ_DIRECTORY_*). Prints whether the process is dumpable before and after,
// whether the discovery succeeded, then "copy in <mapping>" for each copy
// found, or "no copy".
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tzdag/TzDagApi.h"

namespace {

constexpr unsigned char kMask = 0x5A;

struct Mapping {
  uintptr_t start = 0;
  uintptr_t end = 0;
  std::string name;
};

// Readable and writable mappings: where a program's data lives. The
// sanitizers' shadow (terabytes, never holding data of the program) is left out.
std::vector<Mapping> DataMappings() {
  std::vector<Mapping> mappings;
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, name;
    fields >> range >> perms >> offset >> device >> inode;
    std::getline(fields >> std::ws, name);
    if (perms.size() < 2 || perms[0] != 'r' || perms[1] != 'w') continue;
    Mapping m;
    m.start = std::stoull(range.substr(0, range.find('-')), nullptr, 16);
    m.end = std::stoull(range.substr(range.find('-') + 1), nullptr, 16);
    m.name = name.empty() ? "anonymous memory" : name;
    if (m.end - m.start > (uintptr_t{1} << 30) || m.name == "[vvar]") continue;
    mappings.push_back(m);
  }
  return mappings;
}

// Where `masked` occurs unmasked in the data of this process, one mapping name
// per copy. Memory is read through /proc/self/mem, which reads freed and
// poisoned memory as a dump would, without the sanitizers minding.
std::vector<std::string> Copies(const std::vector<unsigned char>& masked) {
  static unsigned char chunk[1 << 20];
  std::vector<std::string> found;
  const int mem = open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
  if (mem < 0) return {"(cannot read /proc/self/mem)"};
  const unsigned char first = static_cast<unsigned char>(masked[0] ^ kMask);
  const size_t n = masked.size();
  for (const Mapping& m : DataMappings()) {
    for (uintptr_t at = m.start; at < m.end; at += sizeof(chunk) - (n - 1)) {
      const size_t want = std::min<uintptr_t>(sizeof(chunk), m.end - at);
      const ssize_t got = pread(mem, chunk, want, static_cast<off_t>(at));
      if (got < static_cast<ssize_t>(n)) break;
      const unsigned char* end = chunk + got;
      for (const unsigned char* p = chunk;
           (p = static_cast<const unsigned char*>(std::memchr(p, first, end - p))) != nullptr &&
           p + n <= end;
           ++p) {
        size_t k = 1;
        while (k < n && (p[k] ^ kMask) == masked[k]) ++k;
        if (k == n) found.push_back(m.name);
      }
      std::memset(chunk, 0, sizeof(chunk));
      if (static_cast<size_t>(got) < want) break;
    }
  }
  close(mem);
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || std::strlen(argv[4]) % 2 != 0 || argv[4][0] == '\0') {
    std::fprintf(stderr, "usage: password_residue SERVER ACCOUNT ENCRYPTED MASKED-PASSWORD\n");
    return 2;
  }
  std::vector<unsigned char> masked;
  for (const char* hex = argv[4]; *hex != '\0'; hex += 2) {
    masked.push_back(static_cast<unsigned char>(std::stoul(std::string(hex, 2), nullptr, 16)));
  }
  if (masked.size() > 16) masked.erase(masked.begin(), masked.end() - 16);
  std::printf("dumpable before: %d\n", prctl(PR_GET_DUMPABLE));
  {
    Uvo::DAGDiscoverResp resp;
    const bool ok = DiscoverDag(argv[1], argv[2], argv[3], resp);
    std::printf("discovery: %s, %zu DAGs\n", ok ? "ok" : "failed", resp.getDags().size());
  }
  std::printf("dumpable after: %d\n", prctl(PR_GET_DUMPABLE));
  const std::vector<std::string> copies = Copies(masked);
  for (const std::string& where : copies) std::printf("copy in %s\n", where.c_str());
  if (copies.empty()) std::printf("no copy\n");
  return 0;
}
