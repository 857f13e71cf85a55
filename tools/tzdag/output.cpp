#include "output.h"

#include <algorithm>

namespace tzdag_tool {
namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Characters, not bytes: what a column's width counts.
size_t Width(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) width += (c & 0xC0) != 0x80 ? 1 : 0;
  return width;
}

std::string Join(const CNStringList& values, const char* separator) {
  std::string joined;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) joined += separator;
    joined += values[i];
  }
  return joined;
}

nlohmann::json MemberJson(const CNMessageBase& member) {
  return {
      {"serverName", tzdag::GetString(member, Uvo::DAGMemberServer::kServerName)},
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
    dags.push_back(
        {{"dagName", tzdag::GetString(dag, Uvo::DAGSetup::kDagName)}, {"memberServers", members}});
  }
  return dags;
}

nlohmann::json MemberServersJson(const Uvo::DAGMemberServersResp& resp) {
  nlohmann::json members = nlohmann::json::array();
  for (const CNMessageBase& member : resp.getMemberServers()) members.push_back(MemberJson(member));
  return members;
}

std::string DisplayText(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      if (lead < 0x20 || lead == 0x7F) {
        text += kReplacement;
      } else {
        text += static_cast<char>(lead);
      }
      ++i;
      continue;
    }
    // The length of the sequence the lead byte opens, and the range its
    // second byte must fall in (no overlong forms, surrogates or values
    // above U+10FFFF).
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    size_t read = 1;
    while (read < length && i + read < bytes.size()) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + read]);
      if (next < (read == 1 ? low : 0x80) || next > (read == 1 ? high : 0xBF)) break;
      ++read;
    }
    if (length != 0 && read == length) {
      text.append(bytes, i, length);
    } else {
      // One replacement for the broken start; the byte that broke it is
      // read again as the start of what follows.
      text += kReplacement;
    }
    i += read;
  }
  return text;
}

void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::vector<std::string>> shown;
  shown.reserve(rows.size() + 2);
  shown.push_back(header);
  shown.emplace_back();  // the rule, filled below
  for (const auto& row : rows) {
    std::vector<std::string> cells;
    for (const std::string& cell : row) cells.push_back(DisplayText(cell));
    shown.push_back(std::move(cells));
  }
  std::vector<size_t> widths(header.size(), 0);
  for (const auto& row : shown) {
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], Width(row[i]));
    }
  }
  for (size_t width : widths) shown[1].push_back(std::string(width, '-'));
  for (const auto& row : shown) {
    std::string line;
    for (size_t i = 0; i < row.size() && i < widths.size(); ++i) {
      if (i > 0) line += "  ";
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - Width(row[i]), ' ');
    }
    out << line << '\n';
  }
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
