// The message records of DAG discovery and the plain directory records.
//
// Message records carry no data of their own: each is a CNMessageBase made
// with its (family, index) pair, and every field is reached through the
// codec by (field number, slot, class key, field key). The FieldId constants
// below are the only place those numbers are written down; the Get/Set helpers
// work on a whole record and on an element of one of its lists alike.
#ifndef TZDAG_RECORDS_H_
#define TZDAG_RECORDS_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <tzplatform/CNMessageBase.h>

#include "tzdag/export.h"

namespace tzdag {

struct FieldId {
  int field;
  int slot;
  uint32_t classKey;
  uint32_t fieldKey;
};

inline std::string GetString(const CNMessageBase& m, const FieldId& f) {
  return m.getstring(f.field, f.slot, f.classKey, f.fieldKey);
}
// The text held in the record, for reading without a copy.
inline const std::string& GetStringRef(const CNMessageBase& m, const FieldId& f) {
  return m.getstringByRef(f.field, f.slot, f.classKey, f.fieldKey);
}
inline void SetString(CNMessageBase& m, const FieldId& f, const std::string& value) {
  m.setstring(f.field, f.slot, f.classKey, f.fieldKey, value);
}
inline void SetString(CNMessageBase& m, const FieldId& f, std::string&& value) {
  m.setstring(f.field, f.slot, f.classKey, f.fieldKey, std::move(value));
}
inline int64_t GetInt64(const CNMessageBase& m, const FieldId& f) {
  return m.getint64(f.slot, f.classKey, f.fieldKey);
}
inline void SetInt64(CNMessageBase& m, const FieldId& f, int64_t value) {
  m.setint64(f.field, f.slot, f.classKey, f.fieldKey, value);
}
inline const CNStringList& GetStringList(const CNMessageBase& m, const FieldId& f) {
  return m.getliststring(f.field, f.slot, f.classKey, f.fieldKey);
}
inline void SetStringList(CNMessageBase& m, const FieldId& f, const CNStringList& values) {
  m.setliststring(f.field, f.slot, f.classKey, f.fieldKey, values);
}
inline void SetStringList(CNMessageBase& m, const FieldId& f, CNStringList&& values) {
  m.setliststring(f.field, f.slot, f.classKey, f.fieldKey, std::move(values));
}
// The list held in the record; an unset list stays unset.
inline CNMessageList& GetList(CNMessageBase& m, const FieldId& f) {
  return m.getlistobject(f.field, f.slot, f.classKey, f.fieldKey, false);
}
inline const CNMessageList& GetList(const CNMessageBase& m, const FieldId& f) {
  return m.getlistobject(f.field, f.slot, f.classKey, f.fieldKey);
}
inline void SetList(CNMessageBase& m, const FieldId& f, const CNMessageList& values) {
  m.setlistobject(f.field, f.slot, f.classKey, f.fieldKey, values);
}
inline bool IsSet(const CNMessageBase& m, const FieldId& f) {
  return m.isset(f.field, f.slot, f.classKey, f.fieldKey);
}

}  // namespace tzdag

namespace Uvo {

// One member server of a DAG.
class DAGMemberServer : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 383014663;  // 0x16D45707
  static constexpr tzdag::FieldId kServerName{1, 1, kClassKey, 2606190};
  static constexpr tzdag::FieldId kUvoInstalled{2, 5, kClassKey, 14342474};

  DAGMemberServer() : CNMessageBase(22, 46) {}

  std::string getServerName() const { return tzdag::GetString(*this, kServerName); }
  void setServerName(const std::string& v) { tzdag::SetString(*this, kServerName, v); }
  int64_t getUvoInstalled() const { return tzdag::GetInt64(*this, kUvoInstalled); }
  void setUvoInstalled(bool v) { tzdag::SetInt64(*this, kUvoInstalled, v ? 1 : 0); }
};

// One DAG with its member servers.
class DAGSetup : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 372135219;  // 0x162E5533
  static constexpr tzdag::FieldId kDagName{1, 1, kClassKey, 4562229};
  static constexpr tzdag::FieldId kMemberServers{2, 5, kClassKey, 1622572};

  DAGSetup() : CNMessageBase(22, 47) {}

  std::string getDagName() const { return tzdag::GetString(*this, kDagName); }
  void setDagName(const std::string& v) { tzdag::SetString(*this, kDagName, v); }
  const CNMessageList& getMemberServers() const { return tzdag::GetList(*this, kMemberServers); }
  CNMessageList& getMemberServers() { return tzdag::GetList(*this, kMemberServers); }
  void setMemberServers(const CNMessageList& v) { tzdag::SetList(*this, kMemberServers, v); }
};

// Answer of DAG discovery: every DAG found.
class DAGDiscoverResp : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 384415715;  // 0x16E9B7E3
  static constexpr tzdag::FieldId kDags{1, 1, kClassKey, 1521088};

  DAGDiscoverResp() : CNMessageBase(22, 43) {}

  const CNMessageList& getDags() const { return tzdag::GetList(*this, kDags); }
  CNMessageList& getDags() { return tzdag::GetList(*this, kDags); }
  void setDags(const CNMessageList& v) { tzdag::SetList(*this, kDags, v); }
};

// Answer of member server discovery for one DAG.
class DAGMemberServersResp : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 381113404;  // 0x16B7543C
  static constexpr tzdag::FieldId kMemberServers{1, 1, kClassKey, 1622572};

  DAGMemberServersResp() : CNMessageBase(22, 44) {}

  const CNMessageList& getMemberServers() const { return tzdag::GetList(*this, kMemberServers); }
  CNMessageList& getMemberServers() { return tzdag::GetList(*this, kMemberServers); }
  void setMemberServers(const CNMessageList& v) { tzdag::SetList(*this, kMemberServers, v); }
};

// One mailbox database of a DAG.
class DAGDB : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 383573352;  // 0x16DCDD68
  static constexpr tzdag::FieldId kDbName{1, 1, kClassKey, 9634460};
  static constexpr tzdag::FieldId kBackupServer{2, 5, kClassKey, 3366598};
  static constexpr tzdag::FieldId kCopyServers{4, 13, kClassKey, 4438416};
  static constexpr tzdag::FieldId kCircularLogging{5, 14, kClassKey, 16287629};

  DAGDB() : CNMessageBase(22, 59) {}

  std::string getDbName() const { return tzdag::GetString(*this, kDbName); }
  void setDbName(const std::string& v) { tzdag::SetString(*this, kDbName, v); }
  std::string getBackupServer() const { return tzdag::GetString(*this, kBackupServer); }
  void setBackupServer(const std::string& v) { tzdag::SetString(*this, kBackupServer, v); }
  const CNStringList& getCopyServers() const { return tzdag::GetStringList(*this, kCopyServers); }
  void setCopyServers(const CNStringList& v) { tzdag::SetStringList(*this, kCopyServers, v); }
  void setCopyServers(CNStringList&& v) { tzdag::SetStringList(*this, kCopyServers, std::move(v)); }
  int64_t getCircularLogging() const { return tzdag::GetInt64(*this, kCircularLogging); }
  void setCircularLogging(bool v) { tzdag::SetInt64(*this, kCircularLogging, v ? 1 : 0); }
};

// Answer of database discovery.
class DAGDBResp : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 369539416;  // 0x1606B958
  static constexpr tzdag::FieldId kDatabases{2, 2, kClassKey, 2842603};

  DAGDBResp() : CNMessageBase(22, 58) {}

  const CNMessageList& getDatabases() const { return tzdag::GetList(*this, kDatabases); }
  CNMessageList& getDatabases() { return tzdag::GetList(*this, kDatabases); }
  void setDatabases(const CNMessageList& v) { tzdag::SetList(*this, kDatabases, v); }
};

}  // namespace Uvo

namespace CNSession {

// The request that starts a program through the remote command session.
class tzsExecuteRemoteCommandType : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 0x9000111;  // 150995217
  static constexpr tzdag::FieldId kField1{1, 1, kClassKey, 7634917};
  static constexpr tzdag::FieldId kExecutable{2, 2, kClassKey, 7933915};
  static constexpr tzdag::FieldId kArguments{3, 6, kClassKey, 959324};
  static constexpr tzdag::FieldId kField4{4, 10, kClassKey, 2090299};
  static constexpr tzdag::FieldId kField5{5, 11, kClassKey, 9836683};

  tzsExecuteRemoteCommandType() : CNMessageBase(9, 45) {}

  int64_t getField1() const { return tzdag::GetInt64(*this, kField1); }
  void setField1(int64_t v) { tzdag::SetInt64(*this, kField1, v); }
  std::string getExecutable() const { return tzdag::GetString(*this, kExecutable); }
  void setExecutable(const std::string& v) { tzdag::SetString(*this, kExecutable, v); }
  std::string getArguments() const { return tzdag::GetString(*this, kArguments); }
  void setArguments(const std::string& v) { tzdag::SetString(*this, kArguments, v); }
  int64_t getField4() const { return tzdag::GetInt64(*this, kField4); }
  void setField4(int64_t v) { tzdag::SetInt64(*this, kField4, v); }
  int64_t getField5() const { return tzdag::GetInt64(*this, kField5); }
  void setField5(int64_t v) { tzdag::SetInt64(*this, kField5, v); }
};

}  // namespace CNSession

// The remote tool's error answer. Only ever received.
class ProxyErrorMessage : public CNMessageBase {
 public:
  static constexpr uint32_t kClassKey = 0x10003F0;  // 16778224
  static constexpr tzdag::FieldId kErrorText{2, 2, kClassKey, 12053727};

  ProxyErrorMessage() : CNMessageBase(1, 1008) {}

  std::string getErrorText() const { return tzdag::GetString(*this, kErrorText); }
  void setErrorText(const std::string& v) { tzdag::SetString(*this, kErrorText, v); }
};

// A member server as the directory agent reports it.
struct _tagExServer {
  std::string name;
  bool agentInstalled = false;
};

// A DAG as the directory agent reports it.
struct _tagDagServer {
  std::string name;
  std::string distinguishedName;
  std::vector<_tagExServer> servers;

  // Prints the DAG to standard output (not the log): "Dag name = <name>",
  // "Dag DN = <distinguishedName>", then "===Child Server: <name>" for each
  // member server, one line each.
  TZDAG_API void DumpObject();
};

#endif  // TZDAG_RECORDS_H_
