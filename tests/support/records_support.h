// Records for tests: their compact text, decoding that fails the test when
// the text is no record, tools that print a fixed answer, and the member
// servers of DAG answers as plain rows.
#ifndef TZ_TESTS_SUPPORT_RECORDS_SUPPORT_H_
#define TZ_TESTS_SUPPORT_RECORDS_SUPPORT_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tzdag/records.h"

namespace tztest {

// The compact XML text of a record.
std::string Xml(const CNMessageBase& record);
// `text` decoded with both record families registered; fails the current
// test (and gives null) when it does not decode.
std::unique_ptr<CNMessageBase> Decode(const std::string& text);
// Every typed field of a record, read through its accessors: "name=value" in
// field order, "-" for a field not set, lists in brackets, the records of a
// list described the same way. Reading them all leaves nothing of a decoded
// record unread.
std::string Fields(const CNMessageBase& record);
// The text of a ProxyErrorMessage carrying `text`.
std::string ErrorXml(const std::string& text);
// A tool script that runs the shell lines `before` and then prints `text` as
// it is; lines appended to the script run after that.
std::string PrintingTool(const std::string& text, const std::string& before = "");

// One member server of an answer; uvoInstalled is -1 when not written.
struct Member {
  std::string name;
  int64_t uvoInstalled;
  bool operator==(const Member& o) const {
    return name == o.name && uvoInstalled == o.uvoInstalled;
  }
};
void PrintTo(const Member& member, std::ostream* out);
std::vector<Member> Members(const CNMessageList& list);
Uvo::DAGMemberServer MemberRecord(const std::string& name, bool installed);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_RECORDS_SUPPORT_H_
