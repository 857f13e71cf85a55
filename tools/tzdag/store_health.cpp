#include "store_health.h"

#include <filesystem>

#include <tzplatform/settings.h>
#include <tzplatform/store.h>

namespace tzdag_tool {

StoreHealth CheckStoreHealth() {
  StoreHealth health;
  const std::string path = tzplatform::StorePath();
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(path, error);
  health.path = error ? path : absolute.lexically_normal().string();
  health.problems = tzplatform::StoreIntegrityProblems(path);
  health.exposed = tzplatform::ExposedStoreFolders(path);
  return health;
}

std::string ShellWord(const std::string& text) {
  std::string word = "'";
  for (char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  return word + "'";
}

std::vector<std::string> RecoveryCommands(const std::string& path) {
  const std::string store = ShellWord(path);
  const std::string recovered = ShellWord(path + ".recovered");
  // Debian's sqlite3 is built without the page table that .recover needs;
  // .dump reads what it can, but ends a damaged store's text in ROLLBACK,
  // which would undo all of it. It reads through the write-ahead log, so the
  // damaged store's log files go with it.
  return {"rm -f " + recovered + " && sqlite3 " + store +
              " .dump | sed '$s/^ROLLBACK; -- due to errors$/COMMIT;/' | sqlite3 " + recovered,
          "tzdag --store " + recovered + " check-store",
          "mv " + store + " " + ShellWord(path + ".damaged") + " && rm -f " +
              ShellWord(path + "-wal") + " " + ShellWord(path + "-shm") + " && mv " + recovered +
              " " + store};
}

}  // namespace tzdag_tool
