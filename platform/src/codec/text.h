// Small text rules shared by the decoder and the writer.
#ifndef TZPLATFORM_SRC_CODEC_TEXT_H_
#define TZPLATFORM_SRC_CODEC_TEXT_H_

#include <pugixml.hpp>

namespace tzplatform {
namespace codec {

// The value of the attribute, named after a list, that marks the list as set
// but empty.
constexpr const char kEmptyListMark[] = "0";

inline bool IsBlankChar(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Text made only of blanks between the child elements of a record: layout,
// not content.
inline bool IsBlankText(pugi::xml_node node) {
  if (node.type() != pugi::node_pcdata) return false;
  for (const char* text = node.value(); *text != '\0'; ++text) {
    if (!IsBlankChar(*text)) return false;
  }
  return true;
}

}  // namespace codec
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_CODEC_TEXT_H_
