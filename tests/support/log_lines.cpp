#include "log_lines.h"

namespace tztest {

namespace {

bool Matches(const std::string& got, const std::string& want) {
  const size_t star = want.find('*');
  if (star == std::string::npos) return got == want;
  const std::string head = want.substr(0, star), tail = want.substr(star + 1);
  return got.size() >= head.size() + tail.size() && got.compare(0, head.size(), head) == 0 &&
         got.compare(got.size() - tail.size(), tail.size(), tail) == 0;
}

::testing::AssertionResult Compare(const std::vector<std::string>& got,
                                   const std::vector<std::string>& want, bool whole) {
  bool same = whole ? got.size() == want.size() : got.size() >= want.size();
  for (size_t i = 0; same && i < want.size(); ++i) {
    same = Matches(got[got.size() - want.size() + i], want[i]);
  }
  if (same) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << "lines:";
  for (const std::string& line : got) failure << "\n  " << line;
  failure << "\nexpected" << (whole ? "" : " at the end") << ":";
  for (const std::string& line : want) failure << "\n  " << line;
  return failure;
}

}  // namespace

::testing::AssertionResult LinesAre(const std::vector<std::string>& got,
                                    const std::vector<std::string>& want) {
  return Compare(got, want, true);
}

::testing::AssertionResult LinesEndWith(const std::vector<std::string>& got,
                                        const std::vector<std::string>& want) {
  return Compare(got, want, false);
}

}  // namespace tztest
