// Texts the directory search builds from what its caller gives: the
// server's address and the values of search filters.
#ifndef TZPLATFORM_DIRECTORY_DIRECTORY_TEXT_H_
#define TZPLATFORM_DIRECTORY_DIRECTORY_TEXT_H_

#include <string>

namespace tzplatform {

// `value` as it may stand in a search filter's assertion (RFC 4515): '*',
// '(', ')', '\' and NUL become \2a, \28, \29, \5c and \00, so that a name
// matches only itself.
std::string EscapeFilterValue(const std::string& value);

// The address to connect to for `server`: an ldap:// or ldaps:// URL naming
// a host (and a port) and nothing else, kept as given; or a bare host name
// (letters, digits, '.', '-', '_'), which becomes ldap://host:389. `tls` tells
// whether the URL is ldaps://. False with `error` saying why otherwise.
bool DirectoryUrl(const std::string& server, std::string& url, bool& tls, std::string& error);

}  // namespace tzplatform

#endif  // TZPLATFORM_DIRECTORY_DIRECTORY_TEXT_H_
