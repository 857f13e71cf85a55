// The safety rail of the commands that update subclients: how much of a
// subclient's content one update may remove.
#ifndef TZDAG_TOOL_REMOVAL_OPTION_H_
#define TZDAG_TOOL_REMOVAL_OPTION_H_

#include <cstddef>
#include <string>

#include <CLI/CLI.hpp>

#include "tzdag/TzDagApi.h"

namespace tzdag_tool {

// --max-removal PERCENT (0 to 100, default 20) and --allow-removal, which
// exclude each other.
class RemovalOptions {
 public:
  void Add(CLI::App* app);
  // Options for the library with the rail set as given.
  _tagSyncOptions SyncOptions() const;
  // What lets through an update that would remove `removed` of `before`
  // content entries: "--allow-removal, or --max-removal 34, lets it through".
  static std::string HowToAllow(size_t removed, size_t before);

 private:
  unsigned maxPercent_ = kDefaultMaxRemovalPercent;
  bool allow_ = false;
};

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_REMOVAL_OPTION_H_
