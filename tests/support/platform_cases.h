// Case tables of the platform's tests, kept as JSON under
// tests/data/platform/ where a list of inputs, each beside what it gives,
// reads better than code; and the message of what a call throws.
#ifndef TZ_TESTS_SUPPORT_PLATFORM_CASES_H_
#define TZ_TESTS_SUPPORT_PLATFORM_CASES_H_

#include <nlohmann/json.hpp>

#include <string>

namespace tztest {

// tests/data/platform/<name>.json (throws, failing the test, when it does not
// parse).
nlohmann::json PlatformCases(const std::string& name);

// The message of the `Error` that `call` throws; "(nothing thrown)" when it
// returns.
template <typename Error, typename Call>
std::string ErrorOf(Call&& call) {
  try {
    call();
  } catch (const Error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_PLATFORM_CASES_H_
