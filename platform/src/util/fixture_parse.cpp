// Parsing of fixture text.
#include <set>
#include <string>
#include <vector>

#include "tzplatform/fixture.h"

namespace tzplatform {
namespace {

using json = nlohmann::json;

// Follows the parser through the text, so that a problem the JSON grammar
// allows (a repeated key, a NUL character in a text, a number too large for
// any type) is named by its place, as the section checks name theirs:
// "store.clients[2].id".
class PlaceTracker {
 public:
  bool operator()(int /*depth*/, json::parse_event_t event, json& parsed) {
    switch (event) {
      case json::parse_event_t::object_start:
        frames_.push_back(Frame{false, 0, std::string(), {}});
        break;
      case json::parse_event_t::array_start:
        frames_.push_back(Frame{true, 0, std::string(), {}});
        break;
      case json::parse_event_t::key: {
        Frame& frame = frames_.back();
        frame.key = parsed.get<std::string>();
        if (frame.key.find('\0') != std::string::npos) {
          Fail("a key holds a NUL character");
        }
        // The parser keeps the last of repeated keys; a fixture that says
        // two things about one key is refused instead.
        if (!frame.keys.insert(frame.key).second) Fail("duplicate key");
        break;
      }
      case json::parse_event_t::value:
        if (parsed.is_string() &&
            parsed.get_ref<const std::string&>().find('\0') != std::string::npos) {
          // The store keeps such a text whole while names derived from it
          // (a host folder, a command line) end at the NUL.
          Fail("holds a NUL character");
        }
        Advance();
        break;
      case json::parse_event_t::object_end:
      case json::parse_event_t::array_end:
        frames_.pop_back();
        Advance();
        break;
    }
    return true;
  }

  // The place the parser is at: the key or the index last reached.
  std::string Place() const {
    std::string place;
    for (const Frame& frame : frames_) {
      if (frame.array) {
        place += "[" + std::to_string(frame.index) + "]";
      } else if (!frame.key.empty() || !frame.keys.empty()) {
        place += (place.empty() ? "" : ".") + frame.key;
      }
    }
    return place.empty() ? "fixture" : place;
  }

 private:
  struct Frame {
    bool array;
    size_t index;     // of the element being read, in an array
    std::string key;  // last key read, in an object
    std::set<std::string> keys;
  };

  // A value of the innermost array is complete: the next one has the next index.
  void Advance() {
    if (!frames_.empty() && frames_.back().array) ++frames_.back().index;
  }

  [[noreturn]] void Fail(const std::string& what) const {
    throw FixtureError(Place() + ": " + what);
  }

  std::vector<Frame> frames_;
};

}  // namespace

nlohmann::json ParseFixture(const std::string& text) {
  PlaceTracker tracker;
  try {
    nlohmann::json fixture =
        nlohmann::json::parse(text, [&tracker](int depth, json::parse_event_t event, json& parsed) {
          return tracker(depth, event, parsed);
        });
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
  } catch (const nlohmann::json::out_of_range&) {
    // A number beyond every type (1e400); the parser names no place itself.
    throw FixtureError(tracker.Place() + ": number out of range");
  }
}

}  // namespace tzplatform
