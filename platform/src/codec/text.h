// Small text rules shared by the decoder and the writer.
#ifndef TZPLATFORM_SRC_CODEC_TEXT_H_
#define TZPLATFORM_SRC_CODEC_TEXT_H_

#include <cstring>
#include <string>

#include <pugixml.hpp>

namespace tzplatform {
namespace codec {

// How message text is parsed. parse_fragment keeps text outside the root
// element as nodes so that it can be refused; parse_doctype keeps the DOCTYPE
// so that it can be refused; parse_ws_pcdata_single keeps a list item that is
// only blanks. parse_embed_pcdata keeps the text an element starts with in
// the element itself (its value) rather than in a child node: a list item is
// then one node, which halves the nodes of an answer to build and to walk.
constexpr unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                   pugi::parse_wconv_attribute | pugi::parse_declaration |
                                   pugi::parse_doctype | pugi::parse_fragment |
                                   pugi::parse_ws_pcdata_single | pugi::parse_embed_pcdata;

// The value of the attribute, named after a list, that marks the list as set
// but empty.
constexpr const char kEmptyListMark[] = "0";

// Whether two names are equal. The C library's comparison reads several
// bytes at a time, which matters when every list item's name is compared.
inline bool SameName(const char* a, const char* b) {
  return std::strcmp(a, b) == 0;
}

inline bool IsBlankChar(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline bool IsBlank(const char* text) {
  for (; *text != '\0'; ++text) {
    if (!IsBlankChar(*text)) return false;
  }
  return true;
}

// Text made only of blanks between the child elements of a record: layout,
// not content.
inline bool IsBlankText(pugi::xml_node node, pugi::xml_node_type type) {
  return type == pugi::node_pcdata && IsBlank(node.value());
}

// Appends the XML text of a node the schema does not know, as pugixml writes
// it. pugixml leaves a carriage return in text as it is, and a parser reads
// it back as a line feed, so it is written as a character reference instead.
// The text is always one that reads back to the same text.
void AppendNodeText(pugi::xml_node node, std::string& out);

// Appends `text` as AppendNodeText writes a text node holding it.
void AppendText(const char* text, std::string& out);

}  // namespace codec
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_CODEC_TEXT_H_
