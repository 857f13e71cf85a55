// Fixtures: JSON descriptions of a configuration store and a remote root,
// as `tzdag init` and the tests use them.
//
// {"store": {"clients": [...], "subclients": [...]},
//  "remote": {"hosts": [...], "dags": [...], "failures": {...}}}
#ifndef TZPLATFORM_FIXTURE_H_
#define TZPLATFORM_FIXTURE_H_

#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "tzplatform/export.h"

namespace tzplatform {

// A fixture that cannot be loaded. what() names the place, for example
// "store.clients[2].id: duplicate id 3".
class TZPLATFORM_API FixtureError : public std::runtime_error {
 public:
  explicit FixtureError(const std::string& what) : std::runtime_error(what) {}
};

// Parses fixture text; a syntax error is a FixtureError naming line and column.
TZPLATFORM_API nlohmann::json ParseFixture(const std::string& text);

// Creates a new store at `storePath` from the "store" section. The store is
// built beside the target and moved into place only when complete, so a
// failure leaves no store behind. An existing file at storePath is an error.
TZPLATFORM_API void CreateStoreFromFixture(const nlohmann::json& storeSection,
                                           const std::string& storePath);

// Creates the remote root `rootDir` from the "remote" section: dag.json, and
// one folder per listed host holding a copy of `simulatorPath` as
// PshimProxy.exe. Built beside the target and moved into place only when
// complete. An existing rootDir is an error.
TZPLATFORM_API void CreateRemoteRootFromFixture(const nlohmann::json& remoteSection,
                                                const std::string& rootDir,
                                                const std::string& simulatorPath);

}  // namespace tzplatform

#endif  // TZPLATFORM_FIXTURE_H_
