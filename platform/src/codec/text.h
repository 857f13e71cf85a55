// Small text rules shared by the decoder and the writer.
#ifndef TZPLATFORM_SRC_CODEC_TEXT_H_
#define TZPLATFORM_SRC_CODEC_TEXT_H_

#include <string>

#include <pugixml.hpp>

namespace tzplatform {
namespace codec {

// The value of the attribute, named after a list, that marks the list as set
// but empty.
constexpr const char kEmptyListMark[] = "0";

// Whether two names are equal; names are short, so a plain loop beats a
// call to strcmp.
inline bool SameName(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    ++a;
    ++b;
  }
  return *a == *b;
}

inline bool IsBlankChar(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Text made only of blanks between the child elements of a record: layout,
// not content.
inline bool IsBlankText(pugi::xml_node node, pugi::xml_node_type type) {
  if (type != pugi::node_pcdata) return false;
  for (const char* text = node.value(); *text != '\0'; ++text) {
    if (!IsBlankChar(*text)) return false;
  }
  return true;
}

// Appends the XML text of a node the schema does not know, as pugixml writes
// it. pugixml leaves a carriage return in text as it is, and a parser reads
// it back as a line feed, so it is written as a character reference instead.
void AppendNodeText(pugi::xml_node node, std::string& out);

}  // namespace codec
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_CODEC_TEXT_H_
