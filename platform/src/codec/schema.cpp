#include "codec/schema.h"

#include "codec/text.h"

#include <atomic>
#include <iterator>

#include "tzplatform/codec.h"

namespace tzplatform {
namespace codec {
namespace {

constexpr int kUvoFamily = 22;
constexpr int kSessionFamily = 9;
constexpr int kGuiFamily = 1;

// Element records first, so that the lists of their owners can name them.
constexpr FieldDef kDagMemberServerFields[] = {
    {1, 1, 2606190, FieldKind::kString, "serverName", nullptr},
    {2, 5, 14342474, FieldKind::kInt64, "uvoInstalled", nullptr},
};
constexpr RecordKind kDagMemberServer{
    kUvoFamily, 46, 0x16D45707, "DAGMemberServer", kDagMemberServerFields, 2};

constexpr FieldDef kDagSetupFields[] = {
    {1, 1, 4562229, FieldKind::kString, "dagName", nullptr},
    {2, 5, 1622572, FieldKind::kObjectList, "memberServers", &kDagMemberServer},
};
constexpr RecordKind kDagSetup{kUvoFamily, 47, 0x162E5533, "DAGSetup", kDagSetupFields, 2};

constexpr FieldDef kDagDiscoverRespFields[] = {
    {1, 1, 1521088, FieldKind::kObjectList, "dags", &kDagSetup},
};
constexpr RecordKind kDagDiscoverResp{
    kUvoFamily, 43, 0x16E9B7E3, "DAGDiscoverResp", kDagDiscoverRespFields, 1};

constexpr FieldDef kDagMemberServersRespFields[] = {
    {1, 1, 1622572, FieldKind::kObjectList, "memberServers", &kDagMemberServer},
};
constexpr RecordKind kDagMemberServersResp{
    kUvoFamily, 44, 0x16B7543C, "DAGMemberServersResp", kDagMemberServersRespFields, 1};

constexpr FieldDef kDagDbFields[] = {
    {1, 1, 9634460, FieldKind::kString, "dbName", nullptr},
    {2, 5, 3366598, FieldKind::kString, "backupServer", nullptr},
    {4, 13, 4438416, FieldKind::kStringList, "copyServers", nullptr},
    {5, 14, 16287629, FieldKind::kInt64, "circularLogging", nullptr},
};
constexpr RecordKind kDagDb{kUvoFamily, 59, 0x16DCDD68, "DAGDB", kDagDbFields, 4};

constexpr FieldDef kDagDbRespFields[] = {
    {2, 2, 2842603, FieldKind::kObjectList, "databases", &kDagDb},
};
constexpr RecordKind kDagDbResp{kUvoFamily, 58, 0x1606B958, "DAGDBResp", kDagDbRespFields, 1};

constexpr FieldDef kExecuteRemoteCommandFields[] = {
    {1, 1, 7634917, FieldKind::kInt64, "commandType", nullptr},
    {2, 2, 7933915, FieldKind::kString, "executable", nullptr},
    {3, 6, 959324, FieldKind::kString, "arguments", nullptr},
    {4, 10, 2090299, FieldKind::kInt64, "waitForCompletion", nullptr},
    {5, 11, 9836683, FieldKind::kInt64, "options", nullptr},
};
constexpr RecordKind kExecuteRemoteCommand{
    kSessionFamily, 45, 0x9000111, "tzsExecuteRemoteCommandType", kExecuteRemoteCommandFields, 5};

constexpr FieldDef kProxyErrorMessageFields[] = {
    {2, 2, 12053727, FieldKind::kString, "errorText", nullptr},
};
constexpr RecordKind kProxyErrorMessage{
    kGuiFamily, 1008, 0x10003F0, "ProxyErrorMessage", kProxyErrorMessageFields, 1};

constexpr const RecordKind* kKinds[] = {
    &kDagDiscoverResp, &kDagMemberServersResp, &kDagMemberServer,   &kDagSetup, &kDagDbResp,
    &kDagDb,           &kExecuteRemoteCommand, &kProxyErrorMessage,
};

std::atomic<bool> g_uvoRegistered{false};
std::atomic<bool> g_guiRegistered{false};

}  // namespace

const char* KindName(FieldKind kind) {
  switch (kind) {
    case FieldKind::kString:
      return "string";
    case FieldKind::kInt64:
      return "int64";
    case FieldKind::kStringList:
      return "string list";
    case FieldKind::kObjectList:
      return "object list";
  }
  return "?";
}

const RecordKind* FindKind(int family, int index) {
  for (const RecordKind* kind : kKinds) {
    if (kind->family == family && kind->index == index) return kind;
  }
  return nullptr;
}

const RecordKind* FindKindByName(const char* name) {
  for (const RecordKind* kind : kKinds) {
    if (SameName(kind->name, name)) return kind;
  }
  return nullptr;
}

bool IsFamilyRegistered(int family) {
  switch (family) {
    case kUvoFamily:
      return g_uvoRegistered.load(std::memory_order_acquire);
    case kGuiFamily:
      return g_guiRegistered.load(std::memory_order_acquire);
    case kSessionFamily:
      // The session's own request family needs no registration: the
      // simulated tool and the session decode requests without one.
      return true;
    default:
      return false;
  }
}

void RegisterFamily(int family) {
  if (family == kUvoFamily) g_uvoRegistered.store(true, std::memory_order_release);
  if (family == kGuiFamily) g_guiRegistered.store(true, std::memory_order_release);
}

void ResetRegistrations() {
  g_uvoRegistered.store(false, std::memory_order_release);
  g_guiRegistered.store(false, std::memory_order_release);
}

}  // namespace codec
}  // namespace tzplatform

namespace Uvo {
void RegisterSubsystem() {
  tzplatform::codec::RegisterFamily(tzplatform::codec::kUvoFamily);
}
}  // namespace Uvo

namespace TZGui {
void RegisterSubsystem() {
  tzplatform::codec::RegisterFamily(tzplatform::codec::kGuiFamily);
}
}  // namespace TZGui

namespace tzplatform {
void ResetRegistrationsForTest() {
  codec::ResetRegistrations();
}
}  // namespace tzplatform
