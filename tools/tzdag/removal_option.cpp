#include "removal_option.h"

namespace tzdag_tool {

void RemovalOptions::Add(CLI::App* app) {
  CLI::Option* max =
      app->add_option("--max-removal", maxPercent_,
                      "hold back an update that would remove more than this share of a "
                      "subclient's databases (default " +
                          std::to_string(kDefaultMaxRemovalPercent) + ")")
          ->check(CLI::Range(0, 100))
          ->type_name("PERCENT");
  CLI::Option* allow =
      app->add_flag("--allow-removal", allow_, "make updates whatever share they remove");
  max->excludes(allow);
}

_tagSyncOptions RemovalOptions::SyncOptions() const {
  _tagSyncOptions options;
  options.maxRemovalPercent = maxPercent_;
  options.allowRemoval = allow_;
  return options;
}

std::string RemovalOptions::HowToAllow(size_t removed, size_t before) {
  std::string text = "--allow-removal";
  if (before > 0) {
    // The least whole percentage that is not exceeded.
    const size_t least = (removed * 100 + before - 1) / before;
    text += ", or --max-removal " + std::to_string(least) + ",";
  }
  return text + " lets it through";
}

}  // namespace tzdag_tool
