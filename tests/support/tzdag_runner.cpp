#include "tzdag_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "temp_dir.h"
#include "test_env.h"
#include "tzplatform/fixture.h"

extern char** environ;

namespace tztest {

TzdagProcess::TzdagProcess(const std::vector<std::string>& args, const std::string& input,
                           const std::map<std::string, std::string>& environment,
                           const std::string& program) {
  const std::string in = scratch_.File("in"), out = scratch_.File("out"),
                    err = scratch_.File("err");
  WriteFile(in, input);

  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);

  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string variable = *entry;
    std::string name = variable.substr(0, variable.find('='));
    if (environment.count(name) == 0) variables.push_back(variable);
  }
  for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(&variable[0]);
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, in.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  int rc = posix_spawn(&pid_, argv[0], &actions, &attributes, argv.data(), envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot run " + program + ": " + std::strerror(rc));
}

TzdagProcess::~TzdagProcess() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

ToolRun TzdagProcess::Wait() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  pid_ = -1;
  ToolRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(scratch_.File("out"));
  run.err = ReadFile(scratch_.File("err"));
  return run;
}

ToolRun RunTzdag(const std::vector<std::string>& args, const std::string& input,
                 const std::map<std::string, std::string>& environment) {
  return TzdagProcess(args, input, environment).Wait();
}

ToolRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::string& input,
                   const std::map<std::string, std::string>& environment) {
  return TzdagProcess(args, input, environment, path).Wait();
}

std::vector<std::string> OptionsFor(const TestEnv& env) {
  return {"--store",        env.storePath(), "--remote-root",
          env.remoteRoot(), "--log",         env.dir() + "/tool-log.txt"};
}

ToolRun RunTzdagIn(const TestEnv& env, std::vector<std::string> args,
                   const std::map<std::string, std::string>& environment) {
  std::vector<std::string> all = OptionsFor(env);
  all.insert(all.end(), args.begin(), args.end());
  return RunTzdag(all, "", environment);
}

nlohmann::json DemoFixture() {
  return tzplatform::ParseFixture(ReadFile(std::string(TZ_SOURCE_DIR) + "/demo/fixture.json"));
}

}  // namespace tztest
