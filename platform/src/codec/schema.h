// The record kinds the codec knows: identity, XML element name and fields.
#ifndef TZPLATFORM_SRC_CODEC_SCHEMA_H_
#define TZPLATFORM_SRC_CODEC_SCHEMA_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace tzplatform {
namespace codec {

enum class FieldKind : uint8_t { kString, kInt64, kStringList, kObjectList };

struct RecordKind;

// Whether names may be compared a word at a time: a word's bytes are then in
// memory order from its lowest bits on.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kNameWords = true;
#else
constexpr bool kNameWords = false;
#endif

// The bytes of `name` from `from` up to `end`, at most 8, as a load of 8
// bytes from memory reads them; missing bytes are 0.
constexpr uint64_t NameWord(const char* name, size_t from, size_t end) {
  uint64_t word = 0;
  for (size_t i = 0; i < 8 && from + i < end; ++i) {
    word |= uint64_t{static_cast<unsigned char>(name[from + i])} << (8 * i);
  }
  return word;
}

struct FieldDef {
  int field;
  int slot;
  uint32_t fieldKey;
  FieldKind kind;
  const char* name;           // attribute name, or element name of each list item
  const RecordKind* element;  // kind of each item of an object list, else null
  // The length of `name`, and for the decoder, which compares names a word
  // at a time, the first and the last 8 of its bytes with its NUL as a load
  // from memory reads them (they overlap in names under 15 characters).
  size_t nameLength = std::char_traits<char>::length(name);
  uint64_t nameHead = NameWord(name, 0, nameLength + 1);
  uint64_t nameTail = NameWord(name, nameLength + 1 < 8 ? 0 : nameLength + 1 - 8, nameLength + 1);
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
