// Creation of a remote root from the "remote" section of a fixture.
//
// The root holds dag.json (the section checked and with every default
// written out, so the simulator reads one fixed shape) and one folder per
// listed host with the simulator installed as PshimProxy.exe.
#include <stdlib.h>
#include <strings.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "tzplatform/fixture.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace tzplatform {
namespace {

const char* const kFailureModes[] = {"toolError", "garbage", "exit", "hang", "wrongMessage"};

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
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;
  void Release() { path_.clear(); }

 private:
  fs::path path_;
};

struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

[[noreturn]] void Fail(const std::string& place, const std::string& what) {
  throw FixtureError(place + ": " + what);
}

std::string Index(const std::string& place, size_t i) {
  return place + "[" + std::to_string(i) + "]";
}

// Rejects keys other than `known`, so that a misspelt key is not silently
// ignored.
void CheckKeys(const json& object, const std::string& place,
               std::initializer_list<const char*> known) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    bool isKnown = false;
    for (const char* key : known) isKnown = isKnown || it.key() == key;
    if (!isKnown) Fail(place + "." + it.key(), "unknown key");
  }
}

const json& Object(const json& value, const std::string& place) {
  if (!value.is_object()) Fail(place, "must be an object");
  return value;
}

json ArrayOr(const json& object, const char* key, const std::string& place) {
  if (!object.contains(key)) return json::array();
  const json& value = object[key];
  if (!value.is_array()) Fail(place + "." + key, "must be an array");
  return value;
}

std::string Name(const json& object, const char* key, const std::string& place) {
  if (!object.contains(key)) Fail(place + "." + key, "missing");
  const json& value = object[key];
  if (!value.is_string() || value.get<std::string>().empty()) {
    Fail(place + "." + key, "must be a non-empty string");
  }
  return value.get<std::string>();
}

bool FlagOr(const json& object, const char* key, bool fallback, const std::string& place) {
  if (!object.contains(key)) return fallback;
  const json& value = object[key];
  if (!value.is_boolean()) Fail(place + "." + key, "must be true or false");
  return value.get<bool>();
}

// A host name must stay one folder below the root.
std::string HostName(const json& value, const std::string& place) {
  if (!value.is_string()) Fail(place, "must be a string");
  std::string name = value.get<std::string>();
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos) {
    Fail(place, "'" + name + "' is not a usable host name");
  }
  return name;
}

json NormalizeDatabase(const json& in, const std::string& place) {
  Object(in, place);
  CheckKeys(in, place, {"name", "circularLogging", "copies"});
  json copies = json::array();
  const json listed = ArrayOr(in, "copies", place);
  bool sawActive = false;
  for (size_t i = 0; i < listed.size(); ++i) {
    const std::string where = Index(place + ".copies", i);
    const json& copy = Object(listed[i], where);
    CheckKeys(copy, where, {"server", "active", "healthy"});
    bool active = FlagOr(copy, "active", false, where);
    if (active && sawActive) Fail(where + ".active", "a database has at most one active copy");
    sawActive = sawActive || active;
    copies.push_back({{"server", Name(copy, "server", where)},
                      {"active", active},
                      {"healthy", FlagOr(copy, "healthy", true, where)}});
  }
  return {{"name", Name(in, "name", place)},
          {"circularLogging", FlagOr(in, "circularLogging", false, place)},
          {"copies", copies}};
}

json NormalizeDags(const json& remote) {
  json dags = json::array();
  std::set<std::string, CaseInsensitiveLess> dagNames;
  std::set<std::string, CaseInsensitiveLess> memberNames;
  const json listed = ArrayOr(remote, "dags", "remote");
  for (size_t i = 0; i < listed.size(); ++i) {
    const std::string place = Index("remote.dags", i);
    const json& dag = Object(listed[i], place);
    CheckKeys(dag, place, {"name", "members", "databases"});
    std::string name = Name(dag, "name", place);
    if (!dagNames.insert(name).second) Fail(place + ".name", "duplicate DAG '" + name + "'");

    json members = json::array();
    const json listedMembers = ArrayOr(dag, "members", place);
    for (size_t m = 0; m < listedMembers.size(); ++m) {
      const std::string where = Index(place + ".members", m);
      const json& member = Object(listedMembers[m], where);
      CheckKeys(member, where, {"name", "agent"});
      std::string server = Name(member, "name", where);
      // A server belongs to one DAG at most; the tool finds a server's DAG by it.
      if (!memberNames.insert(server).second) {
        Fail(where + ".name", "'" + server + "' is already a member of a DAG");
      }
      members.push_back({{"name", server}, {"agent", FlagOr(member, "agent", false, where)}});
    }

    json databases = json::array();
    const json listedDatabases = ArrayOr(dag, "databases", place);
    for (size_t d = 0; d < listedDatabases.size(); ++d) {
      databases.push_back(NormalizeDatabase(listedDatabases[d], Index(place + ".databases", d)));
    }
    dags.push_back({{"name", name}, {"members", members}, {"databases", databases}});
  }
  return dags;
}

json NormalizeFailures(const json& remote) {
  json failures = json::object();
  if (!remote.contains("failures")) return failures;
  const json& listed = Object(remote["failures"], "remote.failures");
  for (auto it = listed.begin(); it != listed.end(); ++it) {
    const std::string place = "remote.failures." + it.key();
    HostName(json(it.key()), place);
    bool known = false;
    if (it.value().is_string()) {
      for (const char* mode : kFailureModes) known = known || it.value() == mode;
    }
    if (!known) {
      Fail(place, "unknown failure mode " + it.value().dump() +
                      " (toolError, garbage, exit, hang or wrongMessage)");
    }
    failures[it.key()] = it.value();
  }
  return failures;
}

// The section checked, with every default written out.
json NormalizeRemote(const json& remote) {
  Object(remote, "remote");
  CheckKeys(remote, "remote", {"hosts", "dags", "failures"});
  json hosts = json::array();
  std::set<std::string> seen;
  const json listed = ArrayOr(remote, "hosts", "remote");
  for (size_t i = 0; i < listed.size(); ++i) {
    const std::string place = Index("remote.hosts", i);
    std::string host = HostName(listed[i], place);
    if (!seen.insert(host).second) Fail(place, "duplicate host '" + host + "'");
    hosts.push_back(host);
  }
  return {
      {"hosts", hosts}, {"dags", NormalizeDags(remote)}, {"failures", NormalizeFailures(remote)}};
}

// A fresh folder beside `target`, so that the finished tree is renamed into
// place on the same file system.
fs::path MakeScratchBeside(const fs::path& target) {
  std::string pattern = target.string() + ".partial-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (mkdtemp(buffer.data()) == nullptr) {
    throw fs::filesystem_error("cannot create a folder beside the remote root", target,
                               std::error_code(errno, std::generic_category()));
  }
  return fs::path(buffer.data());
}

}  // namespace

void CreateRemoteRootFromFixture(const json& remote, const std::string& rootDir,
                                 const std::string& simulatorPath) {
  const json topology = NormalizeRemote(remote);

  fs::path target = fs::path(rootDir).lexically_normal();
  if (target.filename().empty()) target = target.parent_path();
  if (fs::exists(target)) throw FixtureError("remote root " + rootDir + " already exists");
  if (!fs::is_regular_file(simulatorPath)) {
    throw FixtureError("simulator not found at " + simulatorPath);
  }
  if (target.has_parent_path()) fs::create_directories(target.parent_path());

  const fs::path scratch = MakeScratchBeside(target);
  ScratchTree guard(scratch);
  {
    std::ofstream out(scratch / "dag.json");
    out << topology.dump(2) << '\n';
    out.close();
    if (!out) throw FixtureError("cannot write " + (scratch / "dag.json").string());
  }
  for (const json& host : topology["hosts"]) {
    const fs::path folder = scratch / host.get<std::string>();
    fs::create_directory(folder);
    fs::copy_file(simulatorPath, folder / "PshimProxy.exe");
    fs::permissions(folder / "PshimProxy.exe", fs::perms::owner_all | fs::perms::group_read |
                                                   fs::perms::group_exec | fs::perms::others_read |
                                                   fs::perms::others_exec);
  }
  // mkdtemp made the folder private; the root is as readable as any folder.
  fs::permissions(scratch, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  // rename() would also replace an empty folder made meanwhile; refuse that
  // as well.
  if (fs::exists(target)) throw FixtureError("remote root " + rootDir + " already exists");
  fs::rename(scratch, target);
  guard.Release();
}

}  // namespace tzplatform
