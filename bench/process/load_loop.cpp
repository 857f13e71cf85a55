// What loading a shared library costs a caller that links the C++ library:
// dlopen of the libraries named, then dlclose, in a fresh process.
//
//   load-loop N LIBRARY...
//
// Prints "<microseconds of CPU of the first load and unload> <objects
// loaded> <microseconds per load of the N after it>": the process's CPU time
// over the loads only, and how many objects the dynamic loader had in the
// process while the libraries were open, beyond those it had before. A
// library whose objects hold unique symbols (the C++ library's inline
// statics, GNU_UNIQUE) stays in the process after dlclose, so the later
// loads find it there: the first is what a caller pays. Exits 1 when a
// library does not load.
#include <dlfcn.h>
#include <link.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int CountObjects() {
  int count = 0;
  dl_iterate_phdr(
      [](dl_phdr_info*, size_t, void* data) {
        ++*static_cast<int*>(data);
        return 0;
      },
      &count);
  return count;
}

double CpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Opens every library; false (with the loader's words on standard error)
// when one does not load.
bool OpenAll(int argc, char** argv, std::vector<void*>& handles) {
  for (int i = 2; i < argc; ++i) {
    void* handle = dlopen(argv[i], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "load-loop: %s\n", dlerror());
      return false;
    }
    handles.push_back(handle);
  }
  return true;
}

void CloseAll(std::vector<void*>& handles) {
  for (auto it = handles.rbegin(); it != handles.rend(); ++it) dlclose(*it);
  handles.clear();
}

}  // namespace

int main(int argc, char** argv) {
  const int loops = argc >= 3 ? std::atoi(argv[1]) : 0;
  if (loops <= 0) {
    std::fprintf(stderr, "usage: load-loop N LIBRARY...\n");
    return 2;
  }
  std::vector<void*> handles;
  const int before = CountObjects();
  double start = CpuSeconds();
  if (!OpenAll(argc, argv, handles)) return 1;
  const int loaded = CountObjects() - before;
  CloseAll(handles);
  const double first = CpuSeconds() - start;

  start = CpuSeconds();
  for (int i = 0; i < loops; ++i) {
    if (!OpenAll(argc, argv, handles)) return 1;
    CloseAll(handles);
  }
  const double perLoad = (CpuSeconds() - start) / loops;
  std::printf("%.1f %d %.1f\n", first * 1e6, loaded, perLoad * 1e6);
  return 0;
}
