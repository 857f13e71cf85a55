// The directory agent of direct DAG discovery, the directory-value helpers and
// the library's global log object.
#include "tzdag/DagDiscoverAgent.h"

#include <algorithm>
#include <locale>

#include <tzplatform/TZPassword.h>
#include <boost/algorithm/string/replace.hpp>

#include "internal.h"
#include "tzdag/frame.h"

// Constructed when the library is loaded, destroyed when it is unloaded.
TZDAG_API EvEvent event;

namespace {

// The decryption buffer: the plain text plus its terminating zero byte.
constexpr int kPasswordBufferSize = 2048;

const char* OrEmpty(const char* text) {
  return text != nullptr ? text : "";
}

}  // namespace

DagDiscoverAgent::DagDiscoverAgent(const char* adServerName, const char* userName,
                                   const char* encryptedPassword, const char* dagName)
    : adServerName(OrEmpty(adServerName)), userName(OrEmpty(userName)) {
  // Cleared first, so that a decryption that writes nothing leaves an empty
  // password rather than whatever the stack held.
  char buffer[kPasswordBufferSize] = {};
  int length = kPasswordBufferSize - 1;
  TZPassword decryptor;
  decryptor.decrypt(OrEmpty(encryptedPassword), buffer, &length);
  // The terminator goes where decrypt says the text ends, but never outside
  // the buffer whatever length it reports.
  length = std::clamp(length, 0, kPasswordBufferSize - 1);
  buffer[length] = '\0';
  password = buffer;
  if (dagName != nullptr) this->dagName = dagName;
}

bool DagDiscoverAgent::SearchDag(std::vector<_tagDagServer>& /*dags*/) {
  // There is no directory to search on this platform: DAGs are found through
  // the remote tool instead.
  return true;
}

std::string DecodeADAttributeValue(char* value) {
  static const char kLogName[] = "DecodeADAttributeValue";
  std::string result;
  if (value == nullptr) return result;
  if (value[0] != ':') {
    result = value;
    return result;
  }
  event.debug("[%s]: Decode AD value: %s", kLogName, value);
  // Whatever follows the colon is the Base64 text, a leading blank included.
  result = base64_decode(std::string(value + 1));
  return result;
}

std::string FormDomainPostfix(const std::string& distinguishedName) {
  std::string postfix = distinguishedName;
  boost::algorithm::ireplace_all(postfix, "DC=", ".", std::locale());
  boost::algorithm::ireplace_all(postfix, ",", "", std::locale());
  return postfix;
}

void FindAndReplace(std::string& text, const std::string& pattern, const std::string& replacement) {
  if (pattern.empty()) return;
  if (replacement.find(pattern) != std::string::npos) {
    // Searching the replaced text again would never end: one pass, left to
    // right, past each replacement.
    size_t position = 0;
    while ((position = text.find(pattern, position)) != std::string::npos) {
      text.replace(position, pattern.size(), replacement);
      position += replacement.size();
    }
    return;
  }
  // Text that a replacement produced is searched too (abb, ab -> a gives a).
  // Everything before the last replacement held no occurrence, so a new one
  // can start at most pattern.size() - 1 characters before it.
  size_t position = 0;
  while ((position = text.find(pattern, position)) != std::string::npos) {
    text.replace(position, pattern.size(), replacement);
    position = position >= pattern.size() - 1 ? position - (pattern.size() - 1) : 0;
  }
}
