#include "util/one_line.h"

#include <cstdio>

namespace tzplatform {
namespace detail {

size_t Utf8SequenceAt(const std::string& text, size_t at, unsigned& code) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    if (at + i >= text.size()) return 0;
    const unsigned char next = static_cast<unsigned char>(text[at + i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    code = (code << 6) | (next & 0x3Fu);
  }
  return length;
}

std::string OneLine(const std::string& text) {
  std::string line;
  line.reserve(text.size());
  char escaped[8];
  for (size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t') || c == 0x7F) {
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        line += escaped;
      } else {
        line += static_cast<char>(c);
      }
      ++at;
      continue;
    }
    unsigned code = 0;
    const size_t length = Utf8SequenceAt(text, at, code);
    if (length == 0) {
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      line += escaped;
      ++at;
    } else if (code <= 0x9F || code == 0x2028 || code == 0x2029) {
      std::snprintf(escaped, sizeof escaped, "\\u%04X", code);
      line += escaped;
      at += length;
    } else {
      line.append(text, at, length);
      at += length;
    }
  }
  return line;
}

std::string ShortLine(const std::string& text, size_t longest) {
  if (text.size() <= longest) return OneLine(text);
  size_t cut = longest;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return OneLine(text.substr(0, cut)) + "...";
}

}  // namespace detail
}  // namespace tzplatform
