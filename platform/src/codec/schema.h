// The record kinds the codec knows: identity, XML element name and fields.
#ifndef TZPLATFORM_SRC_CODEC_SCHEMA_H_
#define TZPLATFORM_SRC_CODEC_SCHEMA_H_

#include <cstdint>

namespace tzplatform {
namespace codec {

enum class FieldKind : uint8_t { kString, kInt64, kStringList, kObjectList };

struct RecordKind;

struct FieldDef {
  int field;
  int slot;
  uint32_t fieldKey;
  FieldKind kind;
  const char* name;           // attribute name, or element name of each list item
  const RecordKind* element;  // kind of each item of an object list, else null
};

struct RecordKind {
  int family;
  int index;
  uint32_t classKey;
  const char* name;  // element name of a record that is a message's root
  const FieldDef* fields;
  int fieldCount;
};

// No kind has more fields than this; records keep their values inline.
constexpr int kMaxFields = 5;

inline bool IsList(FieldKind kind) {
  return kind == FieldKind::kStringList || kind == FieldKind::kObjectList;
}

const char* KindName(FieldKind kind);

// Null when no kind has this pair / this root element name.
const RecordKind* FindKind(int family, int index);
const RecordKind* FindKindByName(const char* name);

// Whether records of `family` may be decoded.
bool IsFamilyRegistered(int family);
void RegisterFamily(int family);
void ResetRegistrations();

}  // namespace codec
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_CODEC_SCHEMA_H_
