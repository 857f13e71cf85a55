#include "db_answers.h"

#include <gtest/gtest.h>

#include "records_support.h"
#include "temp_dir.h"
#include "tzplatform/fixture.h"

namespace tztest {

Uvo::DAGDBResp DbRespFromXml(const std::string& xml) {
  Uvo::DAGDBResp resp;
  std::unique_ptr<CNMessageBase> decoded = Decode(xml);
  if (decoded && decoded->getTagID() != Uvo::DAGDBResp::kClassKey) {
    ADD_FAILURE() << "not a DAGDBResp: " << xml;
  } else if (decoded) {
    static_cast<CNMessageBase&>(resp) = *decoded;
  }
  return resp;
}

std::vector<std::string> DbRows(const Uvo::DAGDBResp& resp) {
  std::vector<std::string> rows;
  for (const CNMessageBase& db : resp.getDatabases()) {
    std::string copies;
    for (const std::string& copy : tzdag::GetStringList(db, Uvo::DAGDB::kCopyServers))
      copies += (copies.empty() ? "" : ",") + copy;
    rows.push_back(tzdag::GetString(db, Uvo::DAGDB::kDbName) + " " +
                   tzdag::GetString(db, Uvo::DAGDB::kBackupServer) + " [" + copies + "] " +
                   std::to_string(tzdag::GetInt64(db, Uvo::DAGDB::kCircularLogging)));
  }
  return rows;
}

nlohmann::json DbDiscoveryFixture() {
  return tzplatform::ParseFixture(ReadFile(std::string(TZ_TEST_DATA_DIR) + "/dbdisc.json"));
}

}  // namespace tztest
