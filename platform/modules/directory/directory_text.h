// Texts the directory search builds from what its caller gives: the
// server's address and the values of search filters.
#ifndef TZPLATFORM_MODULES_DIRECTORY_DIRECTORY_TEXT_H_
#define TZPLATFORM_MODULES_DIRECTORY_DIRECTORY_TEXT_H_

#include <string>

namespace tzplatform {
namespace ldap {

// `value` as it may stand in a search filter's assertion (RFC 4515): '*',
// '(', ')', '\' and NUL become \2a, \28, \29, \5c and \00, so that a name
// matches only itself.
std::string EscapeFilterValue(const std::string& value);

// The address to connect to for `server`, as the platform's DirectoryUrl
// (directory/directory_search.h) gives it.
bool DirectoryUrl(const std::string& server, std::string& url, bool& tls, std::string& error);

}  // namespace ldap
}  // namespace tzplatform

#endif  // TZPLATFORM_MODULES_DIRECTORY_DIRECTORY_TEXT_H_
