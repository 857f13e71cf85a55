#include "sim.h"

#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <sstream>
#include <stdexcept>

#include <tzplatform/codec.h>
#include <pugixml.hpp>

#include "tzdag/records.h"

namespace pshim_sim {
namespace {

using nlohmann::json;

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// --- topology file ---------------------------------------------------------

[[noreturn]] void Bad(const std::string& place, const std::string& what) {
  throw std::runtime_error(place + ": " + what);
}

// The place of `key` in the object at `place` ("" = the top level).
std::string Join(const std::string& place, const char* key) {
  return place.empty() ? std::string(key) : place + "." + key;
}

const json& Array(const json& object, const char* key, const std::string& place) {
  static const json empty = json::array();
  if (!object.contains(key)) return empty;
  const json& value = object[key];
  if (!value.is_array()) Bad(Join(place, key), "must be an array");
  return value;
}

std::string String(const json& object, const char* key, const std::string& place) {
  if (!object.contains(key) || !object[key].is_string()) Bad(Join(place, key), "must be a string");
  return object[key].get<std::string>();
}

bool Flag(const json& object, const char* key, bool fallback, const std::string& place) {
  if (!object.contains(key)) return fallback;
  if (!object[key].is_boolean()) Bad(Join(place, key), "must be true or false");
  return object[key].get<bool>();
}

const json& Object(const json& value, const std::string& place) {
  if (!value.is_object()) Bad(place, "must be an object");
  return value;
}

std::string Index(const std::string& place, size_t i) {
  return place + "[" + std::to_string(i) + "]";
}

// --- command lines -----------------------------------------------------------

struct Switch {
  const char* name;
  bool takesValue;
};

const Switch kNodeSwitches[] = {{"-ad", true}, {"-dagu", true}, {"-dagp", true}, {"-dagn", true}};
const Switch kDbSwitches[] = {
    {"-ua", false}, {"-la", false}, {"-j", true}, {"-cid", true}, {"-hn", true}};

// Switches with their values, in command-line order. The argument string
// reaches the tool split at blanks, so a value runs on over further pieces
// (a server name with blanks) until the next switch, and a switch followed
// at once by another has an empty value. The first piece of a value may
// start with '-' (a negative job id); later pieces may not.
bool LooksLikeSwitch(const std::string& arg) {
  return !arg.empty() && arg[0] == '-';
}

template <size_t N>
bool ParseSwitches(const std::vector<std::string>& args, size_t start, const Switch (&known)[N],
                   std::map<std::string, std::string>& values, std::string& error) {
  auto find = [&](const std::string& arg) -> const Switch* {
    for (const Switch& s : known) {
      if (arg == s.name) return &s;
    }
    return nullptr;
  };
  size_t i = start;
  while (i < args.size()) {
    const Switch* s = find(args[i]);
    if (s == nullptr) {
      error = (LooksLikeSwitch(args[i]) ? "unknown argument '" : "unexpected argument '") +
              args[i] + "'";
      return false;
    }
    if (values.count(s->name) != 0) {
      error = std::string("repeated argument '") + s->name + "'";
      return false;
    }
    ++i;
    std::string value;
    if (s->takesValue && i < args.size() && find(args[i]) == nullptr) {
      value = args[i++];
      while (i < args.size() && find(args[i]) == nullptr && !LooksLikeSwitch(args[i])) {
        value += ' ';
        value += args[i++];
      }
    }
    values[s->name] = value;
  }
  return true;
}

bool ParseInteger(const std::string& text, long long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || end == nullptr || *end != '\0' || text[0] == ' ' || text[0] == '+') {
    return false;
  }
  out = value;
  return true;
}

Request ParseNode(const std::vector<std::string>& args) {
  Request request;
  std::map<std::string, std::string> values;
  if (!ParseSwitches(args, 1, kNodeSwitches, values, request.error)) return request;
  NodeRequest node;
  auto take = [&](const char* name, std::optional<std::string>& field) {
    auto it = values.find(name);
    if (it != values.end()) field = it->second;
  };
  take("-ad", node.adServer);
  take("-dagu", node.user);
  take("-dagp", node.password);
  take("-dagn", node.dagName);
  request.node = node;
  return request;
}

Request ParseDb(const std::vector<std::string>& args) {
  Request request;
  if (args.size() < 2) {
    request.error = "missing value for -dag (1 or 0)";
    return request;
  }
  if (args[1] != "1" && args[1] != "0") {
    request.error = "bad value for -dag: '" + args[1] + "' (1 or 0)";
    return request;
  }
  std::map<std::string, std::string> values;
  if (!ParseSwitches(args, 2, kDbSwitches, values, request.error)) return request;

  DbRequest db;
  db.preferActive = args[1] == "1";
  db.useActiveIfNoPassive = values.count("-ua") != 0;
  db.lastActivationPref = values.count("-la") != 0;
  if (values.count("-j") != 0) {
    long long job = 0;
    if (!ParseInteger(values["-j"], job)) {
      request.error = "bad value for -j: '" + values["-j"] + "'";
      return request;
    }
    db.jobId = job;
  }
  for (const char* required : {"-cid", "-hn"}) {
    if (values.count(required) == 0) {
      request.error = std::string("missing argument ") + required;
      return request;
    }
  }
  if (!ParseInteger(values["-cid"], db.clientId)) {
    request.error = "bad value for -cid: '" + values["-cid"] + "'";
    return request;
  }
  db.server = values["-hn"];
  if (db.server.empty()) {
    request.error = "missing value for -hn";
    return request;
  }
  request.db = db;
  return request;
}

// --- answers -----------------------------------------------------------------

const Copy* ActiveCopy(const Database& database) {
  for (const Copy& copy : database.copies) {
    if (copy.active) return &copy;
  }
  return nullptr;
}

const Dag* DagOfServer(const Topology& topology, const std::string& server) {
  for (const Dag& dag : topology.dags) {
    for (const Member& member : dag.members) {
      if (SameName(member.name, server)) return &dag;
    }
  }
  return nullptr;
}

CNMessageList MemberRecords(const Dag& dag) {
  CNMessageList members;
  for (const Member& m : dag.members) {
    Uvo::DAGMemberServer record;
    record.setServerName(m.name);
    record.setUvoInstalled(m.agent);
    members.push_back(record);
  }
  return members;
}

std::string Serialize(const CNMessageBase& record) {
  std::string text;
  record.serialize(text, true);
  if (text.empty() || text.back() != '\n') text += '\n';
  return text;
}

std::string NodeAnswer(const Topology& topology, const NodeRequest& request) {
  if (request.dagName) {
    for (const Dag& dag : topology.dags) {
      if (!SameName(dag.name, *request.dagName)) continue;
      Uvo::DAGMemberServersResp resp;
      resp.setMemberServers(MemberRecords(dag));
      return Serialize(resp);
    }
    return ErrorRecord("no DAG named '" + *request.dagName + "'");
  }
  CNMessageList dags;
  for (const Dag& dag : topology.dags) {
    Uvo::DAGSetup setup;
    setup.setDagName(dag.name);
    setup.setMemberServers(MemberRecords(dag));
    dags.push_back(setup);
  }
  Uvo::DAGDiscoverResp resp;
  resp.setDags(dags);
  return Serialize(resp);
}

// Each database element also names the server the database is mounted on,
// as the real tool does; the library never reads it, and the codec keeps it
// as an attribute it does not know.
std::string AddMountedOn(const std::string& xml, const Dag& dag) {
  pugi::xml_document doc;
  if (!doc.load_string(xml.c_str())) return xml;
  size_t index = 0;
  for (pugi::xml_node db = doc.document_element().child("databases"); db;
       db = db.next_sibling("databases"), ++index) {
    if (index >= dag.databases.size()) break;
    const Copy* active = ActiveCopy(dag.databases[index]);
    if (active != nullptr) db.append_attribute("mountedOn") = active->server.c_str();
  }
  std::ostringstream out;
  doc.save(out, "  ", pugi::format_indent | pugi::format_no_declaration);
  return out.str();
}

std::string DbAnswer(const Topology& topology, const DbRequest& request) {
  const Dag* dag = DagOfServer(topology, request.server);
  if (dag == nullptr) {
    return ErrorRecord("server '" + request.server + "' is not a member of any DAG");
  }
  CNMessageList databases;
  for (const Database& database : dag->databases) {
    Uvo::DAGDB record;
    record.setDbName(database.name);
    record.setBackupServer(ChooseBackupServer(database, request));
    CNStringList copies;
    for (const Copy& copy : database.copies) copies.push_back(copy.server);
    record.setCopyServers(copies);
    record.setCircularLogging(database.circularLogging);
    databases.push_back(record);
  }
  Uvo::DAGDBResp resp;
  resp.setDatabases(databases);
  return AddMountedOn(Serialize(resp), *dag);
}

// The answer of a tool that answers the wrong question.
std::string WrongAnswer(const std::vector<std::string>& args) {
  if (!args.empty() && args[0] == "-dagNode") {
    Uvo::DAGDBResp resp;
    resp.setDatabases(CNMessageList());
    return Serialize(resp);
  }
  Uvo::DAGDiscoverResp resp;
  resp.setDags(CNMessageList());
  return Serialize(resp);
}

}  // namespace

Topology ParseTopology(const json& file) {
  Topology topology;
  Object(file, "dag.json");
  const json& hosts = Array(file, "hosts", "");
  for (size_t i = 0; i < hosts.size(); ++i) {
    if (!hosts[i].is_string()) Bad(Index("hosts", i), "must be a string");
    topology.hosts.push_back(hosts[i].get<std::string>());
  }
  const json& dags = Array(file, "dags", "");
  for (size_t i = 0; i < dags.size(); ++i) {
    const std::string place = Index("dags", i);
    const json& in = Object(dags[i], place);
    Dag dag;
    dag.name = String(in, "name", place);
    const json& members = Array(in, "members", place);
    for (size_t m = 0; m < members.size(); ++m) {
      const std::string where = Index(place + ".members", m);
      const json& member = Object(members[m], where);
      dag.members.push_back({String(member, "name", where), Flag(member, "agent", false, where)});
    }
    const json& databases = Array(in, "databases", place);
    for (size_t d = 0; d < databases.size(); ++d) {
      const std::string where = Index(place + ".databases", d);
      const json& db = Object(databases[d], where);
      Database database;
      database.name = String(db, "name", where);
      database.circularLogging = Flag(db, "circularLogging", false, where);
      const json& copies = Array(db, "copies", where);
      for (size_t c = 0; c < copies.size(); ++c) {
        const std::string at = Index(where + ".copies", c);
        const json& copy = Object(copies[c], at);
        database.copies.push_back({String(copy, "server", at), Flag(copy, "active", false, at),
                                   Flag(copy, "healthy", true, at)});
      }
      dag.databases.push_back(std::move(database));
    }
    topology.dags.push_back(std::move(dag));
  }
  if (file.contains("failures")) {
    const json& failures = Object(file["failures"], "failures");
    for (auto it = failures.begin(); it != failures.end(); ++it) {
      if (!it.value().is_string()) Bad("failures." + it.key(), "must be a string");
      topology.failures[it.key()] = it.value().get<std::string>();
    }
  }
  return topology;
}

Request ParseArguments(const std::vector<std::string>& args) {
  if (args.empty()) {
    Request request;
    request.error = "missing command: -dagNode or -dag";
    return request;
  }
  if (args[0] == "-dagNode") return ParseNode(args);
  if (args[0] == "-dag") return ParseDb(args);
  Request request;
  request.error = "unknown argument '" + args[0] + "' (-dagNode or -dag)";
  return request;
}

std::string ChooseBackupServer(const Database& database, const DbRequest& request) {
  const Copy* active = ActiveCopy(database);
  if (request.preferActive) return active != nullptr ? active->server : "N/A";
  const Copy* chosen = nullptr;
  for (const Copy& copy : database.copies) {
    if (copy.active || !copy.healthy) continue;
    chosen = &copy;
    if (!request.lastActivationPref) break;
  }
  if (chosen != nullptr) return chosen->server;
  if (request.useActiveIfNoPassive && active != nullptr) return active->server;
  return "N/A";
}

std::string ErrorRecord(const std::string& text) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();
  ProxyErrorMessage error;
  error.setErrorText(text);
  return Serialize(error);
}

Reply Answer(const Topology& topology, const std::string& host,
             const std::vector<std::string>& args) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();
  Reply reply;
  auto failure = topology.failures.find(host);
  if (failure != topology.failures.end()) {
    const std::string& mode = failure->second;
    if (mode == "toolError") {
      reply.output = ErrorRecord("simulated tool error on " + host);
    } else if (mode == "garbage") {
      reply.output = "PshimProxy: this is not an XML message <<<\n";
    } else if (mode == "exit") {
      reply.exitCode = 3;
    } else if (mode == "hang") {
      reply.hang = true;
    } else if (mode == "wrongMessage") {
      reply.output = WrongAnswer(args);
    } else {
      reply.output = ErrorRecord("unknown failure mode '" + mode + "' for " + host);
    }
    return reply;
  }

  Request request = ParseArguments(args);
  if (!request.error.empty()) {
    reply.output = ErrorRecord(request.error);
  } else if (request.node) {
    reply.output = NodeAnswer(topology, *request.node);
  } else {
    reply.output = DbAnswer(topology, *request.db);
  }
  return reply;
}

}  // namespace pshim_sim
