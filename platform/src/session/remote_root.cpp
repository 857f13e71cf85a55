// Creation of a remote root from the "remote" section of a fixture.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tzplatform/fixture.h"

namespace fs = std::filesystem;

namespace tzplatform {
namespace {

// Removes a half-built tree unless released.
class ScratchTree {
 public:
  explicit ScratchTree(fs::path path) : path_(std::move(path)) {}
  ~ScratchTree() {
    if (!path_.empty()) {
      std::error_code ignored;
      fs::remove_all(path_, ignored);
    }
  }
  void Release() { path_.clear(); }

 private:
  fs::path path_;
};

}  // namespace

void CreateRemoteRootFromFixture(const nlohmann::json& remote, const std::string& rootDir,
                                 const std::string& simulatorPath) {
  if (!remote.is_object()) throw FixtureError("remote: must be an object");
  const nlohmann::json hosts = remote.value("hosts", nlohmann::json::array());
  if (!hosts.is_array()) throw FixtureError("remote.hosts: must be an array of host names");
  for (size_t i = 0; i < hosts.size(); ++i) {
    const nlohmann::json& host = hosts[i];
    std::string place = "remote.hosts[" + std::to_string(i) + "]";
    if (!host.is_string()) throw FixtureError(place + ": must be a string");
    const std::string name = host.get<std::string>();
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      throw FixtureError(place + ": '" + name + "' is not a usable host name");
    }
  }

  fs::path target(rootDir);
  if (fs::exists(target)) throw FixtureError("remote root " + rootDir + " already exists");
  if (!fs::is_regular_file(simulatorPath)) {
    throw FixtureError("simulator not found at " + simulatorPath);
  }

  fs::path scratch = target;
  scratch += ".partial";
  std::error_code ignored;
  fs::remove_all(scratch, ignored);
  ScratchTree guard(scratch);
  fs::create_directories(scratch);
  {
    std::ofstream out(scratch / "dag.json");
    out << remote.dump(2) << '\n';
    if (!out) throw FixtureError("cannot write " + (scratch / "dag.json").string());
  }
  for (const nlohmann::json& host : hosts) {
    fs::path folder = scratch / host.get<std::string>();
    fs::create_directories(folder);
    fs::copy_file(simulatorPath, folder / "PshimProxy.exe", fs::copy_options::overwrite_existing);
    fs::permissions(folder / "PshimProxy.exe", fs::perms::owner_all | fs::perms::group_read |
                                                   fs::perms::group_exec | fs::perms::others_read |
                                                   fs::perms::others_exec);
  }
  fs::rename(scratch, target);
  guard.Release();
}

}  // namespace tzplatform
