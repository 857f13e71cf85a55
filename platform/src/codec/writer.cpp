// Writing records as XML text, straight into the output string.
#include <array>
#include <charconv>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "codec/message.h"
#include "codec/schema.h"
#include "codec/text.h"

namespace tzplatform {
namespace codec {
namespace {

class AppendWriter : public pugi::xml_writer {
 public:
  explicit AppendWriter(std::string& out) : out_(out) {}
  void write(const void* data, size_t size) override {
    out_.append(static_cast<const char*>(data), size);
  }

 private:
  std::string& out_;
};

}  // namespace

namespace {

void PrintNode(pugi::xml_node node, std::string& out) {
  size_t start = out.size();
  AppendWriter writer(out);
  node.print(writer, "", pugi::format_raw, pugi::encoding_utf8);
  size_t cr = out.find('\r', start);
  if (cr == std::string::npos) return;
  std::string escaped;
  for (size_t i = cr; i < out.size(); ++i) {
    if (out[i] == '\r') {
      escaped += "&#13;";
    } else {
      escaped += out[i];
    }
  }
  out.replace(cr, std::string::npos, escaped);
}

}  // namespace

void AppendNodeText(pugi::xml_node node, std::string& out) {
  size_t start = out.size();
  PrintNode(node, out);
  // Inside an element, the parser drops text of blanks only that has a
  // neighbour and joins text split by a dropped comment. Text read from a
  // reference (&#9;) or split that way is therefore written in a form that
  // reads back as something else; the element is written as that reads back
  // instead, which reads back to itself.
  if (node.type() != pugi::node_element || !node.first_child()) return;
  pugi::xml_document again;
  if (!again.load_buffer(out.data() + start, out.size() - start, kParseOptions,
                         pugi::encoding_utf8)) {
    return;
  }
  out.resize(start);
  for (pugi::xml_node child = again.first_child(); child; child = child.next_sibling()) {
    PrintNode(child, out);
  }
}

void AppendText(const char* text, std::string& out) {
  // Rare (text where a record holds elements): written through a node of its
  // own, so that it is escaped exactly as the text nodes beside it are.
  pugi::xml_document holder;
  pugi::xml_node node = holder.append_child(pugi::node_pcdata);
  if (!node || !node.set_value(text)) throw std::bad_alloc();
  PrintNode(node, out);
}

namespace {

constexpr uint8_t kEscapedInText = 1;
constexpr uint8_t kEscapedInAttribute = 2;
constexpr uint8_t kEnd = 4;

// Tabs and line breaks in attribute values are written as character
// references, as a parser turns literal ones into blanks; a carriage return
// is one everywhere, as a parser turns it into a line feed.
constexpr std::array<uint8_t, 256> kCharClass = [] {
  std::array<uint8_t, 256> table{};
  table['\0'] = kEnd;
  table['&'] = table['<'] = table['>'] = table['\r'] = kEscapedInText;
  table['"'] = table['\t'] = table['\n'] = kEscapedInAttribute;
  return table;
}();

const char* Replacement(uint8_t c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\t':
      return "&#9;";
    case '\n':
      return "&#10;";
    default:
      return "&#13;";
  }
}

// Records nest only as deep as the schema allows (a list holds records of one
// kind, and no kind holds itself), so the recursion below stays shallow.
class XmlWriter {
 public:
  XmlWriter(std::string& out, bool pretty) : out_(out), pretty_(pretty) {}

  void Record(const CNMessageBase::Impl* r, const char* name, int depth) {
    if (r == nullptr) {  // a moved-from element left in a list
      Indent(depth);
      out_ += '<';
      out_ += name;
      out_ += "/>";
      Newline();
      return;
    }
    Fields(*r, name, depth);
  }

 private:
  // Known fields in schema order (an empty list that is set as an attribute
  // named after the list), then unknown attributes; list items in schema
  // order, then unknown child nodes.
  void Fields(const CNMessageBase::Impl& r, const char* name, int depth) {
    Indent(depth);
    out_ += '<';
    out_ += name;
    const RecordKind& kind = *r.kind;
    bool hasChildren = !r.extraChildren.empty();
    for (int i = 0; i < kind.fieldCount; ++i) {
      const FieldDef& def = kind.fields[i];
      const FieldValue& v = r.fields[i];
      const std::string_view fieldName(def.name, def.nameLength);
      switch (def.kind) {
        case FieldKind::kString:
          if (v.set) Attribute(fieldName, std::get<std::string>(v.value));
          break;
        case FieldKind::kInt64:
          if (v.set) {
            char digits[24];
            auto res = std::to_chars(digits, digits + sizeof digits, std::get<int64_t>(v.value));
            Attribute(fieldName, std::string_view(digits, res.ptr - digits));
          }
          break;
        case FieldKind::kStringList:
        case FieldKind::kObjectList: {
          bool empty = def.kind == FieldKind::kStringList
                           ? std::get<CNStringList>(v.value).empty()
                           : std::get<CNMessageList>(v.value).empty();
          if (!empty) {
            hasChildren = true;
          } else if (v.set) {
            Attribute(fieldName, kEmptyListMark);
          }
          break;
        }
      }
    }
    for (const auto& attribute : r.extraAttributes) Attribute(attribute.first, attribute.second);
    if (!hasChildren) {
      out_ += "/>";
      Newline();
      return;
    }
    out_ += '>';
    Newline();
    for (int i = 0; i < kind.fieldCount; ++i) {
      const FieldDef& def = kind.fields[i];
      if (def.kind == FieldKind::kStringList) {
        for (const std::string& item : std::get<CNStringList>(r.fields[i].value)) {
          OpenItem(def, depth + 1, item.empty());
          if (!item.empty()) {
            Escaped(item.data(), item.data() + item.size(), false);
            CloseItem(def);
          }
        }
      } else if (def.kind == FieldKind::kObjectList) {
        for (const CNMessageBase& item : std::get<CNMessageList>(r.fields[i].value)) {
          Record(CNMessageAccess::ImplOf(item), def.name, depth + 1);
        }
      }
    }
    for (const std::string& child : r.extraChildren) {
      Indent(depth + 1);
      out_ += child;
      Newline();
    }
    CloseTag(name, depth);
  }

  void Indent(int depth) {
    if (pretty_) out_.append(static_cast<size_t>(depth) * 2, ' ');
  }
  void Newline() {
    if (pretty_) out_ += '\n';
  }

  // String-list items are the bulk of a large answer: their tags are made
  // once per list and appended whole.
  void UseTags(const FieldDef& def) {
    if (tagsFor_ == &def) return;
    tagsFor_ = &def;
    openTag_.assign(1, '<').append(def.name).append(1, '>');
    closeTag_.assign("</").append(def.name).append(1, '>');
  }
  void OpenItem(const FieldDef& def, int depth, bool empty) {
    UseTags(def);
    Indent(depth);
    if (empty) {
      out_.append(openTag_, 0, openTag_.size() - 1);
      out_ += "/>";
      Newline();
    } else {
      out_ += openTag_;
    }
  }
  void CloseItem(const FieldDef& def) {
    UseTags(def);
    out_ += closeTag_;
    Newline();
  }
  void CloseTag(const char* name, int depth) {
    Indent(depth);
    out_ += "</";
    out_ += name;
    out_ += '>';
    Newline();
  }

  void Attribute(std::string_view name, std::string_view value) {
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    Escaped(value.data(), value.data() + value.size(), true);
    out_ += '"';
  }
  void Attribute(const char* name, const char* value) {
    out_ += ' ';
    out_ += name;
    out_ += "=\"";
    Escaped(value, nullptr, true);
    out_ += '"';
  }

  // Appends the text from `text` to `end`, or to its NUL when `end` is null,
  // with the characters escaped that the context needs.
  void Escaped(const char* text, const char* end, bool attribute) {
    const uint8_t stop = kEscapedInText | (attribute ? kEscapedInAttribute : 0) | kEnd;
    const char* run = text;
    for (const char* p = text;; ++p) {
      if (p == end) {
        out_.append(run, p - run);
        return;
      }
      uint8_t c = static_cast<uint8_t>(*p);
      if ((kCharClass[c] & stop) == 0) continue;
      if (c == '\0' && end == nullptr) {
        out_.append(run, p - run);
        return;
      }
      if (c == '\0') continue;  // an embedded NUL of a std::string
      out_.append(run, p - run);
      out_ += Replacement(c);
      run = p + 1;
    }
  }

  std::string& out_;
  bool pretty_;
  const FieldDef* tagsFor_ = nullptr;
  std::string openTag_;
  std::string closeTag_;
};

}  // namespace

void WriteRecord(std::string& out, const CNMessageBase::Impl& record, bool pretty) {
  XmlWriter(out, pretty).Record(&record, record.kind->name, 0);
}

}  // namespace codec
}  // namespace tzplatform
