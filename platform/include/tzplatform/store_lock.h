// The lock that keeps two programs that change one configuration store from
// running at the same time (a timer's sync and a person's, say). SQLite's
// own write lock serialises single transactions; this one covers a whole run
// (remote tools included), so that one run's changes are not interleaved
// with another's.
#ifndef TZPLATFORM_STORE_LOCK_H_
#define TZPLATFORM_STORE_LOCK_H_

#include <sys/types.h>

#include <functional>
#include <string>

#include "tzplatform/export.h"
#include "tzplatform/store.h"

namespace tzplatform {

// Another process holds the lock. what(): "the configuration store PATH is
// in use by pid N (WHAT, since TIME)", or "... is in use by another process"
// when its lock file does not say who.
class TZPLATFORM_API StoreBusy : public StoreError {
 public:
  StoreBusy(const std::string& path, pid_t pid, const std::string& holder,
            const std::string& since);
  pid_t pid() const { return pid_; }  // 0 when not known
  const std::string& holder() const { return holder_; }
  const std::string& since() const { return since_; }

 private:
  pid_t pid_;
  std::string holder_;
  std::string since_;
};

// How a StoreLock waits for a lock another process holds.
struct StoreLockWait {
  // Off: StoreBusy at once.
  bool wait = false;
  // Told once, when the wait begins, who is waited for.
  std::function<void(const StoreBusy& busy)> waiting;
  // Asked between tries (a few times a second); true ends the wait with
  // StoreBusy (a program that was asked to stop, say).
  std::function<bool()> stop;
};

// An exclusive lock on the store at a path, held while the object lives: a
// flock on the file PATH.lock beside the store, which goes with the process
// that held it, however it ended, so a lock file left behind never blocks.
// The file names its holder (pid, `holder`, start time) for whoever finds it
// taken. It is the file of the user who runs the program, or of the store's
// owner (a lock file root makes for another user's store is given to that
// user); a symbolic link, anything but a regular file, or a file of another
// user is refused rather than used. The file stays when the lock goes:
// removing it would let two processes hold locks on two different files.
class TZPLATFORM_API StoreLock {
 public:
  // Throws StoreBusy while another process holds the lock (after waiting, as
  // `wait` says), and StoreError when the lock file cannot be used:
  // "cannot lock the configuration store PATH: PATH.lock: <why>".
  StoreLock(const std::string& storePath, const std::string& holder,
            const StoreLockWait& wait = StoreLockWait());
  ~StoreLock();
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;

  // The lock file of the store at `storePath`.
  static std::string LockPath(const std::string& storePath);

 private:
  int fd_ = -1;
};

}  // namespace tzplatform

#endif  // TZPLATFORM_STORE_LOCK_H_
