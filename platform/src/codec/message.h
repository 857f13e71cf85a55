// The inside of a CNMessageBase, shared by the record operations, the writer
// and the decoder.
#ifndef TZPLATFORM_SRC_CODEC_MESSAGE_H_
#define TZPLATFORM_SRC_CODEC_MESSAGE_H_

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "codec/schema.h"
#include "tzplatform/CNMessageBase.h"

namespace tzplatform {
namespace codec {

// One field of a record. The variant always holds the alternative of the
// field's kind, so a list getter can hand out the list of an unset field.
struct FieldValue {
  bool set = false;
  std::variant<std::string, int64_t, CNStringList, CNMessageList> value;
};

}  // namespace codec
}  // namespace tzplatform

// A record is one allocation: field values sit inline at the index the
// kind's schema gives them and are found by a scan of at most kMaxFields
// entries. A decoded record is filled in full while its text is checked, so
// every record holds its values itself.
struct CNMessageBase::Impl {
  explicit Impl(const tzplatform::codec::RecordKind* k);

  const tzplatform::codec::RecordKind* kind;
  std::array<tzplatform::codec::FieldValue, tzplatform::codec::kMaxFields> fields;
  // What a decoded record carried beyond its schema, in document order:
  // attributes as (name, value), child nodes as their XML text.
  std::vector<std::pair<std::string, std::string>> extraAttributes;
  std::vector<std::string> extraChildren;
};

// The codec's way into a record.
struct CNMessageAccess {
  static CNMessageBase::Impl* ImplOf(const CNMessageBase& message) { return message.impl_.get(); }
};

namespace tzplatform {
namespace codec {

// Appends the XML text of `record` to `out` (see CNMessageBase::serialize).
void WriteRecord(std::string& out, const CNMessageBase::Impl& record, bool pretty);

}  // namespace codec
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_CODEC_MESSAGE_H_
