// pshim-sim: a Linux stand-in for the Windows discovery tool PshimProxy.exe.
//
// It answers from a topology file (dag.json in the remote root) the two
// command lines the discovery library sends:
//
//   -dagNode [-ad S] [-dagu U] [-dagp P] [-dagn NAME]
//   -dag 1|0 [-ua] [-la] [-j JOB] -cid ID -hn SERVER
//
// with one XML message record on standard output, and with an error record
// (ProxyErrorMessage) for anything it cannot answer. Everything here works
// without a process, so that tests can call it directly.
#ifndef PSHIM_SIM_SIM_H_
#define PSHIM_SIM_SIM_H_

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace pshim_sim {

struct Copy {
  std::string server;
  bool active = false;
  bool healthy = true;
};

struct Database {
  std::string name;
  bool circularLogging = false;
  std::vector<Copy> copies;  // in activation preference order
};

struct Member {
  std::string name;
  bool agent = false;
};

struct Dag {
  std::string name;
  std::vector<Member> members;
  std::vector<Database> databases;
};

struct Topology {
  std::vector<std::string> hosts;
  std::vector<Dag> dags;
  std::map<std::string, std::string> failures;  // host -> failure mode
};

// Reads the topology file's JSON. Throws std::runtime_error naming the place
// of anything it cannot use.
Topology ParseTopology(const nlohmann::json& file);

// The database discovery request.
struct DbRequest {
  bool preferActive = false;          // -dag 1
  bool useActiveIfNoPassive = false;  // -ua
  bool lastActivationPref = false;    // -la
  std::optional<long long> jobId;     // -j
  long long clientId = 0;             // -cid
  std::string server;                 // -hn
};

// The node discovery request; the directory values are accepted and unused.
struct NodeRequest {
  std::optional<std::string> adServer, user, password, dagName;
};

// A command line taken apart, or what is wrong with it (`error`, naming the
// bad argument).
struct Request {
  std::optional<NodeRequest> node;
  std::optional<DbRequest> db;
  std::string error;
};
Request ParseArguments(const std::vector<std::string>& args);

// The server to back `database` up from, or "N/A".
std::string ChooseBackupServer(const Database& database, const DbRequest& request);

// What the tool does for one run.
struct Reply {
  std::string output;  // written to standard output
  int exitCode = 0;
  bool hang = false;  // never answer
};

// The answer of the tool on `host` (its failure mode first, if it has one).
Reply Answer(const Topology& topology, const std::string& host,
             const std::vector<std::string>& args);

// The error record with `text`, as the tool writes it.
std::string ErrorRecord(const std::string& text);

}  // namespace pshim_sim

#endif  // PSHIM_SIM_SIM_H_
