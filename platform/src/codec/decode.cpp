// Decoding of one message record from untrusted XML text.
//
// pugixml parses without recursion and never expands DTD entities; on top of
// that a document type declaration is refused outright. One walk checks the
// whole document and fills the records from it, so that nothing is read
// twice and the document is gone when decoding returns. Every walk is
// bounded: known records nest only as deep as the schema allows, and an
// unknown element is measured without recursion.
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include <pugixml.hpp>

#include "codec/message.h"
#include "codec/schema.h"
#include "codec/text.h"
#include "tzplatform/codec.h"

namespace tzplatform {
namespace codec {
namespace {

bool ParseInt64(const char* text, int64_t& value) {
  const char* end = text + std::strlen(text);
  auto res = std::from_chars(text, end, value, 10);
  return res.ec == std::errc() && res.ptr == end && res.ptr != text;
}

// pugixml parses in place: the name and the value of an element or an
// attribute point into the text parsed, each ended by a NUL written over the
// character after it, and a value follows its name. The bytes from a name to
// its value are then the text's own, and a name is compared with the schema's
// a word at a time where these bytes hold the whole name and its NUL.

// How many bytes from `name` on are known to be the text's own, given the
// `value` of the same node: none where the value may not be in the text (the
// empty value of an element without text is pugixml's own).
inline size_t KnownBytes(const char* name, const char* value) {
  uintptr_t from = reinterpret_cast<uintptr_t>(name);
  uintptr_t to = reinterpret_cast<uintptr_t>(value);
  return *value != '\0' && to > from ? to - from : 0;
}

// Whether `name` is the name of `def`, `known` bytes from `name` on being
// the text's own (see KnownBytes).
inline bool IsFieldName(const FieldDef& def, const char* name, size_t known) {
  // The first character also tells a name from the empty one of a node
  // that has none, which is pugixml's own and is not read further.
  if (name[0] != def.name[0]) return false;
  size_t bytes = def.nameLength + 1;
  if (kNameWords && bytes >= sizeof(uint64_t) && known >= bytes) {
    uint64_t head;
    uint64_t tail;
    std::memcpy(&head, name, sizeof head);
    std::memcpy(&tail, name + bytes - sizeof tail, sizeof tail);
    return head == def.nameHead && tail == def.nameTail;
  }
  return SameName(name, def.name);
}

// The field named `name`, trying the fields from `expected` on first: the
// writer puts fields in schema order, so in a message as it wrote it the
// field is `expected` or one soon after it (an attribute follows the fields
// that are lists, which are written as elements). `known` as IsFieldName
// takes it.
int FindFieldExpecting(const RecordKind& kind, const char* name, size_t known, int expected) {
  for (int i = expected; i < kind.fieldCount; ++i) {
    if (IsFieldName(kind.fields[i], name, known)) return i;
  }
  for (int i = 0; i < expected && i < kind.fieldCount; ++i) {
    if (IsFieldName(kind.fields[i], name, known)) return i;
  }
  return -1;
}

// pugixml's accessors are calls into its library. A node handle holds the
// node's address, or none past the last node: reading it here tells the end
// of a list of siblings without a call.
class NodeHandle : public pugi::xml_node {
 public:
  explicit NodeHandle(const pugi::xml_node& node) : pugi::xml_node(node) {}
  bool Empty() const { return _root == nullptr; }
};

// The type of `node`, node_null past the last node.
inline pugi::xml_node_type TypeOf(const pugi::xml_node& node) {
  return NodeHandle(node).Empty() ? pugi::node_null : node.type();
}

// One walk over a record element: checks everything, element records
// included, and fills the record from it; reports the first problem.
class Walker {
 public:
  Walker(const char* data, size_t size) : data_(data), size_(size) {}

  DecodeResult result;

  bool Walk(pugi::xml_node node, const RecordKind& kind, int depth, CNMessageBase::Impl& build) {
    if (depth > kMaxDecodeDepth) return TooDeep(node);
    bool seen[kMaxFields] = {};
    bool emptyMark[kMaxFields] = {};
    int expected = 0;
    for (pugi::xml_attribute attribute = node.first_attribute(); attribute;
         attribute = attribute.next_attribute()) {
      const char* name = attribute.name();
      const char* value = attribute.value();
      int i = FindFieldExpecting(kind, name, KnownBytes(name, value), expected);
      if (i < 0) {
        build.extraAttributes.emplace_back(name, value);
        continue;
      }
      if (seen[i]) {
        return Fail(std::string("duplicate attribute ") + name + " on <" + node.name() + ">", node);
      }
      seen[i] = true;
      expected = i + 1;
      const FieldDef& def = kind.fields[i];
      FieldValue& v = build.fields[i];
      switch (def.kind) {
        case FieldKind::kString:
          v.set = true;
          // Built afresh rather than assigned: the field is still empty.
          v.value.emplace<std::string>(value);
          break;
        case FieldKind::kInt64: {
          int64_t number = 0;
          if (!ParseInt64(value, number)) {
            return Fail(std::string("attribute ") + name + " of <" + node.name() +
                            "> is not a decimal 64-bit integer: \"" + value + "\"",
                        node);
          }
          v.set = true;
          std::get<int64_t>(v.value) = number;
          break;
        }
        case FieldKind::kStringList:
        case FieldKind::kObjectList:
          if (std::strcmp(value, kEmptyListMark) != 0) {
            return Fail(std::string("attribute ") + name + " of <" + node.name() +
                            "> marks an empty list and must be \"0\", not \"" + value + "\"",
                        node);
          }
          emptyMark[i] = true;
          v.set = true;
          break;
      }
    }

    // Text the record starts with is kept in the element itself; any text
    // after its first child is a node of its own, met below.
    const char* text = node.value();
    if (*text != '\0' && !IsBlank(text)) AppendText(text, build.extraChildren.emplace_back());

    expected = 0;
    // One type per node both ends the loop (node_null) and classifies the
    // node.
    pugi::xml_node child = node.first_child();
    pugi::xml_node_type type = TypeOf(child);
    while (type != pugi::node_null) {
      if (IsBlankText(child, type)) {
        child = child.next_sibling();
        type = TypeOf(child);
        continue;
      }
      const char* name = type == pugi::node_element ? child.name() : nullptr;
      int i = name != nullptr ? FindFieldExpecting(kind, name, 0, expected) : -1;
      if (i < 0 || !IsList(kind.fields[i].kind)) {
        if (!KeepUnknown(child, depth + 1, build)) return false;
        child = child.next_sibling();
        type = TypeOf(child);
        continue;
      }
      const FieldDef& def = kind.fields[i];
      if (emptyMark[i]) {
        return Fail(std::string("attribute ") + def.name + "=\"0\" of <" + node.name() +
                        "> marks an empty list, but the list has items",
                    child);
      }
      // The items of one list come one after another: the whole run is read
      // here, and the walk goes on after it.
      expected = i;
      FieldValue& v = build.fields[i];
      v.set = true;
      bool ok = def.kind == FieldKind::kStringList
                    ? ReadTexts(child, type, name, def, std::get<CNStringList>(v.value))
                    : ReadRecords(child, type, def, depth + 1, std::get<CNMessageList>(v.value));
      if (!ok) return false;
    }
    return true;
  }

  // Where a node starts in the text: pugixml knows where its name or value
  // starts, and markup begins at the '<' before that. An element's name
  // follows its '<' straight away; that '<' is not looked at, as a text
  // parsed in place may have the end of the text before it written there.
  ptrdiff_t Offset(pugi::xml_node node) const {
    ptrdiff_t offset = node.offset_debug();
    if (offset < 0 || static_cast<size_t>(offset) >= size_) return -1;
    pugi::xml_node_type type = node.type();
    if (type == pugi::node_pcdata) return offset;
    if (type == pugi::node_element) return offset > 0 ? offset - 1 : offset;
    ptrdiff_t start = offset;
    while (start > 0 && data_[start] != '<') --start;
    return data_[start] == '<' ? start : offset;
  }

  bool Fail(std::string text, pugi::xml_node node) { return Fail(std::move(text), Offset(node)); }

  bool Fail(std::string text, ptrdiff_t offset = -1) {
    result.ok = false;
    if (offset >= 0) {
      result.offset = static_cast<size_t>(offset);
      text += " (at offset " + std::to_string(offset) + ")";
    }
    result.error = std::move(text);
    return false;
  }

 private:
  bool TooDeep(pugi::xml_node node) {
    return Fail("elements nested deeper than " + std::to_string(kMaxDecodeDepth) + " levels", node);
  }

  // `node` or the first element among its following siblings.
  static pugi::xml_node ElementFrom(pugi::xml_node node) {
    while (node && node.type() != pugi::node_element) node = node.next_sibling();
    return node;
  }

  // The node after `item`, and whether it is another item of the list `def`
  // (its type is then in `type`; node_null past the last node).
  static bool NextItem(pugi::xml_node& item, pugi::xml_node_type& type, const FieldDef& def) {
    item = item.next_sibling();
    type = TypeOf(item);
    return type == pugi::node_element && IsFieldName(def, item.name(), 0);
  }

  // Reads the run of object-list items that starts at `item` into `items`;
  // on success `item` and `type` are the node after the run.
  bool ReadRecords(pugi::xml_node& item, pugi::xml_node_type& type, const FieldDef& def, int depth,
                   CNMessageList& items) {
    if (items.empty()) items.reserve(CountFrom(item));
    do {
      items.emplace_back(def.element->family, def.element->index);
      if (!Walk(item, *def.element, depth, *CNMessageAccess::ImplOf(items.back()))) return false;
    } while (NextItem(item, type, def));
    return true;
  }

  // Room for the items of a list from `first` on, so that the list is
  // allocated once: the following siblings, which are normally all items.
  static size_t CountFrom(pugi::xml_node first) {
    size_t count = 0;
    for (pugi::xml_node item = first; item; item = item.next_sibling()) ++count;
    return count;
  }

  // Reads the run of string-list items that starts at `item`, named `name`,
  // into `items`; on success `item` and `type` are the node after the run.
  // The room made for a new list is the length of the run read before: the
  // lists of one answer are mostly of one length, so this saves counting the
  // items first, and the room never exceeds the items of a run the text
  // really holds. Every item goes through here, so the common case makes as
  // few calls into pugixml as it can.
  bool ReadTexts(pugi::xml_node& item, pugi::xml_node_type& type, const char* name,
                 const FieldDef& def, CNStringList& items) {
    if (items.empty()) items.reserve(lastRun_);
    size_t before = items.size();
    // Text that starts one character after the name follows a start tag
    // that is the bare name: the item has no attribute to look for.
    const char* value = item.value();
    bool bare = KnownBytes(name, value) == def.nameLength + 1;
    for (;;) {
      if (!bare && HasAttribute(item)) return false;
      std::string& text = items.emplace_back(value);
      // The item's text is in the item itself, normally all of it: child
      // nodes follow only where a CDATA section or a comment splits the
      // text (the pieces are joined) or where an element is (refused).
      pugi::xml_node part = item.first_child();
      if (!NodeHandle(part).Empty() && !AppendParts(item, part, text)) return false;
      item = item.next_sibling();
      if (NodeHandle(item).Empty()) {
        type = pugi::node_null;
        break;
      }
      name = item.name();
      value = item.value();
      size_t known = KnownBytes(name, value);
      if (!IsFieldName(def, name, known)) {
        type = item.type();
        break;
      }
      bare = known == def.nameLength + 1;
      // Only elements have names that a field may have (the declaration's
      // is "xml", and processing instructions are not parsed).
      static_assert((kParseOptions & pugi::parse_pi) == 0, "an item may be an instruction");
      type = pugi::node_element;
    }
    lastRun_ = items.size() - before;
    return true;
  }

  // Whether the list item `item` has an attribute, which fails it. Kept out
  // of the loop above, which it would slow down.
  __attribute__((noinline)) bool HasAttribute(pugi::xml_node item) {
    pugi::xml_attribute attribute = item.first_attribute();
    if (!attribute) return false;
    Fail(std::string("list item <") + item.name() + "> has an attribute (" + attribute.name() +
             "); it may hold text only",
         item);
    return true;
  }

  // Appends the text of the children of the list item `item`, from `part`
  // on, to `text`.
  __attribute__((noinline)) bool AppendParts(pugi::xml_node item, pugi::xml_node part,
                                             std::string& text) {
    for (pugi::xml_node_type type = part.type(); type != pugi::node_null;
         part = part.next_sibling(), type = TypeOf(part)) {
      if (!IsText(item, part, type)) return false;
      text.append(part.value());
    }
    return true;
  }

  bool IsText(pugi::xml_node item, pugi::xml_node part, pugi::xml_node_type type) {
    if (type == pugi::node_pcdata || type == pugi::node_cdata) return true;
    return Fail(
        std::string("list item <") + item.name() + "> has a child element; it may hold text only",
        part);
  }

  // A node the schema does not know: checked without recursion against the
  // depth bound, and kept as its XML text.
  bool KeepUnknown(pugi::xml_node node, int depth, CNMessageBase::Impl& build) {
    if (node.type() == pugi::node_element && !WithinDepth(node, depth)) return false;
    AppendNodeText(node, build.extraChildren.emplace_back());
    return true;
  }

  bool WithinDepth(pugi::xml_node node, int depth) {
    pugi::xml_node current = node;
    int level = depth;
    for (;;) {
      if (level > kMaxDecodeDepth) return TooDeep(current);
      if (pugi::xml_node child = ElementFrom(current.first_child())) {
        current = child;
        ++level;
        continue;
      }
      // Nothing below: go on with the next element sibling, climbing up as
      // far as needed but never above `node`.
      while (current != node) {
        if (pugi::xml_node sibling = ElementFrom(current.next_sibling())) {
          current = sibling;
          break;
        }
        current = current.parent();
        --level;
      }
      if (current == node) return true;
    }
  }

  const char* data_;
  size_t size_;
  size_t lastRun_ = 1;
};

// Decodes `size` bytes at `data`; pugixml parses a copy of them, or parses
// them in place when `writable` is `data` itself, which is then followed by
// a NUL (a string's own).
DecodeResult Decode(const char* data, size_t size, char* writable,
                    std::unique_ptr<CNMessageBase>& out) {
  out.reset();
  if (data == nullptr) size = 0;
  Walker walker(data, size);
  DecodeResult& result = walker.result;
  try {
    size_t firstNonBlank = 0;
    while (firstNonBlank < size && IsBlankChar(data[firstNonBlank])) ++firstNonBlank;
    if (firstNonBlank == size) {
      walker.Fail("empty message: no XML text");
      return result;
    }
    // pugixml stops at a NUL byte and would silently drop what follows.
    if (const void* nul = std::memchr(data, '\0', size)) {
      result.offset = static_cast<size_t>(static_cast<const char*>(nul) - data);
      result.error = "not well-formed XML at offset " + std::to_string(result.offset) +
                     ": NUL byte in the text";
      return result;
    }

    pugi::xml_document document;
    pugi::xml_parse_result parsed =
        writable != nullptr
            // With the NUL after the text, as pugixml lays out a copy it
            // makes: the end of the text then reads the same either way.
            ? document.load_buffer_inplace(writable, size + 1, kParseOptions, pugi::encoding_utf8)
            : document.load_buffer(data, size, kParseOptions, pugi::encoding_utf8);
    if (!parsed) {
      result.offset = static_cast<size_t>(parsed.offset);
      result.error = "not well-formed XML at offset " + std::to_string(parsed.offset) + ": " +
                     parsed.description();
      return result;
    }

    pugi::xml_node root;
    for (pugi::xml_node node = document.first_child(); node; node = node.next_sibling()) {
      switch (node.type()) {
        case pugi::node_declaration:
          if (node != document.first_child()) {
            walker.Fail("XML declaration after the start of the text", node);
            return result;
          }
          break;
        case pugi::node_doctype:
          walker.Fail("document type declarations are not accepted", node);
          return result;
        case pugi::node_element:
          if (root) {
            walker.Fail(std::string("more than one root element: <") + node.name() + "> after <" +
                            root.name() + ">",
                        node);
            return result;
          }
          root = node;
          break;
        default:
          walker.Fail("text outside the record element", node);
          return result;
      }
    }
    if (!root) {
      walker.Fail("no record element in the text");
      return result;
    }
    const RecordKind* kind = FindKindByName(root.name());
    if (kind == nullptr) {
      walker.Fail(std::string("unknown record <") + root.name() + ">");
      return result;
    }
    if (!IsFamilyRegistered(kind->family)) {
      walker.Fail(std::string("record kind ") + kind->name + " is not registered");
      return result;
    }
    auto message = std::make_unique<CNMessageBase>(kind->family, kind->index);
    if (!walker.Walk(root, *kind, 1, *CNMessageAccess::ImplOf(*message))) return result;
    out = std::move(message);
    result = DecodeResult();
    result.ok = true;
    return result;
  } catch (const std::bad_alloc&) {
    out.reset();
    result = DecodeResult();
    result.error = "out of memory while decoding the message";
    return result;
  }
}

}  // namespace

}  // namespace codec

DecodeResult DecodeMessage(const char* data, size_t size, std::unique_ptr<CNMessageBase>& out) {
  return codec::Decode(data, size, nullptr, out);
}

DecodeResult DecodeMessage(const std::string& text, std::unique_ptr<CNMessageBase>& out) {
  return codec::Decode(text.data(), text.size(), nullptr, out);
}

DecodeResult DecodeMessage(std::string&& text, std::unique_ptr<CNMessageBase>& out) {
  // Taken over, so that the text's memory goes with the parsed document.
  std::string own = std::move(text);
  text.clear();
  return codec::Decode(own.data(), own.size(), own.data(), out);
}

}  // namespace tzplatform
