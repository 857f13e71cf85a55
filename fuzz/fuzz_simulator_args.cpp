// The simulated discovery tool's command line and answer, against a fixed
// small topology. The input is the argument string, split at blanks as the
// remote session splits it (a NUL, which no argument can hold, splits too).
// Whatever the arguments, the tool answers one record that decodes, of the
// kind the request calls for, and a database answer backs each database up
// from one of its copies or from none.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "fuzz_check.h"
#include "sim.h"
#include "tzdag/records.h"
#include "tzplatform/codec.h"

namespace {

const char kTopology[] = R"({
  "hosts": ["mbx01.corp.example"],
  "dags": [
    {"name": "DAG01",
     "members": [{"name": "MBX01", "agent": true}, {"name": "MBX02", "agent": true},
                 {"name": "MBX03", "agent": false}],
     "databases": [
       {"name": "First\\DB01", "copies": [{"server": "MBX01", "active": true},
                                          {"server": "MBX02"}, {"server": "MBX03"}]},
       {"name": "Second\\DB02", "circularLogging": true,
        "copies": [{"server": "MBX02", "active": true}, {"server": "MBX03", "healthy": false}]},
       {"name": "Third\\DB03", "copies": [{"server": "MBX03"}]}
     ]},
    {"name": "DAG02", "members": [{"name": "MBX11", "agent": true}],
     "databases": [{"name": "Lab\\DB21", "copies": [{"server": "MBX11", "active": true}]}]}
  ]
})";

const pshim_sim::Topology& FixedTopology() {
  static const pshim_sim::Topology topology =
      pshim_sim::ParseTopology(nlohmann::json::parse(kTopology));
  return topology;
}

std::vector<std::string> Split(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  std::string piece;
  for (size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == ' ' || c == '\t' || c == '\0') {
      if (!piece.empty()) args.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) args.push_back(piece);
  return args;
}

// The database request as the library writes it.
std::vector<std::string> CommandLine(const pshim_sim::DbRequest& db) {
  std::string line = db.preferActive ? "-dag 1" : "-dag 0";
  if (db.useActiveIfNoPassive) line += " -ua";
  if (db.lastActivationPref) line += " -la";
  if (db.jobId) line += " -j " + std::to_string(*db.jobId);
  line += " -cid " + std::to_string(db.clientId) + " -hn " + db.server;
  return Split(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

void CheckDatabases(const CNMessageBase& answer) {
  for (const CNMessageBase& db : tzdag::GetList(answer, Uvo::DAGDBResp::kDatabases)) {
    const std::string backup = tzdag::GetString(db, Uvo::DAGDB::kBackupServer);
    if (backup == "N/A") continue;
    bool amongCopies = false;
    for (const std::string& copy : tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers)) {
      amongCopies = amongCopies || copy == backup;
    }
    FUZZ_CHECK(amongCopies, "backup server " + backup + " holds no copy");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> args = Split(data, size);
  const pshim_sim::Request request = pshim_sim::ParseArguments(args);
  const int outcomes =
      (request.error.empty() ? 0 : 1) + (request.node ? 1 : 0) + (request.db ? 1 : 0);
  FUZZ_CHECK(outcomes == 1, "a command line is exactly one of: error, node, database request");

  if (request.db) {
    const pshim_sim::Request again = pshim_sim::ParseArguments(CommandLine(*request.db));
    FUZZ_CHECK(again.db, "rewritten command line does not parse: " + again.error);
    FUZZ_CHECK(again.db->preferActive == request.db->preferActive &&
                   again.db->useActiveIfNoPassive == request.db->useActiveIfNoPassive &&
                   again.db->lastActivationPref == request.db->lastActivationPref &&
                   again.db->jobId == request.db->jobId &&
                   again.db->clientId == request.db->clientId &&
                   again.db->server == request.db->server,
               "rewritten command line parses differently");
  }

  const pshim_sim::Reply reply = pshim_sim::Answer(FixedTopology(), "mbx01.corp.example", args);
  FUZZ_CHECK(reply.exitCode == 0 && !reply.hang, "the tool failed without a failure mode");
  std::unique_ptr<CNMessageBase> answer;
  const tzplatform::DecodeResult decoded = tzplatform::DecodeMessage(reply.output, answer);
  FUZZ_CHECK(decoded.ok, "answer does not decode: " + decoded.error + "\n" + reply.output);

  const uint32_t kind = answer->getTagID();
  if (kind == ProxyErrorMessage::kClassKey) {
    FUZZ_CHECK(!tzdag::GetString(*answer, ProxyErrorMessage::kErrorText).empty(),
               "error record without a text");
  } else if (!request.error.empty()) {
    FUZZ_CHECK(false, "bad command line answered without an error record");
  } else if (request.db) {
    FUZZ_CHECK(kind == Uvo::DAGDBResp::kClassKey, "database request answered with another kind");
    CheckDatabases(*answer);
  } else if (request.node->dagName) {
    FUZZ_CHECK(kind == Uvo::DAGMemberServersResp::kClassKey,
               "one DAG's node request answered with another kind");
  } else {
    FUZZ_CHECK(kind == Uvo::DAGDiscoverResp::kClassKey, "node request answered with another kind");
  }
  return 0;
}
