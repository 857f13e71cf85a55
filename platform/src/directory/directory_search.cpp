// The directory search of direct DAG discovery: the settings are checked
// here, the search itself is the directory search module's, loaded the first
// time a directory is searched.
#include "directory/directory_search.h"

#include "directory/directory_module.h"
#include "tzplatform/DirectorySearch.h"
#include "tzplatform/EvEvent.h"
#include "tzplatform/TZPassword.h"
#include "util/modules.h"

namespace tzplatform {
namespace {

const DirectoryModule* Module(std::string& error) {
  return static_cast<const DirectoryModule*>(
      detail::ModuleTable(kDirectoryModuleFile, kDirectoryModuleEntry, "directory search", error));
}

void NoteClearText(const std::string& url) {
  EvDebug log;
  log.Debug("SearchDirectoryForDags",
            "binding to %s in clear text (TZ_DIRECTORY_TLS=none): the password can be read on "
            "the network",
            url.c_str());
}

// The server's words could in principle repeat what it was sent.
void KeepPasswordOut(std::string& text, const std::string& password) {
  if (password.empty()) return;
  for (size_t at = text.find(password); at != std::string::npos; at = text.find(password, at + 3)) {
    text.replace(at, password.size(), "***");
  }
}

}  // namespace

bool DirectoryUrl(const std::string& server, std::string& url, bool& tls, std::string& error) {
  const DirectoryModule* module = Module(error);
  return module != nullptr && module->url(server, url, tls, error);
}

bool SearchDirectoryForDags(const std::string& server, const std::string& account,
                            const std::string& password, const std::string& dagName,
                            std::vector<DirectoryDag>& dags, std::string& error) {
  KeepSecretsOutOfDumps();
  std::string problem;
  const DirectorySettings settings = CurrentDirectorySettings(problem);
  if (!problem.empty()) {
    error = problem;
    return false;
  }
  if (settings.search.empty()) {
    error = "no directory search is set up (TZ_DIRECTORY_SEARCH)";
    return false;
  }
  const DirectoryModule* module = Module(error);
  if (module == nullptr) return false;
  if (module->search(settings, server, account, password, dagName, dags, error, NoteClearText)) {
    return true;
  }
  KeepPasswordOut(error, password);
  return false;
}

}  // namespace tzplatform
