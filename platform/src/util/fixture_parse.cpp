// Parsing of fixture text.
#include "tzplatform/fixture.h"

namespace tzplatform {

nlohmann::json ParseFixture(const std::string& text) {
  try {
    nlohmann::json fixture = nlohmann::json::parse(text);
    if (!fixture.is_object()) throw FixtureError("fixture: the top level must be a JSON object");
    return fixture;
  } catch (const nlohmann::json::parse_error& e) {
    // e.byte is the offset of the problem; turn it into a line and column.
    size_t line = 1, column = 1;
    for (size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) {
      if (text[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    throw FixtureError("fixture: not valid JSON at line " + std::to_string(line) + ", column " +
                       std::to_string(column) + ": " + e.what());
  }
}

}  // namespace tzplatform
