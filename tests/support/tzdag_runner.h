// Runs the tzdag binary the build made, as a user would from a shell or at a
// terminal.
#ifndef TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_
#define TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "temp_dir.h"
#include "test_env.h"

namespace tztest {

// Variables laid over the environment of this process; an empty value
// counts as unset for the platform and tzdag alike.
using Environment = std::map<std::string, std::string>;

struct ToolRun {
  int exitCode = -1;  // -1 when the program did not exit normally
  std::string out;    // standard output
  std::string err;    // standard error
};

// tzdag (or `program`) started in the background, as the leader of a process
// group of its own (as a shell starts a job), with `input` on its standard
// input.
class TzdagProcess {
 public:
  TzdagProcess(const std::vector<std::string>& args, const std::string& input = "",
               const Environment& environment = {}, const std::string& program = TzdagPath());
  // Kills and reaps it when it still runs.
  ~TzdagProcess();
  TzdagProcess(const TzdagProcess&) = delete;
  TzdagProcess& operator=(const TzdagProcess&) = delete;

  pid_t pid() const { return pid_; }
  ToolRun Wait();

 private:
  TempDir scratch_;
  pid_t pid_ = -1;
};

ToolRun RunTzdag(const std::vector<std::string>& args, const std::string& input = "",
                 const Environment& environment = {});
// The same for the program at `path` (a copy of tzdag elsewhere, say).
ToolRun RunProgram(const std::string& path, const std::vector<std::string>& args,
                   const std::string& input = "", const Environment& environment = {});

// The options that point tzdag at the store and remote root of `env`, its
// log in tool-log.txt of the environment's folder.
std::vector<std::string> OptionsFor(const TestEnv& env);
// Runs tzdag with OptionsFor(env) and `args`.
ToolRun RunTzdagIn(const TestEnv& env, std::vector<std::string> args,
                   const Environment& environment = {});

// Words to put before a command so that it runs without CAP_SYS_PTRACE (as
// root; none otherwise): a process started so may read the memory of
// another started so only while that one is dumpable.
std::vector<std::string> WithoutPtrace();
// Whether `pid`, started after WithoutPtrace(), is dumpable: whether a
// process started the same way may open /proc/PID/mem.
bool Dumpable(pid_t pid);

// The bundled demo fixture (demo/fixture.json).
nlohmann::json DemoFixture();

// A program in a session of its own whose controlling terminal, standard
// input, output and error are a new pseudo-terminal.
class PtyProcess {
 public:
  PtyProcess(const std::vector<std::string>& args, const Environment& environment = {},
             const std::string& program = TzdagPath());
  // Kills and reaps it when it still runs; closes the terminal.
  ~PtyProcess();
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Reads until the transcript holds `text` (true) or the program ended.
  bool ReadUntil(const std::string& text);
  void Type(const std::string& text);
  // Whether the terminal echoes what is typed, now.
  bool Echoes() const;
  // Reads to the end and reaps the program: its exit status (-1 when it did
  // not exit normally).
  int Wait();
  // What the program wrote so far, with the terminal's line ends ("\r\n").
  const std::string& transcript() const { return transcript_; }

 private:
  bool ReadSome();

  int master_ = -1;
  int slave_ = -1;  // kept open, so that the terminal's settings outlive the program
  pid_t pid_ = -1;
  std::string transcript_;
};

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TZDAG_RUNNER_H_
