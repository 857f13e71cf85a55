// list-databases FIXTURE SIMULATOR DIR
//
// Creates DIR/store.db and DIR/remote from the fixture (the simulator as the
// discovery tool of every host), discovers the databases of DAG client 2 of
// installation 1 (as in the demo fixture) and prints them. On failure the
// library's log lines of the call explain why.
#include <cstdint>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <tzdag/TzDagApi.h>
#include <tzdag/version.h>
#include <tzplatform/fixture.h>
#include <tzplatform/log.h>
#include <tzplatform/settings.h>

namespace {

constexpr uint32_t kInstallation = 1;
constexpr uint32_t kDagClient = 2;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Join(const CNStringList& names) {
  std::string joined;
  for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
  return joined;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: list-databases FIXTURE SIMULATOR DIR\n";
    return 2;
  }
  const std::string dir = argv[3];
  try {
    nlohmann::json fixture = tzplatform::ParseFixture(ReadFile(argv[1]));
    tzplatform::CreateStoreFromFixture(fixture["store"], dir + "/store.db");
    tzplatform::CreateRemoteRootFromFixture(fixture["remote"], dir + "/remote", argv[2]);
  } catch (const std::exception& e) {
    std::cerr << "list-databases: " << e.what() << "\n";
    return 2;
  }
  tzplatform::SetStorePath(dir + "/store.db");
  tzplatform::SetRemoteRoot(dir + "/remote");
  tzplatform::SetLogFile(dir + "/tzdag.log");

  // The library reports a failure by its result; the reason is in its log.
  tzplatform::LogCapture capture;
  Uvo::DAGDBResp resp;
  std::string server;
  if (!DiscoverExDatabase(kInstallation, kDagClient, 0, server, resp, 0)) {
    std::cerr << "list-databases: discovery failed\n";
    for (const std::string& line : capture.Texts()) std::cerr << "  " << line << "\n";
    return 1;
  }

  std::cout << "tzdag " << TZDAG_VERSION_STRING << ": databases of DAG client " << kDagClient
            << ", discovered on " << server << "\n";
  for (const CNMessageBase& record : resp.getDatabases()) {
    // The list holds Uvo::DAGDB records; the field helpers read them in place.
    std::cout << tzdag::GetString(record, Uvo::DAGDB::kDbName) << ": backup from "
              << tzdag::GetString(record, Uvo::DAGDB::kBackupServer) << ", copies on "
              << Join(tzdag::GetStringList(record, Uvo::DAGDB::kCopyServers))
              << (tzdag::GetInt64(record, Uvo::DAGDB::kCircularLogging) != 0 ? ", circular logging"
                                                                             : "")
              << "\n";
  }
  return 0;
}
