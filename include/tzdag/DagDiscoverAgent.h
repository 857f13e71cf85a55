// The directory side of direct DAG discovery, and the directory-value helpers.
#ifndef TZDAG_DAGDISCOVERAGENT_H_
#define TZDAG_DAGDISCOVERAGENT_H_

#include <string.h>

#include <string>
#include <vector>

#include "tzdag/export.h"
#include "tzdag/records.h"

// Holds what a directory search for DAGs needs: the directory server, the
// account, its password in plain text and the one DAG wanted. One agent
// serves one discovery call; direct DAG discovery (TzDagApi.h) makes its own.
class DagDiscoverAgent {
 public:
  // Copies the texts and decrypts `encryptedPassword` (the form `tzdag
  // encrypt` prints) with the platform's TZPassword; a text that does not
  // decrypt leaves the password empty. Null texts are taken as empty. Logs
  // nothing; touches neither the store nor the network.
  TZDAG_API DagDiscoverAgent(const char* adServerName, const char* userName,
                             const char* encryptedPassword, const char* dagName);
  // Overwrites the password before its memory is given back (explicit_bzero
  // is a wipe the compiler may not drop as a store nobody reads).
  ~DagDiscoverAgent() { explicit_bzero(&password[0], password.size()); }

  // Appends the DAGs found to `dags` (their names, distinguished names and
  // member servers) and says whether the search succeeded. Unless the
  // platform is set to search a directory (TZ_DIRECTORY_SEARCH=ldap), there
  // is none: the search succeeds and adds nothing. Otherwise it asks the
  // directory server for every DAG, or for the one named dagName; false,
  // after a line saying why, when the name is not one the directory can hold
  // or the directory cannot be searched.
  TZDAG_API bool SearchDag(std::vector<_tagDagServer>& dags);

  const std::string& AdServerName() const { return adServerName; }
  const std::string& UserName() const { return userName; }
  const std::string& Password() const { return password; }
  const std::string& DagName() const { return dagName; }

 private:
  std::string adServerName;
  std::string userName;
  std::string password;
  std::string dagName;
};

// The text of a directory attribute value: a value that starts with ':' is
// Base64 of the text after the colon (a blank after the colon included),
// decoded with the platform's base64_decode (invalid Base64 gives the empty
// string) after the line "[DecodeADAttributeValue]: Decode AD value:
// <value>"; anything else is the text itself; null gives the empty string.
// The value is only read.
TZDAG_API std::string DecodeADAttributeValue(char* value);

#endif  // TZDAG_DAGDISCOVERAGENT_H_
