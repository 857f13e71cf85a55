// The directory search module: the directory search of direct DAG
// discovery, made with OpenLDAP's client library, in a module of its own so
// that only a program that searches a directory loads that library (and the
// TLS libraries it brings).
#include <lber.h>
#include <ldap.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>

#include "directory/directory_module.h"
#include "directory_text.h"
#include "tzplatform/DirectorySearch.h"

namespace tzplatform {
namespace ldap {
namespace {

// A search that yields more entries than this is refused rather than read
// into memory without bound.
constexpr size_t kMostEntries = 1000000;

struct LdapUnbind {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
struct ControlFree {
  void operator()(LDAPControl* control) const { ldap_control_free(control); }
};
struct ControlsFree {
  void operator()(LDAPControl** controls) const { ldap_controls_free(controls); }
};
struct ValuesFree {
  void operator()(berval** values) const { ldap_value_free_len(values); }
};
struct MemFree {
  void operator()(char* text) const { ldap_memfree(text); }
};
using Ldap = std::unique_ptr<LDAP, LdapUnbind>;
using Message = std::unique_ptr<LDAPMessage, MessageFree>;
using Control = std::unique_ptr<LDAPControl, ControlFree>;
using Controls = std::unique_ptr<LDAPControl*, ControlsFree>;
using Values = std::unique_ptr<berval*, ValuesFree>;
using LdapText = std::unique_ptr<char, MemFree>;

// The paged-results cookie the server hands back, owned by libldap's
// allocator.
class Cookie {
 public:
  Cookie() = default;
  ~Cookie() { Clear(); }
  Cookie(const Cookie&) = delete;
  Cookie& operator=(const Cookie&) = delete;
  berval* get() { return &value_; }
  bool empty() const { return value_.bv_len == 0; }
  void Clear() {
    ber_memfree(value_.bv_val);
    value_ = berval{0, nullptr};
  }

 private:
  berval value_{0, nullptr};
};

// A server that closes the connection must not kill the caller's process:
// SIGPIPE is held back in this thread while the connection is in use, and
// one it raised is taken out of the pending set before the old mask returns.
class SigpipeHold {
 public:
  SigpipeHold() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    held_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~SigpipeHold() {
    if (!held_) return;
    if (!wasPending_) {
      const timespec now{0, 0};
      while (sigtimedwait(&pipe_, nullptr, &now) == SIGPIPE || errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeHold(const SigpipeHold&) = delete;
  SigpipeHold& operator=(const SigpipeHold&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool wasPending_ = false;
  bool held_ = false;
};

// A layer on top of a connection that overwrites what it has sent while
// `sbiod_pvt` (a bool) says so: libldap gives back the memory of a request it
// sent without overwriting it, and the bind request holds the password.
int WipingSetup(Sockbuf_IO_Desc* sbiod, void* wiping) {
  sbiod->sbiod_pvt = wiping;
  return 0;
}
int WipingRemove(Sockbuf_IO_Desc*) {
  return 0;
}
int WipingControl(Sockbuf_IO_Desc* sbiod, int option, void* value) {
  return LBER_SBIOD_CTRL_NEXT(sbiod, option, value);
}
ber_slen_t WipingRead(Sockbuf_IO_Desc* sbiod, void* buffer, ber_len_t length) {
  return LBER_SBIOD_READ_NEXT(sbiod, buffer, length);
}
ber_slen_t WipingWrite(Sockbuf_IO_Desc* sbiod, void* buffer, ber_len_t length) {
  const ber_slen_t sent = LBER_SBIOD_WRITE_NEXT(sbiod, buffer, length);
  // Only what went: a request written in parts is written on from there.
  if (sent > 0 && *static_cast<const bool*>(sbiod->sbiod_pvt)) {
    explicit_bzero(buffer, static_cast<size_t>(sent));
  }
  return sent;
}
int WipingClose(Sockbuf_IO_Desc*) {
  return 0;
}
Sockbuf_IO g_wipingLayer = {WipingSetup, WipingRemove, WipingControl,
                            WipingRead,  WipingWrite,  WipingClose};

// Puts the wiping layer on every connection libldap makes (the TLS layer
// goes below it), so that it sees the request before it is encrypted.
int AddWipingLayer(LDAP*, Sockbuf* connection, LDAPURLDesc*, sockaddr*, ldap_conncb* callback) {
  return ber_sockbuf_add_io(connection, &g_wipingLayer, LBER_SBIOD_LEVEL_APPLICATION,
                            callback->lc_arg);
}
void ConnectionClosed(LDAP*, Sockbuf*, ldap_conncb*) {}

// "<what>: <libldap's words> (<code>)", with the server's own diagnostic
// when it sent one.
std::string Failure(LDAP* ld, const std::string& what, int code) {
  std::string text = what + ": " + ldap_err2string(code) + " (" + std::to_string(code) + ")";
  char* diagnostic = nullptr;
  if (ld != nullptr &&
      ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &diagnostic) == LDAP_OPT_SUCCESS &&
      diagnostic != nullptr) {
    LdapText owned(diagnostic);
    // TLS failures come with this placeholder for words.
    const std::string words = diagnostic;
    if (!words.empty() && words != "(unknown error code)") text += ": " + words;
  }
  return text;
}

// One connection to the directory for one search.
class Directory {
 public:
  Directory(const DirectorySettings& settings, const std::string& url, bool tls)
      : settings_(settings), url_(url), tls_(tls) {}

  bool Connect(bool startTls, std::string& error) {
    LDAP* raw = nullptr;
    int rc = ldap_initialize(&raw, url_.c_str());
    ld_.reset(raw);
    if (rc != LDAP_SUCCESS || raw == nullptr) {
      error = Failure(nullptr, "cannot use " + url_, rc);
      return false;
    }
    const int version = LDAP_VERSION3;
    const timeval timeout{settings_.timeoutSeconds, 0};
    const int demand = LDAP_OPT_X_TLS_DEMAND;
    const int tls12 = LDAP_OPT_X_TLS_PROTOCOL_TLS1_2;
    const int newContext = 0;
    if (!Set(LDAP_OPT_CONNECT_CB, &onConnect_, "connection callback", error) ||
        !Set(LDAP_OPT_PROTOCOL_VERSION, &version, "protocol version", error) ||
        // Active Directory refers to other partitions; following a referral
        // would bind there anonymously.
        !Set(LDAP_OPT_REFERRALS, LDAP_OPT_OFF, "referrals", error) ||
        !Set(LDAP_OPT_NETWORK_TIMEOUT, &timeout, "network timeout", error) ||
        !Set(LDAP_OPT_TIMEOUT, &timeout, "timeout", error) ||
        !Set(LDAP_OPT_X_TLS_REQUIRE_CERT, &demand, "certificate check", error) ||
        !Set(LDAP_OPT_X_TLS_PROTOCOL_MIN, &tls12, "TLS version", error) ||
        (!settings_.caFile.empty() &&
         !Set(LDAP_OPT_X_TLS_CACERTFILE, settings_.caFile.c_str(), "CA file", error)) ||
        // Last: the TLS options above only count for a context made after them.
        !Set(LDAP_OPT_X_TLS_NEWCTX, &newContext, "TLS context", error)) {
      return false;
    }
    if (startTls) {
      rc = ldap_start_tls_s(ld_.get(), nullptr, nullptr);
      if (rc != LDAP_SUCCESS) {
        error = Failure(ld_.get(), "StartTLS with " + url_, rc) + TlsHint(rc);
        return false;
      }
    }
    return true;
  }

  bool Bind(const std::string& account, const std::string& password, std::string& error) {
    berval credentials{static_cast<ber_len_t>(password.size()), const_cast<char*>(password.data())};
    wipeSent_ = true;
    const int rc = ldap_sasl_bind_s(ld_.get(), account.c_str(), LDAP_SASL_SIMPLE, &credentials,
                                    nullptr, nullptr, nullptr);
    wipeSent_ = false;
    if (rc != LDAP_SUCCESS) {
      error = Failure(ld_.get(), "bind to " + url_ + " as '" + account + "'", rc) + TlsHint(rc);
      return false;
    }
    return true;
  }

  // The configurationNamingContext of the root DSE.
  bool ConfigurationContext(std::string& context, std::string& error) {
    char attribute[] = "configurationNamingContext";
    char* attributes[] = {attribute, nullptr};
    timeval timeout{settings_.timeoutSeconds, 0};
    LDAPMessage* raw = nullptr;
    const int rc = ldap_search_ext_s(ld_.get(), "", LDAP_SCOPE_BASE, "(objectClass=*)", attributes,
                                     0, nullptr, nullptr, &timeout, 1, &raw);
    Message result(raw);
    if (rc != LDAP_SUCCESS) {
      error = Failure(ld_.get(), "reading the root DSE of " + url_, rc);
      return false;
    }
    LDAPMessage* entry = ldap_first_entry(ld_.get(), raw);
    if (entry != nullptr) context = FirstValue(entry, attribute);
    if (context.empty()) {
      error = "the root DSE of " + url_ +
              " names no configurationNamingContext: not an Active Directory server";
      return false;
    }
    return true;
  }

  // Calls `onEntry` for every entry under `base` that `filter` matches,
  // asking for pages of the configured size until the server says there is
  // no more. `what` names the search in an error.
  bool PagedSearch(const std::string& base, const std::string& filter, const std::string& what,
                   const std::function<void(LDAPMessage*)>& onEntry, std::string& error) {
    char cn[] = "cn";
    char* attributes[] = {cn, nullptr};
    Cookie cookie;
    size_t entries = 0;
    for (;;) {
      LDAPControl* rawPage = nullptr;
      int rc = ldap_create_page_control(ld_.get(), static_cast<ber_int_t>(settings_.pageSize),
                                        cookie.get(), 0, &rawPage);
      Control page(rawPage);
      if (rc != LDAP_SUCCESS) {
        error = Failure(ld_.get(), what + ": cannot ask for a page", rc);
        return false;
      }
      LDAPControl* serverControls[] = {page.get(), nullptr};
      timeval timeout{settings_.timeoutSeconds, 0};
      LDAPMessage* raw = nullptr;
      rc = ldap_search_ext_s(ld_.get(), base.c_str(), LDAP_SCOPE_SUBTREE, filter.c_str(),
                             attributes, 0, serverControls, nullptr, &timeout, LDAP_NO_LIMIT, &raw);
      Message result(raw);
      if (rc != LDAP_SUCCESS) {
        error = Failure(ld_.get(), what, rc);
        return false;
      }
      for (LDAPMessage* entry = ldap_first_entry(ld_.get(), raw); entry != nullptr;
           entry = ldap_next_entry(ld_.get(), entry)) {
        if (++entries > kMostEntries) {
          error = what + ": more than " + std::to_string(kMostEntries) + " entries";
          return false;
        }
        onEntry(entry);
      }
      LDAPControl** rawReturned = nullptr;
      int code = LDAP_SUCCESS;
      rc = ldap_parse_result(ld_.get(), raw, &code, nullptr, nullptr, nullptr, &rawReturned, 0);
      Controls returned(rawReturned);
      if (rc != LDAP_SUCCESS) {
        error = Failure(ld_.get(), what, rc);
        return false;
      }
      LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, rawReturned, nullptr);
      // A server that does not page answers whole (or with an error above).
      if (response == nullptr) return true;
      cookie.Clear();
      ber_int_t estimate = 0;
      rc = ldap_parse_pageresponse_control(ld_.get(), response, &estimate, cookie.get());
      if (rc != LDAP_SUCCESS) {
        error = Failure(ld_.get(), what + ": unreadable page", rc);
        return false;
      }
      if (cookie.empty()) return true;
    }
  }

  std::string Dn(LDAPMessage* entry) {
    LdapText dn(ldap_get_dn(ld_.get(), entry));
    return dn ? std::string(dn.get()) : std::string();
  }

  std::string FirstValue(LDAPMessage* entry, const char* attribute) {
    Values values(ldap_get_values_len(ld_.get(), entry, attribute));
    if (!values || values.get()[0] == nullptr) return std::string();
    const berval* value = values.get()[0];
    return std::string(value->bv_val, value->bv_len);
  }

 private:
  // libldap does not say why a TLS connection failed: name the likely causes
  // the user can check.
  std::string TlsHint(int code) const {
    if (!tls_ || (code != LDAP_SERVER_DOWN && code != LDAP_CONNECT_ERROR)) return std::string();
    return "; if the server is up and offers TLS, check that its certificate is from an "
           "authority trusted here (TZ_DIRECTORY_CA_FILE) and names the host as given";
  }

  bool Set(int option, const void* value, const char* what, std::string& error) {
    const int rc = ldap_set_option(ld_.get(), option, value);
    if (rc != LDAP_OPT_SUCCESS) {
      error = Failure(ld_.get(), std::string("cannot set the ") + what + " for " + url_, rc);
      return false;
    }
    return true;
  }

  const DirectorySettings& settings_;
  const std::string url_;
  const bool tls_;  // ldaps:// or StartTLS
  // While the bind request goes out; outlives the connection, as the
  // callback does.
  bool wipeSent_ = false;
  ldap_conncb onConnect_{AddWipingLayer, ConnectionClosed, &wipeSent_};
  Ldap ld_;
};

bool AsciiLess(const std::string& a, const std::string& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
    return static_cast<unsigned char>(lower(x)) < static_cast<unsigned char>(lower(y));
  });
}

// Names first (letter case aside, then exactly), then distinguished names.
bool ByName(const std::string& nameA, const std::string& dnA, const std::string& nameB,
            const std::string& dnB) {
  if (AsciiLess(nameA, nameB)) return true;
  if (AsciiLess(nameB, nameA)) return false;
  if (nameA != nameB) return nameA < nameB;
  return dnA < dnB;
}

struct NamedEntry {
  std::string name;
  std::string dn;
};

bool Search(const DirectorySettings& settings, const std::string& server,
            const std::string& account, const std::string& password, const std::string& dagName,
            std::vector<DirectoryDag>& dags, std::string& error,
            void (*clearText)(const std::string& url)) {
  std::string url;
  bool ldaps = false;
  if (!DirectoryUrl(server, url, ldaps, error)) return false;
  if (account.empty()) {
    error = "no account given for " + url;
    return false;
  }
  // A simple bind with a name and no password is an unauthenticated bind,
  // which a server may take as anonymous and let through.
  if (password.empty()) {
    error = "no password for '" + account + "' (empty, or it could not be decrypted)";
    return false;
  }

  const bool startTls = !ldaps && settings.tls != "none";
  if (!ldaps && !startTls) clearText(url);
  SigpipeHold hold;
  Directory directory(settings, url, ldaps || startTls);
  if (!directory.Connect(startTls, error) || !directory.Bind(account, password, error)) {
    return false;
  }
  std::string context;
  if (!directory.ConfigurationContext(context, error)) return false;

  std::string filter = "(objectClass=msExchMDBAvailabilityGroup)";
  if (!dagName.empty()) filter = "(&" + filter + "(cn=" + EscapeFilterValue(dagName) + "))";
  std::vector<NamedEntry> found;
  bool named = true;
  std::string unnamed;
  if (!directory.PagedSearch(
          context, filter, "searching " + url + " for DAGs under '" + context + "'",
          [&](LDAPMessage* entry) {
            NamedEntry dag{directory.FirstValue(entry, "cn"), directory.Dn(entry)};
            if (dag.name.empty() && named) {
              named = false;
              unnamed = dag.dn;
            }
            found.push_back(std::move(dag));
          },
          error)) {
    return false;
  }
  if (!named) {
    error = "the DAG object '" + unnamed + "' of " + url + " has no cn";
    return false;
  }
  std::sort(found.begin(), found.end(), [](const NamedEntry& a, const NamedEntry& b) {
    return ByName(a.name, a.dn, b.name, b.dn);
  });

  std::vector<DirectoryDag> result;
  for (const NamedEntry& dag : found) {
    const std::string memberFilter =
        "(&(objectClass=msExchExchangeServer)(msExchMDBAvailabilityGroupLink=" +
        EscapeFilterValue(dag.dn) + "))";
    std::vector<NamedEntry> servers;
    if (!directory.PagedSearch(
            context, memberFilter,
            "searching " + url + " for the member servers of '" + dag.dn + "'",
            [&](LDAPMessage* entry) {
              servers.push_back({directory.FirstValue(entry, "cn"), directory.Dn(entry)});
            },
            error)) {
      return false;
    }
    std::sort(servers.begin(), servers.end(), [](const NamedEntry& a, const NamedEntry& b) {
      return ByName(a.name, a.dn, b.name, b.dn);
    });
    DirectoryDag out{dag.name, dag.dn, {}};
    for (NamedEntry& s : servers) {
      if (!s.name.empty()) out.memberServers.push_back(std::move(s.name));
    }
    result.push_back(std::move(out));
  }
  dags.insert(dags.end(), std::make_move_iterator(result.begin()),
              std::make_move_iterator(result.end()));
  return true;
}

const DirectoryModule kModule = {Search, DirectoryUrl};

}  // namespace
}  // namespace ldap
}  // namespace tzplatform

extern "C" __attribute__((visibility("default"))) const void* tzplatform_directory_module_1() {
  return &tzplatform::ldap::kModule;
}
