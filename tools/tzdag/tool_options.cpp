#include "tool_options.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <tzplatform/TZPassword.h>
#include <tzplatform/settings.h>

#include "commands.h"
#include "signals.h"
#include "terminal.h"

namespace tzdag_tool {
namespace {

// A password file longer than this is not a password file.
constexpr size_t kMaxPasswordFile = 64 * 1024;

// The first line of the file at `path`; `name` says where the path came from.
void ReadPasswordFile(const std::string& name, const std::string& path, Secret& password) {
  if (path == "-") {
    if (!ReadSecretLine("Directory password: ", kMaxPasswordBytes, password.text)) {
      throw UsageError(name + ": no password on standard input");
    }
    return;
  }
  tzplatform::KeepSecretsOutOfDumps();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) throw UsageError(name + ": cannot read " + path + ": " + std::strerror(errno));
  Secret content;
  content.text.resize(kMaxPasswordFile + 1);
  size_t got = 0;
  int error = 0;
  // A file that never ends (a pipe nobody writes) is waited for; a signal
  // ends the wait.
  SignalWatch::SetExitAtOnce(true);
  while (got < content.text.size()) {
    ssize_t n = read(fd, &content.text[got], content.text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) error = errno;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  SignalWatch::SetExitAtOnce(false);
  close(fd);
  if (error != 0) throw UsageError(name + ": cannot read " + path + ": " + std::strerror(error));
  if (got > kMaxPasswordFile)
    throw UsageError(name + ": " + path + " is too long for a password file");
  if (got == 0) throw UsageError(name + ": " + path + " is empty");
  size_t end = content.text.find('\n');
  if (end == std::string::npos || end > got) end = got;
  if (end > 0 && content.text[end - 1] == '\r') --end;
  password.text.assign(content.text, 0, end);
}

}  // namespace

CLI::Option* AddTimeoutOption(CLI::App* app) {
  // Applied as it is read, before the settings are checked, so that it
  // takes the place of TZ_REMOTE_TIMEOUT.
  return app
      ->add_option_function<std::string>(
          "--timeout",
          [](const std::string& seconds) { tzplatform::SetRemoteTimeout(std::stoi(seconds)); },
          "seconds the discovery tool may run before it is killed (default $TZ_REMOTE_TIMEOUT or "
          "300)")
      ->type_name("SECONDS")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            const bool digits = !text.empty() && text.size() <= 10 &&
                                text.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || std::stoll(text) < 1 || std::stoll(text) > INT_MAX) {
              return "'" + text + "' is not a number of seconds (a whole number from 1 to " +
                     std::to_string(INT_MAX) + ")";
            }
            return std::string();
          },
          ""));
}

Secret::~Secret() {
  if (!text.empty()) tzplatform::WipeSecret(&text[0], text.size());
}

std::string PasswordProblem(const std::string& password) {
  if (password.find('\0') != std::string::npos) return "it holds a NUL character";
  if (password.size() > kMaxPasswordBytes) {
    return "it is longer than " + std::to_string(kMaxPasswordBytes) + " bytes";
  }
  return std::string();
}

void PasswordOptions::Add(CLI::App* app) {
  passwordOption_ = app->add_option("--password", password_,
                                    "the account's password in the encrypted form `tzdag encrypt` "
                                    "prints (visible to other users of this machine; prefer "
                                    "--password-file)")
                        ->type_name("ENC");
  fileOption_ = app->add_option("--password-file", file_,
                                "file whose first line is the account's password in plain text; "
                                "- = standard input (default $TZ_PASSWORD_FILE)")
                    ->type_name("FILE")
                    ->excludes(passwordOption_);
}

bool PasswordOptions::Encrypted(std::string& encrypted) const {
  if (GivenEncrypted()) {
    encrypted = password_;
    return true;
  }
  std::string name = "--password-file";
  std::string path = file_;
  if (fileOption_->count() == 0) {
    const char* fromEnvironment = std::getenv("TZ_PASSWORD_FILE");
    if (fromEnvironment == nullptr || *fromEnvironment == '\0') return false;
    name = "TZ_PASSWORD_FILE";
    path = fromEnvironment;
  }
  Secret password;
  ReadPasswordFile(name, path, password);
  const std::string problem = PasswordProblem(password.text);
  if (!problem.empty())
    throw UsageError(name + ": the password in " + path + " cannot be used: " + problem);
  try {
    encrypted = TZPassword::Encrypt(password.text);
  } catch (const tzplatform::KeyFileError& e) {
    throw UsageError(e.what());
  }
  return true;
}

}  // namespace tzdag_tool
