// The keeper program (session/keeper.h), built into the platform library
// and started from memory for each run of a remote program, so that the
// caller's process is never forked: a fork copies all of a large process's
// page tables, a start of a program none of them.
//
//   tzdag-keeper INPUT OUTPUT ERROR REPORT LEAVE COUNT [PATH...] PROGRAM [ARG...]
//
// INPUT, OUTPUT, ERROR and REPORT are descriptors it was given (-1: none),
// LEAVE is 1 when what the program leaves running when it ends by itself is
// to be left alone, COUNT how many PATHs to remove once everything is gone.
// The program gets this one's environment. Every signal is blocked at start.
#include <sys/resource.h>

#include <algorithm>
#include <climits>

#include "session/keeper.h"

extern char** environ;

namespace {

constexpr int kMostPaths = 8;

// A decimal number from `low` to INT_MAX, "-1" the only negative one. By
// hand, as the program has no C library (system_calls.cpp).
bool Number(const char* text, int low, int& value) {
  if (text[0] == '-') {
    if (text[1] != '1' || text[2] != '\0' || low > -1) return false;
    value = -1;
    return true;
  }
  long number = 0;
  const char* digit = text;
  for (; *digit >= '0' && *digit <= '9'; ++digit) {
    number = number * 10 + (*digit - '0');
    if (number > INT_MAX) return false;
  }
  if (digit == text || *digit != '\0' || number < low) return false;
  value = static_cast<int>(number);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  tzplatform::detail::KeeperPlan plan;
  int leave = 0, count = 0;
  if (argc < 8 || !Number(argv[1], -1, plan.input) || !Number(argv[2], -1, plan.output) ||
      !Number(argv[3], -1, plan.error) || !Number(argv[4], 0, plan.report) ||
      !Number(argv[5], 0, leave) || !Number(argv[6], 0, count) || count > kMostPaths ||
      count > argc - 8) {
    return 2;
  }
  static const char* paths[kMostPaths + 1];
  for (int i = 0; i < count; ++i) paths[i] = argv[7 + i];
  paths[count] = nullptr;
  plan.removeWhenDone = paths;
  plan.leaveRunning = leave == 1;
  plan.path = argv[7 + count];
  plan.argv = &argv[7 + count];
  plan.envp = environ;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    plan.maxDescriptor = static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
  }
  tzplatform::detail::RunKeeper(plan);
}
