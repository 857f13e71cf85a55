// Quoting for the shell a server runs the tool's command line in.
#include <algorithm>
#include <string>
#include <vector>

#include "tzplatform/session.h"
#include "util/one_line.h"

namespace tzplatform {
namespace {

// Why a Windows shell cannot carry `word`, or empty: what is not UTF-8
// changes on its way to UTF-16, and cmd ends a command at a line end.
std::string WindowsProblem(const std::string& word) {
  for (size_t at = 0; at < word.size();) {
    unsigned code = 0;
    const size_t length = detail::Utf8SequenceAt(word, at, code);
    if (length == 0) return "it is not UTF-8";
    if (code < 0x20 || code == 0x7F) return "it holds a control character";
    at += length;
  }
  return std::string();
}

// cmd.exe: first as the program's C runtime reads its command line (a
// quoted word; a quote escaped with a backslash, and the backslashes before
// one doubled), then every character cmd would act on, the quotes included,
// escaped with a caret: with every quote escaped cmd never sees a quoted
// stretch, so every caret counts, and %NAME% never names a variable.
std::string QuoteForCmd(const std::string& word) {
  std::string runtime = "\"";
  size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    runtime.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    runtime += c;
    backslashes = 0;
  }
  runtime.append(2 * backslashes, '\\');
  runtime += '"';
  std::string quoted;
  for (char c : runtime) {
    if (std::string("()%!^\"<>&|").find(c) != std::string::npos) quoted += '^';
    quoted += c;
  }
  return quoted;
}

// PowerShell: a single-quoted literal, in which nothing but a quote means
// anything. PowerShell also takes the typographic single quotes for quotes,
// and the command line it is given is first split at blanks and joined again
// (so runs of blanks would shrink): those characters are written as [char]
// codes, joined to the literal pieces with +.
std::string QuoteForPowerShell(const std::string& word) {
  std::string pieces;
  std::string literal;
  bool special = false;
  for (size_t at = 0; at < word.size();) {
    unsigned code = 0;
    const size_t length = std::max<size_t>(detail::Utf8SequenceAt(word, at, code), 1);
    const bool quote = code == '\'' || (code >= 0x2018 && code <= 0x201B);
    if (quote || code == ' ' || code == '\t') {
      if (!literal.empty()) pieces += "+'" + literal + "'";
      literal.clear();
      pieces += "+[char]" + std::to_string(code);
      special = true;
    } else {
      literal.append(word, at, length);
    }
    at += length;
  }
  if (!special) return "'" + literal + "'";
  if (!literal.empty()) pieces += "+'" + literal + "'";
  // A string first, so that + joins text rather than adds numbers.
  return "(''" + pieces + ")";
}

}  // namespace

bool QuoteForShell(ShellKind shell, const std::string& word, std::string& quoted,
                   std::string& why) {
  if (word.find('\0') != std::string::npos) {
    why = "it holds a NUL character";
    return false;
  }
  switch (shell) {
    case ShellKind::kSh: {
      quoted = "'";
      for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
      quoted += "'";
      return true;
    }
    case ShellKind::kCmd:
      why = WindowsProblem(word);
      if (!why.empty()) return false;
      quoted = QuoteForCmd(word);
      return true;
    case ShellKind::kPowerShell:
      why = WindowsProblem(word);
      if (why.empty() && word.find('"') != std::string::npos) {
        why = "it holds a double quote, which Windows PowerShell passes on unescaped";
      }
      if (why.empty() && word.empty()) why = "it is empty, which Windows PowerShell drops";
      if (!why.empty()) return false;
      quoted = QuoteForPowerShell(word);
      return true;
  }
  return false;
}

bool RemoteCommandLine(ShellKind shell, const std::string& program,
                       const std::vector<std::string>& args, std::string& line, std::string& why) {
  std::vector<std::string> words = {program};
  words.insert(words.end(), args.begin(), args.end());
  line = shell == ShellKind::kPowerShell ? "&" : "";
  for (const std::string& word : words) {
    std::string quoted;
    if (!QuoteForShell(shell, word, quoted, why)) {
      why = "'" + detail::OneLine(word) + "' cannot pass through " + ShellName(shell) + ": " + why;
      return false;
    }
    if (!line.empty()) line += ' ';
    line += quoted;
  }
  if (shell == ShellKind::kPowerShell) line += "; exit $LASTEXITCODE";
  return true;
}

}  // namespace tzplatform
