#include "test_directory.h"

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <vector>

#include "server_process.h"

namespace tztest {
namespace {

const std::string kData = std::string(TZ_TEST_DATA_DIR) + "/directory";

}  // namespace

TestDirectory::TestDirectory(const Options& options) : options_(options) {
  const std::string log = dir_.File("setup.log");
  std::string tls;
  if (options_.tls) {
    RunToEnd({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
              "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", dir_.File("key.pem"), "-out",
              caFile(), "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
              "subjectAltName=IP:127.0.0.1"},
             log);
    tls = "TLSCertificateFile " + caFile() + "\nTLSCertificateKeyFile " + dir_.File("key.pem");
  }
  std::string config = ReadFile(kData + "/slapd.conf.in");
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"@STATE@", dir_.path()},
           {"@DATA@", kData},
           {"@TLS@", tls},
           {"@PAGE_LIMIT@", options_.pageLimit ? " size.pr=5" : ""}}) {
    for (size_t at; (at = config.find(from)) != std::string::npos;)
      config.replace(at, from.size(), to);
  }
  WriteFile(dir_.File("slapd.conf"), config);
  std::filesystem::create_directories(dir_.File("db"));
  RunToEnd(
      {"/usr/sbin/slapadd", "-q", "-f", dir_.File("slapd.conf"), "-l", kData + "/directory.ldif"},
      log);

  // Another process may take the port between our look and slapd's bind:
  // then slapd exits, and another port is tried.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port_ = Loopback(0);
    ldapsPort_ = options_.tls ? Loopback(0) : 0;
    std::string listen = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    if (options_.tls) listen += " ldaps://127.0.0.1:" + std::to_string(ldapsPort_) + "/";
    // -d 0 keeps it in the foreground, as our child.
    pid_ = SpawnServer({"/usr/sbin/slapd", "-f", dir_.File("slapd.conf"), "-h", listen, "-d", "0"},
                       dir_.File("slapd.log"));
    std::vector<int> ports = {port_};
    if (options_.tls) ports.push_back(ldapsPort_);
    if (AwaitListening(pid_, ports)) return;
    Stop();
  }
  throw std::runtime_error("slapd did not start; its log:\n" + ReadFile(dir_.File("slapd.log")));
}

void TestDirectory::Stop() {
  if (pid_ <= 0) return;
  // The server's state is thrown away with its folder: no clean shutdown is
  // needed.
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace tztest
