#include "tzdag_runner.h"

#include <fcntl.h>
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

ToolRun RunTzdag(const std::vector<std::string>& args, const std::string& input,
                 const std::map<std::string, std::string>& environment) {
  return RunProgram(TzdagPath(), args, input, environment);
}

ToolRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::string& input,
                   const std::map<std::string, std::string>& environment) {
  TempDir scratch;
  const std::string in = scratch.File("in"), out = scratch.File("out"), err = scratch.File("err");
  WriteFile(in, input);

  std::vector<std::string> words = {path};
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
  pid_t child = 0;
  int rc = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot run " + path + ": " + std::strerror(rc));

  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  ToolRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(out);
  run.err = ReadFile(err);
  return run;
}

ToolRun RunTzdagIn(const TestEnv& env, std::vector<std::string> args) {
  std::vector<std::string> all = {"--store",        env.storePath(), "--remote-root",
                                  env.remoteRoot(), "--log",         env.dir() + "/tool-log.txt"};
  all.insert(all.end(), args.begin(), args.end());
  return RunTzdag(all);
}

nlohmann::json DemoFixture() {
  return tzplatform::ParseFixture(ReadFile(std::string(TZ_SOURCE_DIR) + "/demo/fixture.json"));
}

}  // namespace tztest
