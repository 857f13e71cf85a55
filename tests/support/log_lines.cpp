#include "log_lines.h"

#include <cstdio>

namespace tztest {

namespace {

// `want` with each "*" standing for any text (none included).
bool Matches(const std::string& got, const std::string& want) {
  const size_t star = want.find('*');
  if (star == std::string::npos) return got == want;
  if (got.compare(0, star, want, 0, star) != 0) return false;
  for (size_t from = star; from <= got.size(); ++from)
    if (Matches(got.substr(from), want.substr(star + 1))) return true;
  return false;
}

::testing::AssertionResult Compare(const std::vector<std::string>& got,
                                   const std::vector<std::string>& want, bool whole) {
  bool same = whole ? got.size() == want.size() : got.size() >= want.size();
  for (size_t i = 0; same && i < want.size(); ++i)
    same = Matches(got[got.size() - want.size() + i], want[i]);
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

std::vector<std::string> EventLines(const std::vector<tzplatform::RaisedEvent>& events) {
  std::vector<std::string> lines;
  for (const tzplatform::RaisedEvent& event : events) {
    char id[16];
    std::snprintf(id, sizeof id, "0x%08X", static_cast<unsigned>(event.id));
    lines.push_back(std::string(event.severity == tzplatform::EventSeverity::kCritical ? "critical "
                                                                                       : "info ") +
                    id + " " + std::to_string(event.param1) + " " + std::to_string(event.param2));
    for (const tzplatform::EventArgument& argument : event.arguments)
      lines.back() += " " + std::to_string(argument.kind) + ":" + argument.value;
  }
  return lines;
}

}  // namespace tztest
