// libTzDagApi.so exports exactly the documented names: every operation of
// TzDagApi.h in each of its forms (the health check included), the directory agent's constructor
// and search, DecodeADAttributeValue, _tagDagServer::DumpObject, WStringToString and the log object
// `event`, and nothing else of its own.
#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::IsEmpty;

struct Symbol {
  char type;            // as nm shows it: T text, D/B data, W/V weak, ...
  std::string mangled;  // as in the dynamic symbol table
};

// The defined dynamic symbols of a shared library, by `nm -D --defined-only`.
std::vector<Symbol> DynamicSymbols(const std::string& library) {
  const std::string command = "nm -D --defined-only '" + library + "' 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::vector<Symbol> symbols;
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return symbols;
  }
  char line[8192];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name) || type.size() != 1) {
      ADD_FAILURE() << "unexpected line from nm: " << line;
      continue;
    }
    symbols.push_back({type[0], name});
  }
  return symbols;
}

std::string Demangled(const std::string& mangled) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(
      abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), std::free);
  return status == 0 && text ? std::string(text.get()) : mangled;
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
}

// A demangled name with the standard library's spelled-out types shortened,
// as the header writes them.
std::string Readable(const std::string& mangled) {
  std::string name = Demangled(mangled);
  ReplaceAll(name, " >", ">");
  ReplaceAll(name, "std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char>>",
             "std::string");
  ReplaceAll(name,
             "std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, "
             "std::allocator<wchar_t>>",
             "std::wstring");
  ReplaceAll(name, "std::vector<std::string, std::allocator<std::string>>",
             "std::vector<std::string>");
  ReplaceAll(name, "std::vector<_tagDagServer, std::allocator<_tagDagServer>>",
             "std::vector<_tagDagServer>");
  ReplaceAll(name, "[abi:cxx11]", "");
  return name;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsWeak(char type) {
  return type == 'W' || type == 'w' || type == 'V' || type == 'v' || type == 'u';
}

// Symbols that are not the library's own: what the linker defines, what the
// sanitizers add, and the copies of the standard library's templates and of
// the platform's type information that every user of them carries.
bool IsForeign(const Symbol& symbol, const std::set<std::string>& platformSymbols) {
  static const std::set<std::string> kLinker = {"_init", "_fini", "_edata", "_end", "__bss_start"};
  if (kLinker.count(symbol.mangled) != 0) return true;
  for (const char* prefix : {"__asan", "__odr_asan", "__ubsan", "__sancov", "__start___sancov",
                             "__stop___sancov", "__tsan"}) {
    if (StartsWith(symbol.mangled, prefix)) return true;
  }
  if (!IsWeak(symbol.type)) return false;
  for (const char* prefix : {"_ZSt", "_ZNSt", "_ZNKSt", "_ZN9__gnu_cxx", "_ZNK9__gnu_cxx", "_ZTISt",
                             "_ZTSSt", "_ZTVSt", "_ZGVZNSt"}) {
    if (StartsWith(symbol.mangled, prefix)) return true;
  }
  return platformSymbols.count(symbol.mangled) != 0;
}

bool IsFunction(char type) {
  return type == 'T';
}
bool IsObject(char type) {
  return type == 'D' || type == 'B' || type == 'R';
}

// "T name" for a function, "D name" for an object, whatever section holds it.
std::set<std::string> OwnExports() {
  std::set<std::string> platform;
  for (const Symbol& s : DynamicSymbols(TZ_TZPLATFORM_PATH)) platform.insert(s.mangled);
  std::set<std::string> own;
  for (const Symbol& s : DynamicSymbols(TZ_TZDAGAPI_PATH)) {
    if (IsForeign(s, platform)) continue;
    const char kind = IsFunction(s.type) ? 'T' : IsObject(s.type) ? 'D' : s.type;
    own.insert(std::string(1, kind) + " " + Readable(s.mangled));
  }
  return own;
}

const std::set<std::string> kDocumented = {
    // Direct DAG discovery.
    "T DiscoverDag(char const*, char const*, char const*, Uvo::DAGDiscoverResp&)",
    "T DiscoverDag(char const*, char const*, char const*, char const*, Uvo::DAGMemberServersResp&)",
    "T DiscoverDagWithNewMembers(char const*, char const*, char const*, Uvo::DAGDiscoverResp&)",
    "T DiscoverDagWithNewMembers(char const*, char const*, char const*, char const*, "
    "Uvo::DAGMemberServersResp&)",
    // DAG discovery through the remote tool.
    "T DiscoverDagWithProxy(char const*, char const*, char const*, char const*, "
    "Uvo::DAGDiscoverResp&)",
    "T DiscoverDagWithProxy(char const*, char const*, char const*, char const*, char const*, "
    "Uvo::DAGMemberServersResp&)",
    "T LaunchPshimForDagNodeDiscover(CTzNetwork&, char const*, char const*, char const*, "
    "char const*, char const*)",
    "T ReceiveNodeDiscoverRespsonse(CTzNetwork&, Uvo::DAGDiscoverResp&)",
    "T ReceiveNodeDiscoverRespsonse(CTzNetwork&, Uvo::DAGMemberServersResp&)",
    // The directory agent and its helpers.
    "T DagDiscoverAgent::DagDiscoverAgent(char const*, char const*, char const*, char const*)",
    "T DagDiscoverAgent::SearchDag(std::vector<_tagDagServer>&)",
    "T DecodeADAttributeValue(char*)",
    "T _tagDagServer::DumpObject()",
    // Member server selection.
    "T GetRemoteServer(unsigned int)",
    "T GetSelectedServers(unsigned int)",
    // Database discovery.
    "T LaunchPshimFrom(CTzNetwork&, std::string const&, unsigned int, bool, bool, bool, long)",
    "T IsPreferActive(unsigned int, unsigned int)",
    "T UseActiveIfNoPassive(unsigned int, unsigned int)",
    "T UseLastActivationPref(unsigned int, unsigned int)",
    "T DiscoverExDatabase(unsigned int, unsigned int, unsigned int, std::string&, "
    "Uvo::DAGDBResp&, long)",
    "T DiscoverExDatabase(unsigned int, unsigned int, unsigned int, Uvo::DAGDBResp&, long)",
    "T ReceiveRespsonse(CTzNetwork&, Uvo::DAGDBResp&)",
    "T FilterResponceForClient(unsigned int, Uvo::DAGDBResp&)",
    "T GetSubclientsDbList(unsigned int, unsigned int, std::vector<std::string>&, "
    "std::vector<std::string>&)",
    "T GetSubclientContent(unsigned int, unsigned int, bool&, std::vector<std::string>&)",
    "T FilterResponceForSubClient(unsigned int, unsigned int, Uvo::DAGDBResp&)",
    // Subclient maintenance.
    "T IsManualSubclient(unsigned int, unsigned int)",
    "T UpdateSubclient(unsigned int, unsigned int, Uvo::DAGDBResp const&, bool)",
    "T DiscoverUnassociatedExDatabase(unsigned int, unsigned int, Uvo::DAGDBResp&)",
    // The health check.
    "T DiagnoseDagClient(unsigned int, unsigned int, _tagDoctorReport&, unsigned int)",
    // The frame.
    "T WStringToString(std::wstring const&)",
    "D event",
};

TEST(Exports, AreExactlyTheDocumentedNames) {
  const std::set<std::string> own = OwnExports();
  std::vector<std::string> missing, extra;
  for (const std::string& name : kDocumented) {
    if (own.count(name) == 0) missing.push_back(name);
  }
  for (const std::string& name : own) {
    if (kDocumented.count(name) == 0) extra.push_back(name);
  }
  EXPECT_THAT(missing, IsEmpty()) << "documented but not exported from " << TZ_TZDAGAPI_PATH;
  EXPECT_THAT(extra, IsEmpty()) << "exported from " << TZ_TZDAGAPI_PATH << " but not documented";
}

// The internal operations stay inside the library whatever else changes.
TEST(Exports, KeepTheInternalOperationsHidden) {
  std::vector<std::string> leaked;
  for (const Symbol& s : DynamicSymbols(TZ_TZDAGAPI_PATH)) {
    const std::string name = Readable(s.mangled);
    for (const char* internal :
         {"FormDomainPostfix(", "FindAndReplace(", "HasExDbAgentInstalled(",
          "ConstructDagMeberServersResp(", "ConstructDagDiscoverResp(", "ResetUvoInstalledField(",
          "LaunchRemoteTool(", "ReceiveRemoteRecord(", "RunDiscoveries(", "iStrEqual::"}) {
      if (name.find(internal) != std::string::npos) leaked.push_back(name);
    }
  }
  EXPECT_THAT(leaked, IsEmpty());
}

}  // namespace
