#include "tzdag_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tzplatform/fixture.h"

extern char** environ;

namespace tztest {

namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts `program` with the environment of this process and `environment`
// laid over it, every signal unblocked, in a process group (POSIX_SPAWN_SETPGROUP)
// or a session (POSIX_SPAWN_SETSID) of its own.
pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const Environment& environment, const posix_spawn_file_actions_t& actions,
            short flags) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  // A test never reads this machine's or its user's settings files: unless
  // it names its own, they are looked for where there are none.
  Environment laid = environment;
  laid.emplace("TZDAG_SYSTEM_CONFIG", "/nonexistent/tzdag.toml");
  laid.emplace("XDG_CONFIG_HOME", "/nonexistent");
  laid.emplace("TZ_ORBAL", "");
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    if (laid.count(variable.substr(0, variable.find('='))) == 0) {
      variables.push_back(variable);
    }
  }
  for (const auto& [name, value] : laid) variables.push_back(name + "=" + value);
  std::vector<char*> argv = Pointers(words), envp = Pointers(variables);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, flags | POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) throw std::runtime_error("cannot run " + program + ": " + std::strerror(rc));
  return pid;
}

// posix_spawn's file actions, released however the spawn ends.
struct FileActions {
  FileActions() { posix_spawn_file_actions_init(&actions); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
  posix_spawn_file_actions_t actions;
};

// Its exit status; -1 when it did not exit normally.
int Reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TzdagProcess::TzdagProcess(const std::vector<std::string>& args, const std::string& input,
                           const Environment& environment, const std::string& program) {
  WriteFile(scratch_.File("in"), input);
  const std::string in = scratch_.File("in"), out = scratch_.File("out"),
                    err = scratch_.File("err");
  FileActions files;
  posix_spawn_file_actions_t* actions = &files.actions;
  posix_spawn_file_actions_addopen(actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_ = Spawn(program, args, environment, files.actions, POSIX_SPAWN_SETPGROUP);
}

TzdagProcess::~TzdagProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  Reap(pid_);
}

ToolRun TzdagProcess::Wait() {
  ToolRun run;
  run.exitCode = Reap(pid_);
  pid_ = -1;
  run.out = ReadFile(scratch_.File("out"));
  run.err = ReadFile(scratch_.File("err"));
  return run;
}

ToolRun RunTzdag(const std::vector<std::string>& args, const std::string& input,
                 const Environment& environment) {
  return TzdagProcess(args, input, environment).Wait();
}

ToolRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::string& input, const Environment& environment) {
  return TzdagProcess(args, input, environment, path).Wait();
}

std::vector<std::string> OptionsFor(const TestEnv& env) {
  return {"--store",        env.storePath(), "--remote-root",
          env.remoteRoot(), "--log",         env.dir() + "/tool-log.txt"};
}

ToolRun RunTzdagIn(const TestEnv& env, std::vector<std::string> args,
                   const Environment& environment) {
  std::vector<std::string> all = OptionsFor(env);
  all.insert(all.end(), args.begin(), args.end());
  return RunTzdag(all, "", environment);
}

std::vector<std::string> WithoutPtrace() {
  if (geteuid() != 0) return {};
  return {"/usr/bin/setpriv", "--bounding-set=-sys_ptrace", "--inh-caps=-sys_ptrace"};
}

bool Dumpable(pid_t pid) {
  std::vector<std::string> probe = WithoutPtrace();
  probe.insert(probe.end(),
               {"/bin/sh", "-c", "(exec 3</proc/" + std::to_string(pid) + "/mem) 2>/dev/null"});
  const std::string program = probe.front();
  probe.erase(probe.begin());
  return RunProgram(program, probe).exitCode == 0;
}

nlohmann::json DemoFixture() {
  return tzplatform::ParseFixture(ReadFile(std::string(TZ_SOURCE_DIR) + "/demo/fixture.json"));
}

PtyProcess::PtyProcess(const std::vector<std::string>& args, const Environment& environment,
                       const std::string& program) {
  char name[128];
  if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
    throw std::runtime_error(std::string("openpty: ") + std::strerror(errno));
  }
  fcntl(master_, F_SETFD, FD_CLOEXEC);
  fcntl(slave_, F_SETFD, FD_CLOEXEC);
  // Opened in the new session, the terminal becomes its controlling one.
  FileActions files;
  posix_spawn_file_actions_addopen(&files.actions, 0, name, O_RDWR, 0);
  posix_spawn_file_actions_adddup2(&files.actions, 0, 1);
  posix_spawn_file_actions_adddup2(&files.actions, 0, 2);
  try {
    pid_ = Spawn(program, args, environment, files.actions, POSIX_SPAWN_SETSID);
  } catch (...) {
    close(master_);
    close(slave_);
    throw;
  }
}

PtyProcess::~PtyProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Reap(pid_);
  }
  close(master_);
  close(slave_);
}

bool PtyProcess::ReadSome() {
  // Our copy of the terminal's other side keeps it open after the program
  // ends, so its end is looked for between short waits; once it has ended,
  // what it wrote last may still be on its way for a moment.
  pollfd fd{master_, POLLIN, 0};
  for (;;) {
    const int ready = poll(&fd, 1, 100);
    if (ready < 0 && errno != EINTR) return false;
    if (ready > 0) break;
    siginfo_t info{};
    if (pid_ <= 0) return false;
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_ && poll(&fd, 1, 500) <= 0) {
      return false;
    }
  }
  char buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof(buffer));
  if (n <= 0) return false;
  transcript_.append(buffer, static_cast<size_t>(n));
  return true;
}

bool PtyProcess::ReadUntil(const std::string& text) {
  while (transcript_.find(text) == std::string::npos) {
    if (!ReadSome()) return false;
  }
  return true;
}

void PtyProcess::Type(const std::string& text) {
  if (write(master_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    throw std::runtime_error("cannot type on the terminal");
  }
}

bool PtyProcess::Echoes() const {
  termios settings{};
  if (tcgetattr(slave_, &settings) != 0) throw std::runtime_error("tcgetattr failed");
  return (settings.c_lflag & ECHO) != 0;
}

int PtyProcess::Wait() {
  while (ReadSome()) {
  }
  const int status = Reap(pid_);
  pid_ = -1;
  return status;
}

}  // namespace tztest
