// The directory side of direct DAG discovery, and the directory-value helpers.
#ifndef TZDAG_DAGDISCOVERAGENT_H_
#define TZDAG_DAGDISCOVERAGENT_H_

#include <string>
#include <vector>

#include "tzdag/export.h"
#include "tzdag/records.h"

// Holds what a directory search for DAGs needs. One agent serves one
// discovery call.
class DagDiscoverAgent {
 public:
  // Decrypts `encryptedPassword` with the platform's TZPassword. Null texts
  // are taken as empty.
  TZDAG_API DagDiscoverAgent(const char* adServerName, const char* userName,
                             const char* encryptedPassword, const char* dagName);
  ~DagDiscoverAgent() = default;

  // Fills `dags` with the DAGs found. There is no directory on this
  // platform: the search succeeds and adds nothing.
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
// Base64 of the text after the colon; anything else is the text itself; null
// gives the empty string.
TZDAG_API std::string DecodeADAttributeValue(char* value);

#endif  // TZDAG_DAGDISCOVERAGENT_H_
