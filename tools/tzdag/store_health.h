// What tzdag says of the configuration store itself (`check-store`, and the
// doctor's first findings): whether SQLite finds it sound, how to recover a
// damaged one, and which of its folders other users may write.
#ifndef TZDAG_TOOL_STORE_HEALTH_H_
#define TZDAG_TOOL_STORE_HEALTH_H_

#include <string>
#include <vector>

#include <tzplatform/store.h>

namespace tzdag_tool {

struct StoreHealth {
  std::string path;                   // the store, as an absolute path
  std::vector<std::string> problems;  // what SQLite's integrity check found; empty: sound
  std::vector<tzplatform::ExposedFolder> exposed;  // folders other users may write
};

// The health of the store the platform uses (StorePath()). Reads only. A
// store that is missing or no store at all is a tzplatform::StoreError.
StoreHealth CheckStoreHealth();

// The shell commands that recover what the damaged store at `path` still
// holds into a new file, check it, and put it in the damaged one's place.
std::vector<std::string> RecoveryCommands(const std::string& path);

// `text` as one word of a POSIX shell command line.
std::string ShellWord(const std::string& text);

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_STORE_HEALTH_H_
