// The directory search module (platform/modules/directory): the search made
// with OpenLDAP's client library, loaded on first use (util/modules.h).
#ifndef TZPLATFORM_SRC_DIRECTORY_DIRECTORY_MODULE_H_
#define TZPLATFORM_SRC_DIRECTORY_DIRECTORY_MODULE_H_

#include <string>
#include <vector>

#include "tzplatform/DirectorySearch.h"

namespace tzplatform {

struct DirectoryModule {
  // The search of SearchDirectoryForDags with `settings` (valid, search
  // set), with its results and failures as that gives them. `clearText` is
  // called with the URL before a bind in clear text, for the log.
  bool (*search)(const DirectorySettings& settings, const std::string& server,
                 const std::string& account, const std::string& password,
                 const std::string& dagName, std::vector<DirectoryDag>& dags, std::string& error,
                 void (*clearText)(const std::string& url));
  // DirectoryUrl (directory/directory_search.h).
  bool (*url)(const std::string& server, std::string& url, bool& tls, std::string& error);
};

constexpr char kDirectoryModuleFile[] = "directory.so";
// Returns a const DirectoryModule*; the number is the table's version.
constexpr char kDirectoryModuleEntry[] = "tzplatform_directory_module_1";

}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_DIRECTORY_DIRECTORY_MODULE_H_
