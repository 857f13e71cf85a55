// The store lock: who holds it is told to whoever finds it taken, a lock of
// a killed process never blocks, a lock file that is not the user's own is
// refused, and tzdag's writing commands take it for their whole run.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <sstream>
#include <thread>

#include "log_lines.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag_runner.h"
#include "tzplatform/store_lock.h"

namespace {

using tzplatform::StoreBusy;
using tzplatform::StoreError;
using tzplatform::StoreLock;
using tzplatform::StoreLockWait;

// A process of its own that holds the lock of `store` until it is released
// or killed; with `fileText`, writes that into the lock file once it holds it.
class Holder {
 public:
  Holder(const std::string& store, const std::string& what,
         const std::optional<std::string>& fileText = std::nullopt) {
    int ready[2], release[2];
    EXPECT_EQ(pipe(ready), 0);
    EXPECT_EQ(pipe(release), 0);
    pid_ = fork();
    if (pid_ == 0) {
      close(ready[0]);
      close(release[1]);
      try {
        StoreLock lock(store, what);
        if (fileText) tztest::WriteFile(StoreLock::LockPath(store), *fileText, 0600);
        char byte = 'l';
        if (write(ready[1], &byte, 1) != 1) _exit(3);
        while (read(release[0], &byte, 1) < 0 && errno == EINTR) {
        }
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    release_ = release[1];
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1) << "the holder did not take the lock";
    close(ready[0]);
  }
  ~Holder() {
    Release();
    if (pid_ > 0) kill(pid_, SIGKILL);
    Reap();
  }
  pid_t pid() const { return pid_; }
  void Release() {
    if (release_ >= 0) close(release_);
    release_ = -1;
  }
  void Kill() {
    kill(pid_, SIGKILL);
    Reap();
  }

 private:
  void Reap() {
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t pid_ = -1;
  int release_ = -1;
};

std::string BusyText(const std::string& store) {
  try {
    StoreLock lock(store, "second");
  } catch (const StoreBusy& e) {
    return e.what();
  }
  return "(taken)";
}

class StoreLockTest : public ::testing::Test {
 protected:
  tztest::TempDir dir_;
  std::string store_ = dir_.File("store.db");
};

TEST_F(StoreLockTest, TheSecondIsToldWhoHoldsItAndAKilledHoldersLockIsFree) {
  std::string busy;
  {
    Holder holder(store_, "tzdag sync --orbal 1 --all");
    busy = BusyText(store_);
    EXPECT_TRUE(tztest::LinesAre(
        {busy}, {"the configuration store " + store_ + " is in use by pid " +
                 std::to_string(holder.pid()) + " (tzdag sync --orbal 1 --all, since 2*)"}));
    holder.Kill();
    // Its file, still naming it, is left behind and blocks nothing.
    EXPECT_NE(tztest::ReadFile(StoreLock::LockPath(store_)).find("command tzdag sync"),
              std::string::npos);
    StoreLock mine(store_, "third");
  }
  // Released, it names nobody.
  EXPECT_EQ(tztest::ReadFile(StoreLock::LockPath(store_)), "");
  EXPECT_EQ(BusyText(store_), "(taken)");
}

TEST_F(StoreLockTest, AWaitEndsWhenTheHolderLetsGoOrWhenAskedToStop) {
  Holder holder(store_, "first");
  int told = 0;
  StoreLockWait how;
  how.wait = true;
  how.waiting = [&](const StoreBusy& busy) {
    ++told;
    EXPECT_EQ(busy.pid(), holder.pid());
    EXPECT_EQ(busy.holder(), "first");
  };
  int asked = 0;
  how.stop = [&] { return ++asked == 3; };
  EXPECT_THROW(StoreLock(store_, "stopped", how), StoreBusy);
  EXPECT_EQ(told, 1);
  how.stop = nullptr;
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.Release();
  });
  StoreLock lock(store_, "waited", how);
  release.join();
  EXPECT_EQ(told, 2);
  EXPECT_NE(tztest::ReadFile(StoreLock::LockPath(store_)).find("command waited\n"),
            std::string::npos);
}

TEST_F(StoreLockTest, ALockFileThatIsNotAPlainFileOfTheUsersIsRefused) {
  const std::string lockPath = StoreLock::LockPath(store_);
  struct Case {
    std::function<void()> plant;
    std::string why;
  };
  std::vector<Case> cases = {
      {[&] { std::filesystem::create_symlink(dir_.File("elsewhere"), lockPath); },
       "it is a symbolic link, which is not followed"},
      {[&] { std::filesystem::create_directory(lockPath); }, "it is not a regular file"},
      {[&] { ASSERT_EQ(mkfifo(lockPath.c_str(), 0600), 0); }, "it is not a regular file"},
  };
  if (geteuid() == 0) {
    cases.push_back({[&] {
                       tztest::WriteFile(store_, "", 0600);
                       tztest::WriteFile(lockPath, "pid 1\n", 0600);
                       ASSERT_EQ(chown(lockPath.c_str(), 65534, 65534), 0);
                     },
                     "it belongs to another user (uid 65534)"});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::filesystem::remove_all(lockPath);
    c.plant();
    try {
      StoreLock lock(store_, "x");
      ADD_FAILURE() << "taken";
    } catch (const StoreBusy& e) {
      ADD_FAILURE() << e.what();
    } catch (const StoreError& e) {
      EXPECT_EQ(std::string(e.what()),
                "cannot lock the configuration store " + store_ + ": " + lockPath + ": " + c.why);
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.File("elsewhere")));
  }
  std::filesystem::remove_all(lockPath);
  // Root's run on another user's store leaves the lock file to that user.
  if (geteuid() == 0) {
    ASSERT_EQ(chown(store_.c_str(), 65534, 65534), 0);
    { StoreLock lock(store_, "root"); }
    struct stat st {};
    ASSERT_EQ(stat(lockPath.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
  }
}

// Whatever the lock file holds, the text stays one line and names no pid
// it cannot read.
TEST_F(StoreLockTest, AHolderTextThatIsNotOneIsNotBelieved) {
  for (const auto& [text, want] : std::vector<std::pair<std::string, std::string>>{
           {"pid 12x\ncommand a\n", "another process"},
           {"", "another process"},
           {"pid 99\ncommand a\x1b[2Jb\nsince x\ty\n", "pid 99 (a\\x1B[2Jb, since x\ty)"},
           {"pid 99\n", "pid 99"}}) {
    SCOPED_TRACE(text);
    Holder holder(store_, "x", text);
    EXPECT_EQ(BusyText(store_), "the configuration store " + store_ + " is in use by " + want);
  }
}

// Two runs that change one store: the second is refused with who holds it
// (a real sync, the tool of which waits), or waits with --wait and then runs;
// one that only reads runs meanwhile.
TEST(ToolStoreLock, ASecondWriterIsRefusedOrWaitsWhileAReaderRuns) {
  tztest::TestEnv env(tztest::DemoFixture());
  const std::string go = env.dir() + "/go";
  for (const char* host : {"mbx02.corp.example", "mbx03.corp.example", "mbx04.corp.example"}) {
    env.InstallTool(host, "#!/bin/bash\nwhile [ ! -e " + go +
                              " ]; do sleep 0.05; done\nexec -a \"$0\" " + tztest::SimulatorPath() +
                              " \"$@\"\n");
  }
  std::vector<std::string> first = tztest::OptionsFor(env);
  for (const char* arg : {"sync", "--orbal", "1", "--all", "--allow-removal"}) first.push_back(arg);
  tztest::TzdagProcess sync(first);
  const std::string lockPath = env.storePath() + ".lock";
  for (int i = 0; i < 400 && tztest::ReadFile(lockPath).find("command") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const std::string holder = "pid " + std::to_string(sync.pid()) + " (tzdag --store " +
                             env.storePath() + " --remote-root " + env.remoteRoot() + " --log " +
                             env.dir() +
                             "/tool-log.txt sync --orbal 1 --all --allow-removal, since *)";
  const tztest::ToolRun refused =
      tztest::RunTzdagIn(env, {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11"});
  EXPECT_EQ(refused.exitCode, 1);
  EXPECT_EQ(refused.out, "");
  EXPECT_TRUE(tztest::LinesAre({refused.err.substr(0, refused.err.size() - 1)},
                               {"tzdag: the configuration store " + env.storePath() +
                                " is in use by " + holder + "; try again later or give --wait"}))
      << refused.err;
  EXPECT_EQ(tztest::RunTzdagIn(env, {"clients"}).exitCode, 0);

  std::vector<std::string> waiting = tztest::OptionsFor(env);
  for (const char* arg : {"--wait", "history", "--prune-before", "2000-01-01"}) {
    waiting.push_back(arg);
  }
  tztest::TzdagProcess second(waiting);
  const std::string log = env.dir() + "/tool-log.txt";
  for (int i = 0; i < 400 && tztest::ReadFile(log).find("tzdag: waiting") == std::string::npos;
       ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  tztest::WriteFile(go, "", 0600);
  const tztest::ToolRun synced = sync.Wait();
  // Circular logging found: warnings.
  EXPECT_EQ(synced.exitCode, 3) << synced.out << synced.err;
  const tztest::ToolRun waited = second.Wait();
  EXPECT_EQ(waited.exitCode, 0) << waited.err;
  EXPECT_TRUE(tztest::LinesAre(
      {waited.err.substr(0, waited.err.find('\n'))},
      {"tzdag: waiting: the configuration store " + env.storePath() + " is in use by " + holder}))
      << waited.err;
}

}  // namespace

namespace {

// A run stopped while its tool works says so last in the log, and its lock
// goes with it.
TEST(ToolStoreLock, ARunStoppedBySignalSaysSoAndLeavesTheStoreFree) {
  tztest::TestEnv env(tztest::DemoFixture());
  for (const char* host : {"mbx02.corp.example", "mbx03.corp.example", "mbx04.corp.example"}) {
    env.InstallTool(host, "#!/bin/sh\nexec sleep 60\n");
  }
  std::vector<std::string> args = tztest::OptionsFor(env);
  for (const char* arg : {"update-subclient", "--orbal", "1", "--client", "2", "--app", "11"}) {
    args.push_back(arg);
  }
  tztest::TzdagProcess run(args);
  const std::string lockPath = env.storePath() + ".lock";
  for (int i = 0; i < 400 && tztest::ReadFile(lockPath).find("command") == std::string::npos; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(kill(run.pid(), SIGTERM), 0);
  const tztest::ToolRun stopped = run.Wait();
  EXPECT_EQ(stopped.exitCode, 143) << stopped.err;
  std::vector<std::string> own;
  std::istringstream log(tztest::ReadFile(env.dir() + "/tool-log.txt"));
  for (std::string line; std::getline(log, line);) {
    if (line.find(" tzdag: ") != std::string::npos) own.push_back(line);
  }
  EXPECT_TRUE(tztest::LinesAre(
      own, {"* INFO tzdag: started: tzdag --store * update-subclient --orbal 1 --client 2 --app 11",
            "* ERROR tzdag: finished: stopped by signal 15 (Terminated); exit status 143; *.* s"}));
  EXPECT_NO_THROW(StoreLock(env.storePath(), "next"));
}

}  // namespace
