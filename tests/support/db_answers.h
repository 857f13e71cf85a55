// Database discovery answers for tests: built from the codec's XML text (so
// they can carry fields the library never reads) and read back as lines.
#ifndef TZ_TESTS_SUPPORT_DB_ANSWERS_H_
#define TZ_TESTS_SUPPORT_DB_ANSWERS_H_

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tzdag/records.h"

namespace tztest {

// A Uvo::DAGDBResp decoded from `<DAGDBResp>...</DAGDBResp>` text; fails the
// current test (and returns an empty answer) when the text does not decode.
Uvo::DAGDBResp DbRespFromXml(const std::string& xml);

// The databases of an answer in order, one line each as the tool's table
// shows them: "NAME BACKUPSERVER [COPY,COPY] CIRCULARLOGGING".
std::vector<std::string> DbRows(const Uvo::DAGDBResp& resp);

// The test fixture of database discovery (tests/data/dbdisc.json).
nlohmann::json DbDiscoveryFixture();

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_DB_ANSWERS_H_
