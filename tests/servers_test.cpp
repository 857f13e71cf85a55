// Member server selection over a real store: which member servers of a DAG
// client are returned, in which order, and what is logged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "store_support.h"
#include "temp_dir.h"
#include "tzdag/TzDagApi.h"
#include "tzplatform/faults.h"
#include "tzplatform/log.h"

namespace {

using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Names = std::vector<std::string>;

std::string Found(const std::string& server) {
  return "[GetRemoteServer]: Found exchange server: " + server + " with Uvo installed.";
}

struct Case {
  const char* what;
  const char* memberServers;  // JSON list of client 2's properties
  Names remote;
  Names selected;
};

TEST(MemberServers, SelectionAgentOrderAndOtherKinds) {
  const Case cases[] = {
      {"every combination of the two flags",
       R"([{"name": "BOTH", "selected": true, "agentInstalled": true},
           {"name": "SELECTED", "selected": true, "agentInstalled": false},
           {"name": "AGENT", "selected": false, "agentInstalled": true},
           {"name": "NEITHER"}])",
       {"BOTH"},
       {"BOTH", "SELECTED"}},
      {"property order kept, a server named twice returned twice",
       R"([{"name": "MBX03", "selected": true, "agentInstalled": true},
           {"name": "MBX01", "selected": true, "agentInstalled": true},
           {"name": "mbx03", "selected": true},
           {"name": "MBX03", "selected": true, "agentInstalled": true}])",
       {"MBX03", "MBX01", "MBX03"},
       {"MBX03", "MBX01", "mbx03", "MBX03"}},
      {"entries of other types skipped",
       R"([{"kind": "other", "type": 124, "name": "MBX09", "value": "1"},
           {"name": "MBX01", "selected": true, "agentInstalled": true},
           {"kind": "association", "database": "First\\DB01", "server": "MBX02"},
           {"kind": "content", "description": "MBX02", "storeName": "DB01"},
           {"name": "MBX02", "selected": true, "agentInstalled": false}])",
       {"MBX01"},
       {"MBX01", "MBX02"}},
      {"no properties at all", "[]", {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    tztest::TempDir dir;
    json store = json::parse(R"({"clients": [{"id": 2, "name": "DAG01"}, {"id": 3, "name": "OTHER",
        "memberServers": [{"name": "MBX77", "selected": true, "agentInstalled": true}]}]})");
    store["clients"][0]["memberServers"] = json::parse(c.memberServers);
    tztest::UseStore use(tztest::MakeStore(dir, store));

    tzplatform::LogCapture log;
    EXPECT_THAT(GetRemoteServer(2), ElementsAreArray(c.remote));
    Names expectedLines;
    for (const std::string& server : c.remote) expectedLines.push_back(Found(server));
    EXPECT_THAT(log.Texts(), ElementsAreArray(expectedLines));

    log.Clear();
    EXPECT_THAT(GetSelectedServers(2), ElementsAreArray(c.selected));
    EXPECT_THAT(log.Texts(), ElementsAre());
  }
}

TEST(MemberServers, AFailedPropertyReadIsLoggedAndGivesNoServers) {
  tztest::TempDir dir;
  json store = json::parse(R"({"clients": [{"id": 2, "name": "DAG01", "memberServers": [
      {"name": "MBX01", "selected": true, "agentInstalled": true}]}]})");
  tztest::UseStore use(tztest::MakeStore(dir, store));
  {
    tzplatform::FaultInjector faults;
    faults.Fail("ApplProperties::getProperties", "2", 1022);
    tzplatform::LogCapture log;
    EXPECT_THAT(GetRemoteServer(2), ElementsAre());
    EXPECT_THAT(GetSelectedServers(2), ElementsAre());
    EXPECT_THAT(
        log.Texts(),
        ElementsAre("[GetRemoteServer]: Failed to get client property. ErrCode = 1022.",
                    "[GetSelectedServers]: Failed to get client property. ErrCode = 1022."));
  }
  {
    // A client the store does not know fails the read the same way.
    tzplatform::LogCapture log;
    EXPECT_THAT(GetRemoteServer(9), ElementsAre());
    EXPECT_THAT(log.Texts(),
                ElementsAre("[GetRemoteServer]: Failed to get client property. ErrCode = 2."));
  }
  {
    // A platform exception passes through to the caller.
    tzplatform::FaultInjector faults;
    faults.Throw("ApplProperties::getProperties", "2");
    EXPECT_THROW(GetRemoteServer(2), tzplatform::InjectedFault);
    EXPECT_THROW(GetSelectedServers(2), tzplatform::InjectedFault);
  }
  // Nothing is cached between calls.
  EXPECT_THAT(GetRemoteServer(2), ElementsAre("MBX01"));
}

}  // namespace
