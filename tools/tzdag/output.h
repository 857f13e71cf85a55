// How the tool shows discovery answers: tables for people, JSON for programs.
#ifndef TZDAG_TOOL_OUTPUT_H_
#define TZDAG_TOOL_OUTPUT_H_

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tzdag/records.h"

namespace tzdag_tool {

// The answer {"databases": [{"dbName", "backupServer", "copyServers": [..],
// "circularLogging": 0|1}, ...], "ok": true, "server": *server} (no "server"
// when null) as PrintJson prints it, byte for byte,
// written straight from the records: building the JSON value of a
// full-size answer first cost more than the whole discovery.
std::string DatabasesAnswerJson(const Uvo::DAGDBResp& resp, const std::string* server);
// [{"dagName", "memberServers": [{"serverName", "uvoInstalled"}, ...]}, ...]
nlohmann::json DagsJson(const Uvo::DAGDiscoverResp& resp);
// [{"serverName", "uvoInstalled"}, ...]
nlohmann::json MemberServersJson(const Uvo::DAGMemberServersResp& resp);

// `bytes` (a name or text from the store or the remote tool) as text to show
// a person: each sequence that is not UTF-8 becomes U+FFFD, as the JSON
// answers write it, and so does each control character (C0, DEL, C1, and
// U+2028 and U+2029), which would break a table's lines or talk to the
// terminal.
std::string DisplayText(const std::string& bytes);

// Columns `text` (valid UTF-8) takes on a terminal: East Asian wide
// characters count two, combining marks none, every other character one.
size_t DisplayWidth(const std::string& text);

// A table with a header row; columns as wide as their widest cell on a
// terminal (DisplayWidth), so that rows line up whatever their script.
// Cells are shown through DisplayText.
void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);

void PrintDatabaseTable(std::ostream& out, const Uvo::DAGDBResp& resp);
void PrintDagTable(std::ostream& out, const Uvo::DAGDiscoverResp& resp);
void PrintMemberServerTable(std::ostream& out, const Uvo::DAGMemberServersResp& resp);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_OUTPUT_H_
