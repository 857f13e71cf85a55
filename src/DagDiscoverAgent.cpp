// The directory agent of direct DAG discovery, the directory-value helpers and
// the library's global log object.
#include "tzdag/DagDiscoverAgent.h"

#include <string.h>

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

// The decryption buffer, wiped on every way out so that the plain text does
// not stay behind on the stack. explicit_bzero is a wipe the compiler may not
// drop as a store nobody reads.
struct PasswordBuffer {
  char text[kPasswordBufferSize] = {};
  PasswordBuffer() = default;
  ~PasswordBuffer() { explicit_bzero(text, sizeof(text)); }
  PasswordBuffer(const PasswordBuffer&) = delete;
  PasswordBuffer& operator=(const PasswordBuffer&) = delete;
};

}  // namespace

DagDiscoverAgent::DagDiscoverAgent(const char* adServerName, const char* userName,
                                   const char* encryptedPassword, const char* dagName)
    : adServerName(OrEmpty(adServerName)), userName(OrEmpty(userName)) {
  // Cleared first, so that a decryption that writes nothing leaves an empty
  // password rather than whatever the stack held.
  PasswordBuffer buffer;
  int length = kPasswordBufferSize - 1;
  TZPassword decryptor;
  decryptor.decrypt(OrEmpty(encryptedPassword), buffer.text, &length);
  // The terminator goes where decrypt says the text ends, but never outside
  // the buffer whatever length it reports.
  length = std::clamp(length, 0, kPasswordBufferSize - 1);
  buffer.text[length] = '\0';
  password = buffer.text;
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
  if (replacement.size() >= pattern.size()) {
    // Searching the replaced text again could make it grow without end (aab
    // with ab -> bbaa), whether or not the replacement holds the pattern:
    // one pass, left to right, past each replacement.
    size_t position = 0;
    while ((position = text.find(pattern, position)) != std::string::npos) {
      text.replace(position, pattern.size(), replacement);
      position += replacement.size();
    }
    return;
  }
  // The text shrinks with every replacement, so searching what a replacement
  // produced ends (abb, ab -> a gives a). Everything before the last
  // replacement held no occurrence, so a new one can start at most
  // pattern.size() - 1 characters before it.
  size_t position = 0;
  while ((position = text.find(pattern, position)) != std::string::npos) {
    text.replace(position, pattern.size(), replacement);
    position = position >= pattern.size() - 1 ? position - (pattern.size() - 1) : 0;
  }
}
