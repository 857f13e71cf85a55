// Options that several commands share: how long a remote tool may run, and
// the directory password.
#ifndef TZDAG_TOOL_TOOL_OPTIONS_H_
#define TZDAG_TOOL_TOOL_OPTIONS_H_

#include <string>

#include <CLI/CLI.hpp>

namespace tzdag_tool {

// --timeout SECONDS, for a command that runs the discovery tool: whole
// seconds from 1 to 2147483647, which replace TZ_REMOTE_TIMEOUT (an invalid
// value of the variable is then never looked at).
CLI::Option* AddTimeoutOption(CLI::App* app);

// The longest password the directory agent can take (its 2048-byte buffer
// holds the text and a terminating zero byte).
constexpr size_t kMaxPasswordBytes = 2047;

// Plain text that is wiped when it goes.
struct Secret {
  std::string text;
  Secret() = default;
  ~Secret();
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

// Why `password` (plain text) cannot be used as the directory password;
// empty when it can.
std::string PasswordProblem(const std::string& password);

// The directory password of a command: --password ENC (the encrypted form,
// passed on as it is), --password-file FILE ("-" = standard input) or, when
// neither is given, the file $TZ_PASSWORD_FILE names, whose first line is the
// password in plain text.
class PasswordOptions {
 public:
  void Add(CLI::App* app);
  // The encrypted form to hand the library, or false when no password was
  // given. A file that cannot be read or holds no usable password, or a key
  // file that cannot be made, is a UsageError naming the option or variable.
  bool Encrypted(std::string& encrypted) const;
  // Whether the password came as --password (the caller's own encrypted
  // text, not one made here).
  bool GivenEncrypted() const { return passwordOption_ != nullptr && passwordOption_->count() > 0; }
  const CLI::Option* passwordOption() const { return passwordOption_; }

 private:
  std::string password_;
  std::string file_;
  CLI::Option* passwordOption_ = nullptr;
  CLI::Option* fileOption_ = nullptr;
};

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_TOOL_OPTIONS_H_
