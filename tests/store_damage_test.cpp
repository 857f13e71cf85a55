// A store with flipped bits, through the real binary: whatever SQLite finds
// damaged is never written to, and nothing crashes.
#include <sqlite3.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "store_support.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag_runner.h"

namespace {

namespace fs = std::filesystem;

// Whether SQLite's integrity check passes on the store `bytes` (written to a
// scratch file of its own, so that the file under test is not touched).
bool PassesIntegrityCheck(const std::string& bytes) {
  tztest::TempDir scratch;
  const std::string path = scratch.File("check.db");
  tztest::WriteFile(path, bytes);
  sqlite3* db = nullptr;
  bool ok = false;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(check, 0);
      ok = text != nullptr && std::string(reinterpret_cast<const char*>(text)) == "ok" &&
           sqlite3_step(check) == SQLITE_DONE;
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  return ok;
}

uint32_t Big32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Whether the write-ahead log `wal` holds a commit frame of its own run: a
// frame whose "size after commit" is set and whose salts are the header's.
bool WalHoldsACommit(const std::string& wal) {
  if (wal.size() < 32) return false;
  const uint32_t pageSize = Big32(wal, 8);
  if (pageSize < 512 || pageSize > 65536) return false;
  for (size_t frame = 32; frame + 24 + pageSize <= wal.size(); frame += 24 + pageSize) {
    if (Big32(wal, frame + 8) != Big32(wal, 16) || Big32(wal, frame + 12) != Big32(wal, 20)) {
      return false;
    }
    if (Big32(wal, frame + 4) != 0) return true;
  }
  return false;
}

bool Crashed(const tztest::ToolRun& run) {
  return run.exitCode < 0 || run.exitCode > 3 || run.err.find("Sanitizer") != std::string::npos ||
         run.err.find("runtime error") != std::string::npos;
}

// TZ_FLIP_ROUNDS raises the number of stores tried (each takes a read
// command and an update, about a second under the sanitizers).
int Rounds() {
  const char* rounds = std::getenv("TZ_FLIP_ROUNDS");
  return rounds != nullptr && *rounds != '\0' ? std::atoi(rounds) : 40;
}

// One bit flipped in the demo store, a different one each round (from a
// fixed seed, so that a failure can be repeated): `servers` and
// `update-subclient` end normally, and the update commits only on a store
// that passes SQLite's integrity check.
TEST(StoreDamage, AFlippedBitIsNeverWrittenOverAndNeverCrashes) {
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string store = env.storePath();
  const std::string pristine = tztest::ReadFile(store);
  ASSERT_FALSE(pristine.empty());
  std::mt19937_64 random(20261208);
  int damaged = 0;
  int committedSound = 0;
  for (int round = 0; round < Rounds(); ++round) {
    // Most of a small store's pages are free space, where a flip changes
    // nothing SQLite reads: three rounds in four flip a byte that holds
    // something (not zero).
    size_t byte = random() % pristine.size();
    while (round % 4 != 0 && pristine[byte] == 0) byte = random() % pristine.size();
    const int bit = static_cast<int>(random() % 8);
    std::string flipped = pristine;
    flipped[byte] = static_cast<char>(flipped[byte] ^ (1 << bit));
    SCOPED_TRACE("round " + std::to_string(round) + ", byte " + std::to_string(byte) + ", bit " +
                 std::to_string(bit));
    for (const char* side : {"-wal", "-shm", "-journal"}) fs::remove(store + side);
    tztest::WriteFile(store, flipped, 0600);
    const bool sound = PassesIntegrityCheck(flipped);
    damaged += sound ? 0 : 1;

    const tztest::ToolRun read = tztest::RunTzdagIn(env, {"servers", "--client", "2"});
    EXPECT_FALSE(Crashed(read)) << read.exitCode << read.err;
    const tztest::ToolRun update = tztest::RunTzdagIn(
        env,
        {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11", "--allow-removal"});
    EXPECT_FALSE(Crashed(update)) << update.exitCode << update.err;
    const bool committed =
        tztest::ReadFile(store) != flipped || WalHoldsACommit(tztest::ReadFile(store + "-wal"));
    committedSound += sound && committed ? 1 : 0;
    if (!sound) {
      EXPECT_FALSE(committed) << "an update committed on a store failing the integrity check; "
                              << "exit " << update.exitCode << "\n"
                              << update.out << update.err;
    }
  }
  // The seed reaches damage SQLite sees, and the update commits on a sound
  // store, so that the test tests something.
  EXPECT_GT(damaged, 0);
  EXPECT_GT(committedSound, 0);
}

// The commands check-store gives for a damaged store recover what it still
// holds, and put a store in its place that tzdag reads and writes (switched
// to write-ahead logging by the first writer).
TEST(StoreDamage, TheRecoveryCommandsGiveAStoreBack) {
  tztest::TestEnv env(tztest::DemoFixture());
  tztest::CorruptStore(env.storePath(), {{{"in", "event_arguments"}}});
  const tztest::Environment environment = {
      {"PATH", fs::path(tztest::TzdagPath()).parent_path().string() + ":" + std::getenv("PATH")},
      {"XDG_STATE_HOME", env.dir()},
      {"TZ_LOG_FILE", ""}};
  const tztest::ToolRun check = tztest::RunTzdagIn(env, {"--json", "check-store"}, environment);
  ASSERT_EQ(check.exitCode, 1) << check.out << check.err;
  const nlohmann::json answer = nlohmann::json::parse(check.out);
  ASSERT_EQ(answer["recovery"].size(), 3u) << check.out;
  for (const nlohmann::json& command : answer["recovery"]) {
    const tztest::ToolRun step = tztest::RunProgram("/bin/sh", {"-c", command}, "", environment);
    EXPECT_EQ(step.exitCode, 0) << command << "\n" << step.out << step.err;
  }
  EXPECT_EQ(tztest::RunTzdagIn(env, {"check-store"}, environment).exitCode, 0);
  EXPECT_EQ(tztest::RunTzdagIn(env, {"servers", "--client", "2"}, environment).out,
            "SERVER\n------\nMBX01\nMBX02\n");
  const tztest::ToolRun update = tztest::RunTzdagIn(
      env, {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11", "--allow-removal"},
      environment);
  EXPECT_EQ(update.exitCode, 0) << update.err;
  EXPECT_EQ(tztest::StoreSql(env.storePath(), "PRAGMA journal_mode"), "wal");
  EXPECT_TRUE(fs::exists(env.storePath() + ".damaged"));
}

}  // namespace
