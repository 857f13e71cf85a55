// Runs a program on a pseudo-terminal of its own, as a person at a terminal
// would: its standard input, output and error are the terminal.
#ifndef TZ_TESTS_SUPPORT_PTY_PROCESS_H_
#define TZ_TESTS_SUPPORT_PTY_PROCESS_H_

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tztest {

class PtyProcess {
 public:
  // Starts `program` with `args` and the environment of this process with
  // `environment` laid over it, in a session whose controlling terminal is
  // a new pseudo-terminal.
  PtyProcess(const std::string& program, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& environment = {});
  // Kills and reaps it when it still runs; closes the terminal.
  ~PtyProcess();
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Reads what the program writes until the transcript holds `text` (true)
  // or the program closed the terminal (false).
  bool ReadUntil(const std::string& text);
  // Types `text` on the terminal.
  void Type(const std::string& text);
  // Whether the terminal echoes what is typed, now.
  bool Echoes() const;
  // Reads to the end and reaps the program: its exit status (-1 when it did
  // not exit normally).
  int Wait();
  // Everything the program wrote to the terminal so far, with the line ends
  // the terminal gives ("\r\n").
  const std::string& transcript() const { return transcript_; }

 private:
  bool ReadSome();

  int master_ = -1;
  int slave_ = -1;  // kept open, so that the terminal's settings outlive the program
  pid_t pid_ = -1;
  std::string transcript_;
};

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_PTY_PROCESS_H_
