// tzdag encrypt: the encrypted form of a password read on standard input, as
// the discovery commands take it.
#include <iostream>
#include <string>

#include <tzplatform/TZPassword.h>

#include "commands.h"
#include "signals.h"

namespace tzdag_tool {
namespace {

int RunEncrypt(const GlobalOptions& global) {
  std::string password;
  // Nothing to clean up while waiting for the password: a signal ends it.
  SignalWatch::SetExitAtOnce(true);
  const bool read = static_cast<bool>(std::getline(std::cin, password));
  SignalWatch::SetExitAtOnce(false);
  if (!read) throw UsageError("no password on standard input");
  if (!password.empty() && password.back() == '\r') password.pop_back();
  const std::string encrypted = TZPassword::Encrypt(password);
  if (global.json) {
    PrintJson({{"ok", true}, {"encrypted", encrypted}});
  } else {
    std::cout << encrypted << std::endl;
  }
  return kExitOk;
}

}  // namespace

Command AddEncryptCommand(CLI::App& root, const GlobalOptions& global) {
  CLI::App* app = root.add_subcommand(
      "encrypt", "Print the encrypted form of a password read on standard input");
  return Command{app, [&global] { return RunEncrypt(global); }, false};
}

}  // namespace tzdag_tool
