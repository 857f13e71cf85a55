// What the platform asks of the directory search module beyond the search.
#ifndef TZPLATFORM_SRC_DIRECTORY_DIRECTORY_SEARCH_H_
#define TZPLATFORM_SRC_DIRECTORY_DIRECTORY_SEARCH_H_

#include <string>

namespace tzplatform {

// The address to connect to for `server`: an ldap:// or ldaps:// URL naming
// a host (and a port) and nothing else, kept as given; or a bare host name
// (letters, digits, '.', '-', '_'), which becomes ldap://host:389. `tls` tells
// whether the URL is ldaps://. False with `error` saying why otherwise, or
// why the directory search module cannot be loaded.
bool DirectoryUrl(const std::string& server, std::string& url, bool& tls, std::string& error);

}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_DIRECTORY_DIRECTORY_SEARCH_H_
