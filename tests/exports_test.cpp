// libTzDagApi.so exports exactly the documented names: every operation of
// TzDagApi.h in each of its forms (the health check included), the directory
// agent's constructor and search, DecodeADAttributeValue,
// _tagDagServer::DumpObject, WStringToString and the log object `event`, and
// nothing else of its own (no internal operation).
#include <cxxabi.h>

#include <gmock/gmock.h>

#include "test_env.h"

namespace {

// The defined dynamic symbols of a shared library as (nm type, mangled name).
std::vector<std::pair<char, std::string>> DynamicSymbols(const std::string& library) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      popen(("nm -D --defined-only '" + library + "'").c_str(), "r"), pclose);
  std::vector<std::pair<char, std::string>> symbols;
  char address[64], type[8], name[8192];
  while (pipe && std::fscanf(pipe.get(), "%63s %7s %8191s", address, type, name) == 3) {
    symbols.emplace_back(type[0], name);
  }
  EXPECT_FALSE(symbols.empty()) << "nm found no symbol in " << library;
  return symbols;
}

// The demangled name, with the standard library's types as the header spells them.
std::string Readable(const std::string& mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(
      abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && text ? text.get() : mangled;
  static const auto kShorter = tztest::TestData("exports.json", "shorter")
                                   .get<std::vector<std::pair<std::string, std::string>>>();
  for (const auto& [from, to] : kShorter) {
    for (size_t at = name.find(from); at != std::string::npos; at = name.find(from, at))
      name.replace(at, from.size(), to);
  }
  return name;
}

bool StartsWithAny(const std::string& text, const char* key) {
  for (const auto& prefix : tztest::TestData("exports.json", key).get<std::vector<std::string>>())
    if (text.rfind(prefix, 0) == 0) return true;
  return false;
}

// "T name" for a function, "D name" for an object. Left out: what the linker
// and the sanitizers define, and the weak copies of the standard library's
// templates and of the platform's type information that every user carries.
std::set<std::string> OwnExports() {
  std::set<std::string> platform;
  for (const auto& symbol : DynamicSymbols(TZ_TZPLATFORM_PATH)) platform.insert(symbol.second);
  std::set<std::string> own;
  for (const auto& [type, mangled] : DynamicSymbols(TZ_TZDAGAPI_PATH)) {
    const bool weak = std::string("WwVvu").find(type) != std::string::npos;
    if (StartsWithAny(mangled, "ignored") ||
        (weak && (platform.count(mangled) != 0 || StartsWithAny(mangled, "weakIgnored")))) {
      continue;
    }
    const char kind = type == 'T'                                          ? 'T'
                      : std::string("DBR").find(type) != std::string::npos ? 'D'
                                                                           : type;
    own.insert(std::string(1, kind) + " " + Readable(mangled));
  }
  return own;
}

TEST(Exports, AreExactlyTheDocumentedNames) {
  // tests/data/exports.json lists them.
  const auto documented = tztest::TestData("exports.json", "names").get<std::set<std::string>>();
  EXPECT_THAT(OwnExports(), ::testing::ContainerEq(documented)) << TZ_TZDAGAPI_PATH;
}

}  // namespace
