// Servers a test starts for itself (slapd, sshd): their processes, which die
// with the test process, and free loopback ports for them.
#ifndef TZ_TESTS_SUPPORT_SERVER_PROCESS_H_
#define TZ_TESTS_SUPPORT_SERVER_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace tztest {

// Starts `argv` with its output going to `logPath`. The child dies with this
// process, so that a test that crashes leaves no server behind.
pid_t SpawnServer(const std::vector<std::string>& argv, const std::string& logPath);
// Runs `argv` to its end; its output is added to `logPath`. Throws
// std::runtime_error with that output when it fails.
void RunToEnd(const std::vector<std::string>& argv, const std::string& logPath);
// Connects to a loopback `port` (0: binds to a free one instead); the port,
// or 0 when that fails.
int Loopback(int port);
// Waits up to 20 s for the server `pid` to take connections on every port
// of `ports`. False when it did not; `pid` is then -1 when it exited.
bool AwaitListening(pid_t& pid, const std::vector<int>& ports);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_SERVER_PROCESS_H_
