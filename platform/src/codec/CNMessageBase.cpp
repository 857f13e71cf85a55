#include "tzplatform/CNMessageBase.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "codec/message.h"
#include "codec/schema.h"

using tzplatform::codec::FieldDef;
using tzplatform::codec::FieldKind;
using tzplatform::codec::FieldValue;
using tzplatform::codec::RecordKind;

CNMessageBase::Impl::Impl(const RecordKind* k) : kind(k) {
  for (int i = 0; i < kind->fieldCount; ++i) {
    switch (kind->fields[i].kind) {
      case FieldKind::kString:
        break;  // the variant starts out as an empty string
      case FieldKind::kInt64:
        fields[i].value.emplace<int64_t>(0);
        break;
      case FieldKind::kStringList:
        fields[i].value.emplace<CNStringList>();
        break;
      case FieldKind::kObjectList:
        fields[i].value.emplace<CNMessageList>();
        break;
    }
  }
}

namespace {

// An accessor that names no field of the record is a programming error, so
// it says exactly what was asked of which record.
[[noreturn]] void ThrowNoField(const char* accessor, const RecordKind& kind, FieldKind want,
                               int field, int slot, uint32_t classKey, uint32_t fieldKey) {
  char text[256];
  std::snprintf(text, sizeof text,
                "CNMessageBase::%s: %s (class key 0x%X) has no %s field with field %d, slot %d, "
                "class key 0x%X, field key %u",
                accessor, kind.name, static_cast<unsigned>(kind.classKey),
                tzplatform::codec::KindName(want), field, slot, static_cast<unsigned>(classKey),
                static_cast<unsigned>(fieldKey));
  throw std::invalid_argument(text);
}

// `field` < 0 matches any field number (getint64 names none); `want` null
// matches any kind.
int FindIndex(const RecordKind& kind, const FieldKind* want, int field, int slot, uint32_t classKey,
              uint32_t fieldKey) {
  if (classKey != kind.classKey) return -1;
  for (int i = 0; i < kind.fieldCount; ++i) {
    const FieldDef& def = kind.fields[i];
    if (def.fieldKey == fieldKey && def.slot == slot && (field < 0 || def.field == field) &&
        (want == nullptr || def.kind == *want)) {
      return i;
    }
  }
  return -1;
}

// The record behind an accessor.
CNMessageBase::Impl& Checked(const std::unique_ptr<CNMessageBase::Impl>& impl,
                             const char* accessor) {
  if (!impl) {
    throw std::logic_error(std::string("CNMessageBase::") + accessor +
                           ": the record was moved from");
  }
  return *impl;
}

FieldValue& Resolve(CNMessageBase::Impl& impl, const char* accessor, FieldKind want, int field,
                    int slot, uint32_t classKey, uint32_t fieldKey) {
  int i = FindIndex(*impl.kind, &want, field, slot, classKey, fieldKey);
  if (i < 0) ThrowNoField(accessor, *impl.kind, want, field, slot, classKey, fieldKey);
  return impl.fields[i];
}

bool ListHoldsValue(const FieldValue& v) {
  if (v.set) return true;
  // Items added through a getter that did not mark the list are still data.
  if (auto* strings = std::get_if<CNStringList>(&v.value)) return !strings->empty();
  if (auto* objects = std::get_if<CNMessageList>(&v.value)) return !objects->empty();
  return false;
}

}  // namespace

CNMessageBase::CNMessageBase(int family, int index) {
  const RecordKind* kind = tzplatform::codec::FindKind(family, index);
  if (kind == nullptr) {
    throw std::invalid_argument("CNMessageBase: no record kind (" + std::to_string(family) + ", " +
                                std::to_string(index) + ")");
  }
  impl_ = std::make_unique<Impl>(kind);
}

CNMessageBase::CNMessageBase(const CNMessageBase& other)
    : impl_(other.impl_ ? std::make_unique<Impl>(*other.impl_) : nullptr) {}

CNMessageBase::CNMessageBase(CNMessageBase&& other) noexcept = default;

CNMessageBase& CNMessageBase::operator=(const CNMessageBase& other) {
  if (this != &other) {
    // Copy first: `other` may live inside this record's own lists.
    impl_ = other.impl_ ? std::make_unique<Impl>(*other.impl_) : nullptr;
  }
  return *this;
}

CNMessageBase& CNMessageBase::operator=(CNMessageBase&& other) noexcept = default;

CNMessageBase::~CNMessageBase() = default;

uint32_t CNMessageBase::getTagID() const {
  return impl_ ? impl_->kind->classKey : 0;
}

void CNMessageBase::setstring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                              const std::string& value) {
  FieldValue& v = Resolve(Checked(impl_, "setstring"), "setstring", FieldKind::kString, field, slot,
                          classKey, fieldKey);
  std::get<std::string>(v.value) = value;
  v.set = true;
}

void CNMessageBase::setstring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                              std::string&& value) {
  FieldValue& v = Resolve(Checked(impl_, "setstring"), "setstring", FieldKind::kString, field, slot,
                          classKey, fieldKey);
  std::string taken(std::move(value));  // `value` may be this very field
  std::get<std::string>(v.value).swap(taken);
  v.set = true;
}

std::string CNMessageBase::getstring(int field, int slot, uint32_t classKey,
                                     uint32_t fieldKey) const {
  return std::get<std::string>(Resolve(Checked(impl_, "getstring"), "getstring", FieldKind::kString,
                                       field, slot, classKey, fieldKey)
                                   .value);
}

const std::string& CNMessageBase::getstringByRef(int field, int slot, uint32_t classKey,
                                                 uint32_t fieldKey) const {
  return std::get<std::string>(Resolve(Checked(impl_, "getstringByRef"), "getstringByRef",
                                       FieldKind::kString, field, slot, classKey, fieldKey)
                                   .value);
}

void CNMessageBase::setint64(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                             int64_t value) {
  FieldValue& v = Resolve(Checked(impl_, "setint64"), "setint64", FieldKind::kInt64, field, slot,
                          classKey, fieldKey);
  std::get<int64_t>(v.value) = value;
  v.set = true;
}

int64_t CNMessageBase::getint64(int slot, uint32_t classKey, uint32_t fieldKey) const {
  return std::get<int64_t>(Resolve(Checked(impl_, "getint64"), "getint64", FieldKind::kInt64, -1,
                                   slot, classKey, fieldKey)
                               .value);
}

void CNMessageBase::setliststring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                                  const CNStringList& values) {
  FieldValue& v = Resolve(Checked(impl_, "setliststring"), "setliststring", FieldKind::kStringList,
                          field, slot, classKey, fieldKey);
  CNStringList copy(values);  // `values` may be this very list
  std::get<CNStringList>(v.value).swap(copy);
  v.set = true;
}

void CNMessageBase::setliststring(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                                  CNStringList&& values) {
  FieldValue& v = Resolve(Checked(impl_, "setliststring"), "setliststring", FieldKind::kStringList,
                          field, slot, classKey, fieldKey);
  CNStringList taken(std::move(values));  // `values` may be this very list
  std::get<CNStringList>(v.value).swap(taken);
  v.set = true;
}

CNStringList& CNMessageBase::getliststring(int field, int slot, uint32_t classKey,
                                           uint32_t fieldKey, bool markSet) {
  FieldValue& v = Resolve(Checked(impl_, "getliststring"), "getliststring", FieldKind::kStringList,
                          field, slot, classKey, fieldKey);
  if (markSet) v.set = true;
  return std::get<CNStringList>(v.value);
}

const CNStringList& CNMessageBase::getliststring(int field, int slot, uint32_t classKey,
                                                 uint32_t fieldKey) const {
  return std::get<CNStringList>(Resolve(Checked(impl_, "getliststring"), "getliststring",
                                        FieldKind::kStringList, field, slot, classKey, fieldKey)
                                    .value);
}

void CNMessageBase::setlistobject(int field, int slot, uint32_t classKey, uint32_t fieldKey,
                                  const CNMessageList& values) {
  Impl& impl = Checked(impl_, "setlistobject");
  const FieldKind want = FieldKind::kObjectList;
  int i = FindIndex(*impl.kind, &want, field, slot, classKey, fieldKey);
  if (i < 0) ThrowNoField("setlistobject", *impl.kind, want, field, slot, classKey, fieldKey);
  // A list holds records of one kind; anything else would be written under
  // the wrong element name and read back as a different record.
  const RecordKind* element = impl.kind->fields[i].element;
  for (const CNMessageBase& item : values) {
    const Impl* itemImpl = item.impl_.get();
    if (itemImpl == nullptr || itemImpl->kind != element) {
      throw std::invalid_argument(
          std::string("CNMessageBase::setlistobject: list ") + impl.kind->fields[i].name + " of " +
          impl.kind->name + " holds " + element->name + " records, not " +
          (itemImpl == nullptr ? "a moved-from record" : itemImpl->kind->name));
    }
  }
  CNMessageList copy(values);  // `values` may live inside this record
  std::get<CNMessageList>(impl.fields[i].value).swap(copy);
  impl.fields[i].set = true;
}

CNMessageList& CNMessageBase::getlistobject(int field, int slot, uint32_t classKey,
                                            uint32_t fieldKey, bool markSet) {
  FieldValue& v = Resolve(Checked(impl_, "getlistobject"), "getlistobject", FieldKind::kObjectList,
                          field, slot, classKey, fieldKey);
  if (markSet) v.set = true;
  return std::get<CNMessageList>(v.value);
}

const CNMessageList& CNMessageBase::getlistobject(int field, int slot, uint32_t classKey,
                                                  uint32_t fieldKey) const {
  return std::get<CNMessageList>(Resolve(Checked(impl_, "getlistobject"), "getlistobject",
                                         FieldKind::kObjectList, field, slot, classKey, fieldKey)
                                     .value);
}

bool CNMessageBase::isset(int field, int slot, uint32_t classKey, uint32_t fieldKey) const {
  const Impl& impl = Checked(impl_, "isset");
  int i = FindIndex(*impl.kind, nullptr, field, slot, classKey, fieldKey);
  if (i < 0) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "CNMessageBase::isset: %s (class key 0x%X) has no field with field %d, slot "
                  "%d, class key 0x%X, field key %u",
                  impl.kind->name, static_cast<unsigned>(impl.kind->classKey), field, slot,
                  static_cast<unsigned>(classKey), static_cast<unsigned>(fieldKey));
    throw std::invalid_argument(text);
  }
  const FieldValue& v = impl.fields[i];
  return tzplatform::codec::IsList(impl.kind->fields[i].kind) ? ListHoldsValue(v) : v.set;
}

void CNMessageBase::clearunknown() {
  Impl& impl = Checked(impl_, "clearunknown");
  // Swapped out rather than cleared, so that their memory goes too.
  std::vector<std::pair<std::string, std::string>>().swap(impl.extraAttributes);
  std::vector<std::string>().swap(impl.extraChildren);
}

void CNMessageBase::serialize(std::string& out, bool pretty) const {
  if (!impl_) throw std::logic_error("CNMessageBase::serialize: the record was moved from");
  out.clear();
  tzplatform::codec::WriteRecord(out, *impl_, pretty);
}
