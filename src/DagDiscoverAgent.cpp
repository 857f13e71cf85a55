// The directory agent of direct DAG discovery, the directory-value helpers and
// the library's global log object.
#include "tzdag/DagDiscoverAgent.h"

#include <string.h>

#include <algorithm>
#include <locale>

#include <tzplatform/DirectorySearch.h>
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

// The longest DAG name the directory holds (its cn takes 64 characters).
constexpr size_t kLongestDagName = 64;

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates).
bool IsUtf8(const std::string& text) {
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xC2 && c <= 0xDF) {
      length = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 2;
      if (c == 0xE0) low = 0xA0;
      if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 3;
      if (c == 0xF0) low = 0x90;
      if (c == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length >= text.size()) return false;
    for (size_t k = 1; k <= length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += length + 1;
  }
  return true;
}

}  // namespace

const char* DagNameProblem(const std::string& name) {
  if (name.size() > kLongestDagName) return "is longer than 64 bytes";
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) return "holds a control character";
  }
  if (!IsUtf8(name)) return "is not UTF-8";
  return nullptr;
}

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

bool DagDiscoverAgent::SearchDag(std::vector<_tagDagServer>& dags) {
  // Unless the platform is set to search a directory, there is none: DAGs are
  // found through the remote tool instead.
  if (!tzplatform::DirectorySearchEnabled()) return true;

  static const char kLogName[] = "SearchDag";
  // A name the directory cannot hold is not worth a connection.
  if (const char* problem = DagNameProblem(dagName)) {
    event.debug("[%s]: The DAG name %s; the directory is not searched.", kLogName, problem);
    return false;
  }
  std::vector<tzplatform::DirectoryDag> found;
  std::string error;
  if (!tzplatform::SearchDirectoryForDags(adServerName, userName, password, dagName, found,
                                          error)) {
    event.debug("[%s]: Directory search failed: %s", kLogName, error.c_str());
    return false;
  }
  if (!dagName.empty() && found.empty()) {
    event.debug("[%s]: The directory has no DAG named '%s'.", kLogName, dagName.c_str());
  } else {
    event.debug("[%s]: Found %zu DAG(s) in the directory.", kLogName, found.size());
  }
  for (tzplatform::DirectoryDag& dag : found) {
    _tagDagServer record{std::move(dag.name), std::move(dag.distinguishedName), {}};
    for (std::string& server : dag.memberServers)
      record.servers.push_back({std::move(server), false});
    dags.push_back(std::move(record));
  }
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
