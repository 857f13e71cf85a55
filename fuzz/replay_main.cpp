// Replays saved inputs through a fuzz target without libFuzzer, so that every
// build (GCC too) runs the starting corpus and the inputs that once crashed.
//
// Usage: <target>_replay DIR... ; every regular file in each DIR (names not
// starting with '.') is fed to LLVMFuzzerTestOneInput, in name order. A
// folder that does not exist is skipped; no input at all is a failure, as it
// means the corpus was not found. A bad input aborts in the target itself.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> InputsIn(const fs::path& dir) {
  std::vector<fs::path> inputs;
  std::error_code error;
  if (!fs::is_directory(dir, error)) return inputs;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    if (entry.path().filename().string().rfind('.', 0) == 0) continue;
    inputs.push_back(entry.path());
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const fs::path& input : InputsIn(argv[i])) {
      std::ifstream in(input, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", input.c_str());
        return 1;
      }
      std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      // Named first, so that the input behind a sanitizer report is known.
      std::fprintf(stderr, "replay: %s (%zu bytes)\n", input.c_str(), bytes.size());
      // An empty input gets a valid pointer, as libFuzzer gives one.
      static const uint8_t kNothing = 0;
      const uint8_t* data =
          bytes.empty() ? &kNothing : reinterpret_cast<const uint8_t*>(bytes.data());
      LLVMFuzzerTestOneInput(data, bytes.size());
      ++replayed;
    }
  }
  if (replayed == 0) {
    std::fprintf(stderr, "replay: no input found in the folders given\n");
    return 1;
  }
  std::printf("replay: %zu inputs replayed without a fault\n", replayed);
  return 0;
}
