// What the fuzz targets share: a check that aborts with a message, so that
// libFuzzer and the replay both stop on a broken property.
#ifndef TZ_FUZZ_FUZZ_CHECK_H_
#define TZ_FUZZ_FUZZ_CHECK_H_

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tzfuzz {

[[noreturn]] inline void Fail(const char* file, int line, const std::string& what) {
  std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what.c_str());
  std::abort();
}

}  // namespace tzfuzz

// The message is built only when the check fails.
#define FUZZ_CHECK(condition, message)                               \
  do {                                                               \
    if (!(condition)) ::tzfuzz::Fail(__FILE__, __LINE__, (message)); \
  } while (false)

#endif  // TZ_FUZZ_FUZZ_CHECK_H_
