#include "output.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>

#include "commands.h"

namespace tzdag_tool {
namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Printable ASCII, as nearly every name is: shown as it is, one column a
// byte, and written in JSON with no escape but for '"' and '\\'.
constexpr bool IsPlainChar(char c) {
  return c >= 0x20 && c < 0x7F;
}

// Eight bytes at a time: a large answer's table checks every name in it.
bool IsPlain(const std::string& text) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  const char* at = text.data();
  const char* const end = at + text.size();
  for (; end - at >= 8; at += 8) {
    uint64_t word;
    std::memcpy(&word, at, sizeof word);
    // A byte below 0x20; a byte above 0x7E (0x7F, or one with its top bit
    // set). Either test may also mark a byte beyond one that fails, which
    // does not change the answer.
    const uint64_t below = (word - kOnes * 0x20) & ~word & kHigh;
    const uint64_t above = ((word + kOnes) | word) & kHigh;
    if ((below | above) != 0) return false;
  }
  return std::all_of(at, end, IsPlainChar);
}

struct Range {
  char32_t first, last;
};

// Characters that take two columns: East Asian wide and fullwidth forms
// (Hangul, CJK, kana, fullwidth Latin) and the emoji blocks.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x18CFF},
    {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E},
    {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF},
    {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

// Characters that take no column of their own: combining marks, which sit
// on the character before them, and zero-width spaces, joiners and
// variation selectors.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},   {0x064B, 0x065F},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302D},   {0x3099, 0x309A},
    {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

template <size_t N>
bool InRanges(char32_t c, const Range (&ranges)[N]) {
  for (const Range& range : ranges) {
    if (c < range.first) return false;  // the ranges are in order
    if (c <= range.last) return true;
  }
  return false;
}

int CharacterWidth(char32_t c) {
  if (InRanges(c, kZeroWidth)) return 0;
  return InRanges(c, kWide) ? 2 : 1;
}

// Columns on a terminal, not bytes or characters: what a column's width
// counts. `text` is valid UTF-8 (DisplayText made it so).
size_t Width(const std::string& text) {
  size_t width = 0;
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    // Names are mostly ASCII, one column a byte.
    if (lead < 0x80) {
      ++width;
      ++i;
      continue;
    }
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (i + length > text.size()) length = text.size() - i;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    width += static_cast<size_t>(CharacterWidth(c));
    i += length;
  }
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

// How a byte goes into a JSON string: as it is, after a backslash, or only
// through nlohmann's writer.
enum class JsonByte : unsigned char { kAsItIs, kEscaped, kOther };

constexpr std::array<JsonByte, 256> JsonBytes() {
  std::array<JsonByte, 256> bytes{};
  for (int c = 0; c < 256; ++c) {
    const char byte = static_cast<char>(c);
    bytes[c] = byte == '"' || byte == '\\' ? JsonByte::kEscaped
               : IsPlainChar(byte)         ? JsonByte::kAsItIs
                                           : JsonByte::kOther;
  }
  return bytes;
}
constexpr std::array<JsonByte, 256> kJsonBytes = JsonBytes();

// `text` as a JSON string, as nlohmann's dump writes it (no escapes beyond
// what JSON needs; a sequence that is not UTF-8 becomes U+FFFD).
void AppendJsonString(std::string& out, const std::string& text) {
  // Printable ASCII, as nearly every name is, needs no escape but for '"'
  // and '\\' (a database path holds one): the runs between them go over
  // whole. Anything else is left to nlohmann's writer.
  const size_t mark = out.size();
  out += '"';
  const char* from = text.data();
  const char* end = from + text.size();
  for (const char* at = from; at != end; ++at) {
    const JsonByte kind = kJsonBytes[static_cast<unsigned char>(*at)];
    if (kind == JsonByte::kAsItIs) continue;
    if (kind == JsonByte::kOther) {
      out.resize(mark);
      out += nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      return;
    }
    out.append(from, at);
    out += '\\';
    from = at;
  }
  out.append(from, end);
  out += '"';
}

}  // namespace

std::string DatabasesAnswerJson(const Uvo::DAGDBResp& resp, const std::string* server,
                                const size_t* defaultSubclientBacksUp) {
  // The layout of dump(2): members in name order, two blanks a level.
  const CNMessageList& databases = resp.getDatabases();
  std::string out = "{\n  \"databases\": [";
  out.reserve(databases.size() * 256);
  for (size_t d = 0; d < databases.size(); ++d) {
    const CNMessageBase& db = databases[d];
    out += d == 0 ? "\n    {\n      \"backupServer\": " : ",\n    {\n      \"backupServer\": ";
    AppendJsonString(out, tzdag::GetStringRef(db, Uvo::DAGDB::kBackupServer));
    out += tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging) != 0
               ? ",\n      \"circularLogging\": 1,\n      \"copyServers\": ["
               : ",\n      \"circularLogging\": 0,\n      \"copyServers\": [";
    const CNStringList& copies = tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers);
    for (size_t c = 0; c < copies.size(); ++c) {
      out += c == 0 ? "\n        " : ",\n        ";
      AppendJsonString(out, copies[c]);
    }
    out += copies.empty() ? "],\n      \"dbName\": " : "\n      ],\n      \"dbName\": ";
    AppendJsonString(out, tzdag::GetStringRef(db, Uvo::DAGDB::kDbName));
    out += "\n    }";
  }
  out += databases.empty() ? "]" : "\n  ]";
  if (defaultSubclientBacksUp != nullptr) {
    out += ",\n  \"defaultSubclientBacksUp\": " + std::to_string(*defaultSubclientBacksUp);
  }
  out += ",\n  \"ok\": true";
  if (server != nullptr) {
    out += ",\n  \"server\": ";
    AppendJsonString(out, *server);
  }
  out += "\n}";
  return out;
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

size_t DisplayWidth(const std::string& text) {
  return Width(text);
}

namespace {

// `bytes` with each sequence that is not UTF-8 made U+FFFD and, unless
// `keepControls`, each control character too.
std::string Utf8(const std::string& bytes, bool keepControls) {
  std::string text;
  text.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    // A run of printable ASCII goes over as it is, in one piece.
    size_t run = i;
    while (run < bytes.size() && IsPlainChar(bytes[run])) ++run;
    if (run > i) {
      text.append(bytes, i, run - i);
      i = run;
      continue;
    }
    const unsigned char lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      if (!keepControls && (lead < 0x20 || lead == 0x7F)) {
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
    // C1 controls (U+0080 to U+009F) and the line and paragraph separators
    // break a line or talk to a terminal as C0 controls do.
    const bool control = !keepControls && length != 0 && read == length &&
                         ((lead == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) <= 0x9F) ||
                          (lead == 0xE2 && bytes[i + 1] == '\x80' &&
                           (bytes[i + 2] == '\xA8' || bytes[i + 2] == '\xA9')));
    if (length != 0 && read == length && !control) {
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

// One CSV field (RFC 4180): quoted when it holds a comma, quote, CR or LF,
// its quotes doubled.
void AppendCsvField(std::string& out, const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// One TSV field: the tab, line ends and the backslash that would break the
// record or its escapes written as \t, \n, \r and \\.
void AppendTsvField(std::string& out, const std::string& text) {
  for (char c : text) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
}

void AppendRecord(std::string& out, TableFormat format, const std::vector<std::string>& cells,
                  size_t columns) {
  for (size_t i = 0; i < columns; ++i) {
    if (i > 0) out += format == TableFormat::kCsv ? ',' : '\t';
    const std::string cell = i < cells.size() ? Utf8(cells[i], true) : std::string();
    if (format == TableFormat::kCsv) {
      AppendCsvField(out, cell);
    } else {
      AppendTsvField(out, cell);
    }
  }
  out += format == TableFormat::kCsv ? "\r\n" : "\n";
}

}  // namespace

std::string Plural(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string DisplayText(const std::string& bytes) {
  return Utf8(bytes, false);
}

std::string Utf8Text(const std::string& bytes) {
  return Utf8(bytes, true);
}

std::string ListCell(const std::vector<std::string>& names) {
  std::string cell;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) cell += ' ';
    for (char c : names[i]) {
      if (c == ' ' || c == '\\') cell += '\\';
      cell += c;
    }
  }
  return cell;
}

TableFormat TableFormatOf(const std::string& name) {
  if (name == "csv") return TableFormat::kCsv;
  if (name == "tsv") return TableFormat::kTsv;
  return TableFormat::kTable;
}

void CheckFormat(const GlobalOptions& global, const Command& command) {
  if (global.format.empty() || global.format == "json") return;
  if (global.json) {
    throw UsageError("--json and --format " + global.format +
                     " do not go together (--json is --format json)");
  }
  if (!command.printsTables && global.format != "table") {
    throw UsageError("--format " + global.format + ": " + command.app->get_name() +
                     " prints no table (--format table or json)");
  }
}

void PrintTable(std::ostream& out, const std::vector<std::string>& header,
                const std::vector<std::vector<std::string>>& rows) {
  // What each shown cell says and the columns it takes. A cell of printable
  // ASCII, as nearly every name is, is shown as it is, one column a byte;
  // only the others are made into a copy fit to show.
  struct Cell {
    const std::string* text;
    size_t width;
  };
  const size_t columns = header.size();
  std::deque<std::string> madeFit;
  std::vector<Cell> cells;
  cells.reserve((rows.size() + 2) * columns);
  std::vector<size_t> rowCells;  // cells kept of each row, trailing empty ones dropped
  rowCells.reserve(rows.size() + 2);
  std::vector<size_t> widths(columns, 0);
  auto add = [&](const std::vector<std::string>& row, bool fit) {
    const size_t count = std::min(row.size(), columns);
    for (size_t i = 0; i < count; ++i) {
      const std::string* text = &row[i];
      const bool plain = IsPlain(*text);
      if (fit && !plain) {
        text = &madeFit.emplace_back(DisplayText(*text));
      }
      const size_t width = plain ? text->size() : Width(*text);
      cells.push_back({text, width});
      widths[i] = std::max(widths[i], width);
    }
    // Empty cells at the end of a row leave no blanks behind.
    size_t kept = count;
    while (kept > 1 && row[kept - 1].empty()) --kept;
    rowCells.push_back(kept);
    cells.resize(cells.size() - count + columns, Cell{nullptr, 0});
  };
  add(header, false);
  rowCells.push_back(columns);  // the rule, made below
  cells.resize(cells.size() + columns, Cell{nullptr, 0});
  for (const auto& row : rows) add(row, true);
  std::vector<std::string> rule;
  rule.reserve(columns);
  for (size_t i = 0; i < columns; ++i) {
    cells[columns + i] = {&rule.emplace_back(widths[i], '-'), widths[i]};
  }
  while (rowCells[1] > 1 && widths[rowCells[1] - 1] == 0) --rowCells[1];

  std::string text;
  for (size_t r = 0; r < rowCells.size(); ++r) {
    const Cell* row = &cells[r * columns];
    for (size_t i = 0; i < rowCells[r]; ++i) {
      if (i > 0) text += "  ";
      text += *row[i].text;
      if (i + 1 < rowCells[r]) text.append(widths[i] - row[i].width, ' ');
    }
    text += '\n';
  }
  out << text;
}

void PrintRows(std::ostream& out, TableFormat format, const std::vector<std::string>& header,
               const std::vector<std::vector<std::string>>& rows) {
  if (format == TableFormat::kTable) {
    PrintTable(out, header, rows);
    return;
  }
  std::string text;
  AppendRecord(text, format, header, header.size());
  for (const auto& row : rows) AppendRecord(text, format, row, header.size());
  out << text;
}

namespace {

// The database table runs to thousands of rows. When every name in it is
// printable ASCII, as nearly every one is, it is laid out straight from the
// records into one text of the size worked out first; PrintTable lays out
// the rest.
bool PrintPlainDatabaseTable(std::ostream& out, const Uvo::DAGDBResp& resp) {
  static const char* const kHeader[] = {"DATABASE", "BACKUP SERVER", "COPY SERVERS",
                                        "CIRCULAR LOGGING"};
  constexpr size_t kColumns = 4;
  constexpr size_t kGap = 2;  // between columns, as ", " between copies
  struct Row {
    const std::string* name;
    const std::string* backup;
    const CNStringList* copies;
    bool circularLogging;
  };
  size_t widths[kColumns];
  for (size_t i = 0; i < kColumns; ++i) widths[i] = std::char_traits<char>::length(kHeader[i]);
  const CNMessageList& databases = resp.getDatabases();
  std::vector<Row> rows;
  rows.reserve(databases.size());
  for (const CNMessageBase& db : databases) {
    const Row row{&tzdag::GetStringRef(db, Uvo::DAGDB::kDbName),
                  &tzdag::GetStringRef(db, Uvo::DAGDB::kBackupServer),
                  &tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers),
                  tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging) != 0};
    if (!IsPlain(*row.name) || !IsPlain(*row.backup)) return false;
    size_t copiesWidth = row.copies->empty() ? 0 : kGap * (row.copies->size() - 1);
    for (const std::string& copy : *row.copies) {
      if (!IsPlain(copy)) return false;
      copiesWidth += copy.size();
    }
    widths[0] = std::max(widths[0], row.name->size());
    widths[1] = std::max(widths[1], row.backup->size());
    widths[2] = std::max(widths[2], copiesWidth);
    rows.push_back(row);
  }
  // "yes" and "no" are narrower than their heading, so only the heading
  // lines run to the full width; every row ends after its answer.
  const size_t lead = widths[0] + widths[1] + widths[2] + 3 * kGap;
  size_t size = 2 * (lead + widths[3] + 1);
  for (const Row& row : rows) size += lead + (row.circularLogging ? 4 : 3);

  std::string text(size, ' ');
  char* at = &text[0];
  auto put = [&at](const char* from, size_t count) {
    std::memcpy(at, from, count);
    at += count;
  };
  // Each cell starts at its column; the blanks between are already there.
  char* line = at;
  for (size_t i = 0; i < kColumns; ++i) {
    put(kHeader[i], std::char_traits<char>::length(kHeader[i]));
    at = line + (i < kColumns - 1 ? widths[i] + kGap : widths[i]);
    line = at;
  }
  *at++ = '\n';
  for (size_t i = 0; i < kColumns; ++i) {
    std::memset(at, '-', widths[i]);
    at += widths[i] + (i < kColumns - 1 ? kGap : 0);
  }
  *at++ = '\n';
  for (const Row& row : rows) {
    char* const start = at;
    put(row.name->data(), row.name->size());
    at = start + widths[0] + kGap;
    put(row.backup->data(), row.backup->size());
    at = start + widths[0] + widths[1] + 2 * kGap;
    for (size_t c = 0; c < row.copies->size(); ++c) {
      if (c > 0) put(", ", kGap);
      put((*row.copies)[c].data(), (*row.copies)[c].size());
    }
    at = start + lead;
    if (row.circularLogging) {
      put("yes\n", 4);
    } else {
      put("no\n", 3);
    }
  }
  out << text;
  return true;
}

}  // namespace

void PrintDatabaseTable(std::ostream& out, const Uvo::DAGDBResp& resp, TableFormat format) {
  if (format == TableFormat::kTable && PrintPlainDatabaseTable(out, resp)) return;
  std::vector<std::vector<std::string>> rows;
  rows.reserve(resp.getDatabases().size());
  for (const CNMessageBase& db : resp.getDatabases()) {
    const CNStringList& copies = tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers);
    rows.push_back({tzdag::GetString(db, Uvo::DAGDB::kDbName),
                    tzdag::GetString(db, Uvo::DAGDB::kBackupServer),
                    format == TableFormat::kTable ? Join(copies, ", ") : ListCell(copies),
                    tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging) != 0 ? "yes" : "no"});
  }
  PrintRows(out, format, {"DATABASE", "BACKUP SERVER", "COPY SERVERS", "CIRCULAR LOGGING"}, rows);
}

void PrintDagTable(std::ostream& out, const Uvo::DAGDiscoverResp& resp, TableFormat format) {
  std::vector<std::vector<std::string>> rows;
  for (const CNMessageBase& dag : resp.getDags()) {
    std::string name = tzdag::GetString(dag, Uvo::DAGSetup::kDagName);
    const CNMessageList& members = tzdag::GetList(dag, Uvo::DAGSetup::kMemberServers);
    if (members.empty()) rows.push_back({name, format == TableFormat::kTable ? "(none)" : "", ""});
    for (const CNMessageBase& member : members) {
      rows.push_back(
          {name, tzdag::GetString(member, Uvo::DAGMemberServer::kServerName),
           tzdag::GetInt64(member, Uvo::DAGMemberServer::kUvoInstalled) != 0 ? "yes" : "no"});
    }
  }
  PrintRows(out, format, {"DAG", "MEMBER SERVER", "AGENT INSTALLED"}, rows);
}

void PrintMemberServerTable(std::ostream& out, const Uvo::DAGMemberServersResp& resp,
                            TableFormat format) {
  std::vector<std::vector<std::string>> rows;
  for (const CNMessageBase& member : resp.getMemberServers()) {
    rows.push_back(
        {tzdag::GetString(member, Uvo::DAGMemberServer::kServerName),
         tzdag::GetInt64(member, Uvo::DAGMemberServer::kUvoInstalled) != 0 ? "yes" : "no"});
  }
  PrintRows(out, format, {"MEMBER SERVER", "AGENT INSTALLED"}, rows);
}

}  // namespace tzdag_tool
