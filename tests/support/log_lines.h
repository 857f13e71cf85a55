// Comparing captured log lines with the lines a test expects, where each "*"
// in an expected line stands for any text (for the parts of a line that are the
// platform's words, not the library's).
#ifndef TZ_TESTS_SUPPORT_LOG_LINES_H_
#define TZ_TESTS_SUPPORT_LOG_LINES_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tzplatform/log.h"

namespace tztest {

// `got` is exactly as many lines as `want`, each matching.
::testing::AssertionResult LinesAre(const std::vector<std::string>& got,
                                    const std::vector<std::string>& want);
// The last lines of `got` match `want`.
::testing::AssertionResult LinesEndWith(const std::vector<std::string>& got,
                                        const std::vector<std::string>& want);

// Each event as one line: "info|critical 0xID PARAM1 PARAM2", then
// " KIND:VALUE" for each argument.
std::vector<std::string> EventLines(const std::vector<tzplatform::RaisedEvent>& events);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_LOG_LINES_H_
