// A directory server of its own for a test: OpenLDAP's slapd on a free
// loopback port, holding tests/data/directory/directory.ldif, stopped when
// the object goes (and killed with the test process should it die first).
#ifndef TZ_TESTS_SUPPORT_TEST_DIRECTORY_H_
#define TZ_TESTS_SUPPORT_TEST_DIRECTORY_H_

#include <signal.h>
#include <sys/types.h>

#include <string>

#include "temp_dir.h"

namespace tztest {

class TestDirectory {
 public:
  // The service account of the test directory.
  static constexpr const char* kAccount = "cn=Backup Service,cn=Users,dc=corp,dc=example";
  static constexpr const char* kPassword = "Pa55word";
  // An account whose password is longer than a string keeps in place.
  static constexpr const char* kLongAccount = "cn=Audit Service,cn=Users,dc=corp,dc=example";
  static constexpr const char* kLongPassword = "Audit-Pa55phrase-0f-f0rty-three-characters";

  struct Options {
    // The server refuses pages of more than 5 entries (and, as always, more
    // than 5 entries without pages).
    bool pageLimit = false;
    // A certificate for 127.0.0.1 (its own authority: caFile()), StartTLS on
    // url() and TLS on ldapsUrl().
    bool tls = false;
  };

  // Starts the server; throws std::runtime_error saying why when it cannot.
  explicit TestDirectory(const Options& options);
  TestDirectory() : TestDirectory(Options{}) {}
  ~TestDirectory() { Stop(); }
  TestDirectory(const TestDirectory&) = delete;
  TestDirectory& operator=(const TestDirectory&) = delete;

  std::string url() const { return "ldap://127.0.0.1:" + std::to_string(port_); }
  // With tls: the TLS port, and the authority of the certificate.
  std::string ldapsUrl() const { return "ldaps://127.0.0.1:" + std::to_string(ldapsPort_); }
  std::string caFile() const { return dir_.File("cert.pem"); }

  // Stops the server and waits for it; url() then reaches nothing.
  void Stop();
  // Stops the server answering; connections are still taken.
  void Pause() { kill(pid_, SIGSTOP); }

 private:
  Options options_;
  TempDir dir_;
  int port_ = 0;
  int ldapsPort_ = 0;
  pid_t pid_ = -1;
};

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TEST_DIRECTORY_H_
