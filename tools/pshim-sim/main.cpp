// pshim-sim, installed in a host folder of a remote root as PshimProxy.exe:
// reads ../dag.json and answers one command line on standard output.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim.h"

namespace fs = std::filesystem;

namespace {

// Where this program lies: argv[0] when it is a path (the session passes the
// full path), else what the kernel says.
fs::path OwnPath(const char* argv0) {
  std::string given = argv0 != nullptr ? argv0 : "";
  if (given.find('/') != std::string::npos) return fs::absolute(given).lexically_normal();
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path(given) : self;
}

bool WriteAll(const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    return false;
  }
  return std::fflush(stdout) == 0;
}

// Never answers. Ends should the session that started it go away without
// killing it, so that an interrupted caller leaves no such program behind.
[[noreturn]] void Hang() {
  const pid_t parent = getppid();
  for (;;) {
    sleep(1);
    if (getppid() != parent) std::_Exit(4);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path self = OwnPath(argc > 0 ? argv[0] : nullptr);
  const fs::path hostFolder = self.parent_path();
  const fs::path topologyFile = hostFolder.parent_path() / "dag.json";
  const char* hostVariable = std::getenv("TZ_REMOTE_HOST");
  const std::string host = hostVariable != nullptr && *hostVariable != '\0'
                               ? std::string(hostVariable)
                               : hostFolder.filename().string();
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);

  pshim_sim::Reply reply;
  try {
    std::ifstream in(topologyFile);
    if (!in) {
      reply.output = pshim_sim::ErrorRecord("cannot read " + topologyFile.string());
    } else {
      nlohmann::json file = nlohmann::json::parse(in);
      reply = pshim_sim::Answer(pshim_sim::ParseTopology(file), host, args);
    }
  } catch (const std::exception& e) {
    reply = pshim_sim::Reply();
    reply.output =
        pshim_sim::ErrorRecord("bad topology file " + topologyFile.string() + ": " + e.what());
  }

  if (reply.hang) Hang();
  if (!WriteAll(reply.output)) return 1;
  return reply.exitCode;
}
