// tzdag encrypt: the encrypted form of a password, as the discovery commands
// take it, under this host's key.
#include <iostream>
#include <string>

#include <tzplatform/TZPassword.h>
#include <tzplatform/settings.h>

#include "commands.h"
#include "terminal.h"
#include "tool_options.h"

namespace tzdag_tool {
namespace {

int RunEncrypt(const GlobalOptions& global) {
  Secret password;
  // Where the key is to be is settled before a password is asked for.
  const std::string keyProblem = tzplatform::KeyFileProblem();
  if (!keyProblem.empty()) {
    throw UsageError(keyProblem +
                     ": name the key file with TZ_KEY_FILE, or the store with --store or "
                     "TZ_CONFIG_STORE");
  }
  if (!ReadSecretLine("Password: ", kMaxPasswordBytes, password.text)) {
    throw UsageError("no password on standard input");
  }
  const std::string problem = PasswordProblem(password.text);
  if (!problem.empty()) throw UsageError("the password cannot be used: " + problem);
  std::string encrypted;
  try {
    encrypted = TZPassword::Encrypt(password.text);
  } catch (const tzplatform::KeyFileError& e) {
    throw UsageError(e.what());
  }
  if (global.json) {
    PrintJson({{"ok", true}, {"encrypted", encrypted}});
  } else {
    std::cout << encrypted << std::endl;
  }
  return kExitOk;
}

}  // namespace

Command AddEncryptCommand(CLI::App* app, const GlobalOptions& global) {
  app->footer(
      "The host key is $TZ_KEY_FILE, else tzdag.key beside the store (which must exist), made "
      "on first use.\n"
      "Example: tzdag --store /tmp/dagdemo/store.db encrypt < password.txt");
  return Command{app, [&global] { return RunEncrypt(global); }, false};
}

}  // namespace tzdag_tool
