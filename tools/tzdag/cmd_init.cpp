// tzdag init DIR [--fixture FILE]: a configuration store and a remote root
// from a fixture, ready for the other commands.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include <toml++/toml.h>
#include <tzplatform/fixture.h>
#include <tzplatform/store.h>

#include "command_line.h"
#include "commands.h"

namespace fs = std::filesystem;

namespace tzdag_tool {
namespace {

struct InitOptions {
  std::string dir;
  std::string fixture;
};

std::string ReadFixtureFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read fixture " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw UsageError("cannot read fixture " + path);
  return text.str();
}

// The fixture's own messages name the place in the file; say which file.
UsageError FixtureProblem(const std::string& path, const std::string& what) {
  const std::string redundant = "fixture: ";
  std::string message =
      what.compare(0, redundant.size(), redundant) == 0 ? what.substr(redundant.size()) : what;
  return UsageError(path + ": " + message);
}

// The folder of the running tzdag, symbolic links resolved: its companions
// are found from there, so that a copied or installed tool finds its own.
fs::path ToolFolder() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    throw UsageError("cannot tell where tzdag is (/proc/self/exe: " + error.message() + ")");
  }
  return self.parent_path();
}

// The simulator that goes into each host folder: $TZ_PSHIM_SIM, else the
// pshim-sim beside tzdag.
std::string SimulatorPath() {
  const char* fromEnvironment = std::getenv("TZ_PSHIM_SIM");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  const fs::path beside = ToolFolder() / "pshim-sim";
  std::error_code error;
  if (!fs::is_regular_file(beside, error)) {
    throw UsageError("no simulator: " + beside.string() +
                     " is missing (set TZ_PSHIM_SIM to a pshim-sim)");
  }
  return beside.string();
}

// The demo fixture in the data folder that belongs to this tzdag.
std::string DemoFixturePath() {
  return (ToolFolder() / TZDAG_DATA_FROM_BIN / "fixture.json").lexically_normal().string();
}

// `path` as a TOML string.
std::string TomlString(const std::string& path) {
  std::ostringstream text;
  text << toml::value<std::string>(path);
  return text.str();
}

size_t CountOf(const nlohmann::json& section, const char* key) {
  auto found = section.find(key);
  return found != section.end() && found->is_array() ? found->size() : 0;
}

int RunInit(const InitOptions& options, const GlobalOptions& global) {
  const std::string fixturePath = options.fixture.empty() ? DemoFixturePath() : options.fixture;
  nlohmann::json fixture;
  try {
    fixture = tzplatform::ParseFixture(ReadFixtureFile(fixturePath));
  } catch (const tzplatform::FixtureError& e) {
    throw FixtureProblem(fixturePath, e.what());
  }
  if (!fixture.contains("store")) throw UsageError(fixturePath + ": no \"store\" section");
  const bool withRemote = fixture.contains("remote");
  const std::string simulator = withRemote ? SimulatorPath() : std::string();

  std::error_code error;
  const fs::path dir = fs::absolute(options.dir).lexically_normal();
  // A folder made here goes again if nothing could be put in it.
  struct FolderGuard {
    fs::path path;
    ~FolderGuard() {
      std::error_code ignored;
      if (!path.empty()) fs::remove(path, ignored);  // only when empty
    }
  } madeHere{fs::exists(dir) ? fs::path() : dir};
  fs::create_directories(dir, error);
  if (error) throw UsageError("cannot create " + options.dir + ": " + error.message());
  const std::string storePath = (dir / "store.db").string();
  const std::string remotePath = (dir / "remote").string();
  // Refuse before writing anything, so that init never leaves half a setup.
  if (fs::exists(storePath)) throw UsageError(storePath + " already exists");
  if (withRemote && fs::exists(remotePath)) throw UsageError(remotePath + " already exists");

  try {
    tzplatform::CreateStoreFromFixture(fixture["store"], storePath);
  } catch (const tzplatform::FixtureError& e) {
    throw FixtureProblem(fixturePath, e.what());
  }
  if (withRemote) {
    try {
      tzplatform::CreateRemoteRootFromFixture(fixture["remote"], remotePath, simulator);
    } catch (const std::exception& e) {
      fs::remove(storePath, error);
      if (dynamic_cast<const tzplatform::FixtureError*>(&e) != nullptr) {
        throw FixtureProblem(fixturePath, e.what());
      }
      throw;
    }
  }

  madeHere.path.clear();
  if (global.json) {
    nlohmann::json environment = {{"TZ_CONFIG_STORE", storePath}};
    if (withRemote) environment["TZ_REMOTE_ROOT"] = remotePath;
    PrintJson({{"ok", true},
               {"store", storePath},
               {"remote", withRemote ? nlohmann::json(remotePath) : nlohmann::json()},
               {"environment", environment}});
    return kExitOk;
  }
  const nlohmann::json& store = fixture["store"];
  std::cout << "Created the configuration store " << storePath << " (" << CountOf(store, "clients")
            << " clients, " << CountOf(store, "subclients") << " subclients)\n";
  if (withRemote) {
    std::cout << "Created the remote root " << remotePath << " ("
              << CountOf(fixture["remote"], "hosts") << " hosts)\n";
  }
  std::cout << "Use them with:\n  export TZ_CONFIG_STORE=" << ShellArgument(storePath) << "\n";
  if (withRemote) std::cout << "  export TZ_REMOTE_ROOT=" << ShellArgument(remotePath) << "\n";
  std::cout << "or pass --store " << ShellArgument(storePath);
  if (withRemote) std::cout << " --remote-root " << ShellArgument(remotePath);
  std::cout << " to tzdag, or put into ~/.config/tzdag/tzdag.toml:\n  config_store = "
            << TomlString(storePath) << "\n";
  if (withRemote) std::cout << "  remote_root = " << TomlString(remotePath) << "\n";
  std::cout << std::flush;
  return kExitOk;
}

}  // namespace

Command AddInitCommand(CLI::App* app, const GlobalOptions& global) {
  auto options = std::make_shared<InitOptions>();
  app->add_option("DIR", options->dir, "folder to create them in")->required()->type_name("DIR");
  app->add_option("--fixture", options->fixture, "fixture file (JSON)")->type_name("FILE");
  app->footer("Example: tzdag init /tmp/dagdemo");
  return Command{app, [options, &global] { return RunInit(*options, global); }, false};
}

}  // namespace tzdag_tool
