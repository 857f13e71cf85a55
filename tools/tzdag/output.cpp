#include "output.h"

#include <algorithm>

namespace tzdag_tool {
namespace {

std::string Join(const CNStringList& values, const char* separator) {
  std::string joined;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) joined += separator;
    joined += values[i];
  }
  return joined;
}

nlohmann::json MemberJson(const CNMessageBase& member) {
  return {{"serverName", tzdag::GetString(member, Uvo::DAGMemberServer::kServerName)},
          {"uvoInstalled", tzdag::GetInt64(member, Uvo::DAGMemberServer::kUvoInstalled) != 0 ? 1 : 0}};
}

}  // namespace

nlohmann::json DatabasesJson(const Uvo::DAGDBResp& resp) {
  nlohmann::json databases = nlohmann::json::array();
  for (const CNMessageBase& db : resp.getDatabases()) {
    databases.push_back(
        {{"dbName", tzdag::GetString(db, Uvo::DAGDB::kDbName)},
         {"backupServer", tzdag::GetString(db, Uvo::DAGDB::kBackupServer)},
         {"copyServers", tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers)},
         {"circularLogging", tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging) != 0 ? 1 : 0}});
  }
  return databases;
}

nlohmann::json DagsJson(const Uvo::DAGDiscoverResp& resp) {
  nlohmann::json dags = nlohmann::json::array();
  for (const CNMessageBase& dag : resp.getDags()) {
    nlohmann::json members = nlohmann::json::array();
    for (const CNMessageBase& member : tzdag::GetList(dag, Uvo::DAGSetup::kMemberServers)) {
      members.push_back(MemberJson(member));
    }
    dags.push_back({{"dagName", tzdag::GetString(dag, Uvo::DAGSetup::kDagName)},
                    {"memberServers", members}});
  }
  return dags;
}

nlohmann::json MemberServersJson(const Uvo::DAGMemberServersResp& resp) {
  nlohmann::json members = nlohmann::json::array();
  for (const CNMessageBase& member : resp.getMemberServers()) members.push_back(MemberJson(member));
  return members;
}

void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
  std::vector<size_t> widths(header.size(), 0);
  auto measure = [&widths](const std::vector<std::string>& row) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], row[i].size());
    }
  };
  measure(header);
  for (const auto& row : rows) measure(row);
  auto print = [&out, &widths](const std::vector<std::string>& row) {
    std::string line;
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      if (i > 0) line += "  ";
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size(), ' ');
    }
    out << line << '\n';
  };
  print(header);
  std::vector<std::string> rule;
  for (size_t width : widths) rule.push_back(std::string(width, '-'));
  print(rule);
  for (const auto& row : rows) print(row);
}

void PrintDatabaseTable(std::ostream& out, const Uvo::DAGDBResp& resp) {
  std::vector<std::vector<std::string>> rows;
  for (const CNMessageBase& db : resp.getDatabases()) {
    rows.push_back({tzdag::GetString(db, Uvo::DAGDB::kDbName),
                    tzdag::GetString(db, Uvo::DAGDB::kBackupServer),
                    Join(tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers), ", "),
                    tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging) != 0 ? "yes" : "no"});
  }
  PrintTable(out, {"DATABASE", "BACKUP SERVER", "COPY SERVERS", "CIRCULAR LOGGING"}, rows);
}

void PrintDagTable(std::ostream& out, const Uvo::DAGDiscoverResp& resp) {
  std::vector<std::vector<std::string>> rows;
  for (const CNMessageBase& dag : resp.getDags()) {
    std::string name = tzdag::GetString(dag, Uvo::DAGSetup::kDagName);
    const CNMessageList& members = tzdag::GetList(dag, Uvo::DAGSetup::kMemberServers);
    if (members.empty()) rows.push_back({name, "(none)", ""});
    for (const CNMessageBase& member : members) {
      rows.push_back(
          {name, tzdag::GetString(member, Uvo::DAGMemberServer::kServerName),
           tzdag::GetInt64(member, Uvo::DAGMemberServer::kUvoInstalled) != 0 ? "yes" : "no"});
    }
  }
  PrintTable(out, {"DAG", "MEMBER SERVER", "AGENT INSTALLED"}, rows);
}

void PrintMemberServerTable(std::ostream& out, const Uvo::DAGMemberServersResp& resp) {
  std::vector<std::vector<std::string>> rows;
  for (const CNMessageBase& member : resp.getMemberServers()) {
    rows.push_back(
        {tzdag::GetString(member, Uvo::DAGMemberServer::kServerName),
         tzdag::GetInt64(member, Uvo::DAGMemberServer::kUvoInstalled) != 0 ? "yes" : "no"});
  }
  PrintTable(out, {"MEMBER SERVER", "AGENT INSTALLED"}, rows);
}

}  // namespace tzdag_tool
