// How the tool shows its answers: tables for people; JSON, CSV and TSV for
// programs.
#ifndef TZDAG_TOOL_OUTPUT_H_
#define TZDAG_TOOL_OUTPUT_H_

#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tzdag/records.h"

namespace tzdag_tool {

struct Command;
struct GlobalOptions;

// How a command that prints a table prints it (--format; json is --json).
enum class TableFormat {
  kTable,  // aligned columns for people, names made fit to show (DisplayText)
  kCsv,    // RFC 4180: a header row, CRLF line ends, the names as they are
  kTsv     // a header row, tab, line feed, carriage return and backslash escaped
};

// The table format --format names ("csv", "tsv"; anything else: kTable).
TableFormat TableFormatOf(const std::string& name);

// A UsageError when --format cannot be used with `command`: csv or tsv for
// a command that prints no table, or anything but json beside --json.
void CheckFormat(const GlobalOptions& global, const Command& command);

// The answer {"databases": [{"dbName", "backupServer", "copyServers": [..],
// "circularLogging": 0|1}, ...], "ok": true, "server": *server} (no "server"
// when null) as PrintJson prints it, byte for byte,
// written straight from the records: building the JSON value of a
// full-size answer first cost more than the whole discovery.
// With `defaultSubclientBacksUp`, also {"defaultSubclientBacksUp": N}.
std::string DatabasesAnswerJson(const Uvo::DAGDBResp& resp, const std::string* server,
                                const size_t* defaultSubclientBacksUp = nullptr);
// [{"dagName", "memberServers": [{"serverName", "uvoInstalled"}, ...]}, ...]
nlohmann::json DagsJson(const Uvo::DAGDiscoverResp& resp);
// [{"serverName", "uvoInstalled"}, ...]
nlohmann::json MemberServersJson(const Uvo::DAGMemberServersResp& resp);

// "1 warning", "2 warnings": `count` and `noun`, with an "s" unless it is one.
std::string Plural(size_t count, const char* noun);

// "yes" or "no", as table cells show a flag.
inline const char* YesNo(bool value) {
  return value ? "yes" : "no";
}

// `bytes` (a name or text from the store or the remote tool) as text to show
// a person: each sequence that is not UTF-8 becomes U+FFFD, as the JSON
// answers write it, and so does each control character (C0, DEL, C1, and
// U+2028 and U+2029), which would break a table's lines or talk to the
// terminal.
std::string DisplayText(const std::string& bytes);

// `bytes` as UTF-8 for a program to read: each sequence that is not UTF-8
// becomes U+FFFD, as the JSON answers write it; control characters stay.
std::string Utf8Text(const std::string& bytes);

// The names of a list as one cell of CSV or TSV: separated by one space,
// which no server name holds; a backslash or space in a name is written
// with a backslash before it, so the list splits back exactly.
std::string ListCell(const std::vector<std::string>& names);

// Columns `text` (valid UTF-8) takes on a terminal: East Asian wide
// characters count two, combining marks none, every other character one.
size_t DisplayWidth(const std::string& text);

// A table with a header row; columns as wide as their widest cell on a
// terminal (DisplayWidth), so that rows line up whatever their script.
// Cells are shown through DisplayText.
void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows);

// The header and rows as `format` says: PrintTable, or one CSV or TSV
// record a row (a header record first) with the cells as they are, but for
// sequences that are not UTF-8 (Utf8Text).
void PrintRows(std::ostream& out, TableFormat format, const std::vector<std::string>& header,
               const std::vector<std::vector<std::string>>& rows);

void PrintDatabaseTable(std::ostream& out, const Uvo::DAGDBResp& resp,
                        TableFormat format = TableFormat::kTable);
void PrintDagTable(std::ostream& out, const Uvo::DAGDiscoverResp& resp,
                   TableFormat format = TableFormat::kTable);
void PrintMemberServerTable(std::ostream& out, const Uvo::DAGMemberServersResp& resp,
                            TableFormat format = TableFormat::kTable);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_OUTPUT_H_
