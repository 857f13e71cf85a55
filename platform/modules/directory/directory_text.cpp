#include "directory_text.h"

#include <ldap.h>

#include <memory>

namespace tzplatform {
namespace ldap {
namespace {

struct UrlFree {
  void operator()(LDAPURLDesc* desc) const { ldap_free_urldesc(desc); }
};

bool IsHostNameCharacter(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

}  // namespace

std::string EscapeFilterValue(const std::string& value) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    if (c == '*' || c == '(' || c == ')' || c == '\\' || c == '\0') {
      const unsigned char byte = static_cast<unsigned char>(c);
      escaped += '\\';
      escaped += kHex[byte >> 4];
      escaped += kHex[byte & 0x0F];
    } else {
      escaped += c;
    }
  }
  return escaped;
}

bool DirectoryUrl(const std::string& server, std::string& url, bool& tls, std::string& error) {
  if (server.empty()) {
    error = "no directory server given";
    return false;
  }
  for (unsigned char c : server) {
    if (c <= ' ' || c == 0x7F) {
      error = "the directory server holds a blank or a control character";
      return false;
    }
  }
  if (server.find("://") == std::string::npos) {
    for (unsigned char c : server) {
      if (!IsHostNameCharacter(c)) {
        error = "'" + server + "' is neither a host name nor an ldap:// or ldaps:// URL";
        return false;
      }
    }
    url = "ldap://" + server + ":389";
    tls = false;
    return true;
  }
  LDAPURLDesc* raw = nullptr;
  if (ldap_url_parse(server.c_str(), &raw) != LDAP_URL_SUCCESS || raw == nullptr) {
    if (raw != nullptr) ldap_free_urldesc(raw);
    error = "'" + server + "' is not an ldap:// or ldaps:// URL";
    return false;
  }
  std::unique_ptr<LDAPURLDesc, UrlFree> desc(raw);
  const std::string scheme = desc->lud_scheme != nullptr ? desc->lud_scheme : "";
  if (scheme != "ldap" && scheme != "ldaps") {
    error = "'" + server + "' is not an ldap:// or ldaps:// URL";
    return false;
  }
  if (desc->lud_host == nullptr || desc->lud_host[0] == '\0') {
    error = "'" + server + "' names no host";
    return false;
  }
  // The URL names the server only: where and what to search is ours to say.
  const size_t path = server.find('/', server.find("://") + 3);
  if ((path != std::string::npos && path + 1 != server.size()) ||
      (desc->lud_dn != nullptr && desc->lud_dn[0] != '\0') || desc->lud_attrs != nullptr ||
      desc->lud_filter != nullptr || desc->lud_exts != nullptr) {
    error = "'" + server + "' holds more than a host and a port";
    return false;
  }
  url = server;
  tls = scheme == "ldaps";
  return true;
}

}  // namespace ldap
}  // namespace tzplatform
