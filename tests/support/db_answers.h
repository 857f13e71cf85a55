// Database discovery answers for tests: built from the codec's XML text (so
// they can carry fields the library never reads) and read back as plain rows.
#ifndef TZ_TESTS_SUPPORT_DB_ANSWERS_H_
#define TZ_TESTS_SUPPORT_DB_ANSWERS_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tzdag/records.h"

namespace tztest {

// One database of an answer, as the tool's table shows it.
struct DbRow {
  std::string dbName;
  std::string backupServer;
  std::vector<std::string> copyServers;
  int64_t circularLogging = 0;

  bool operator==(const DbRow& o) const {
    return dbName == o.dbName && backupServer == o.backupServer && copyServers == o.copyServers &&
           circularLogging == o.circularLogging;
  }
};
void PrintTo(const DbRow& row, std::ostream* out);

// A Uvo::DAGDBResp decoded from `<DAGDBResp>...</DAGDBResp>` text; fails the
// current test (and returns an empty answer) when the text does not decode.
Uvo::DAGDBResp DbRespFromXml(const std::string& xml);

// The rows of an answer, in order.
std::vector<DbRow> DbRows(const Uvo::DAGDBResp& resp);

// The serialized XML of one database record of the answer.
std::string DbXml(const Uvo::DAGDBResp& resp, size_t index);

// The test fixture of database discovery (tests/data/dbdisc.json).
nlohmann::json DbDiscoveryFixture();

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_DB_ANSWERS_H_
