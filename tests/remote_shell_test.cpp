// Quoting for the servers' shells: every hostile value of the table comes out
// exactly as written there and, read back the way each shell and the
// program's runtime read a command line, as the one word it was, with
// nothing around it that the shell would act on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform_cases.h"
#include "tzplatform/session.h"

namespace {

using nlohmann::json;
using tzplatform::ShellKind;

// How a Windows program's runtime splits its command line into words.
std::vector<std::string> WindowsWords(const std::string& line) {
  std::vector<std::string> words;
  size_t at = 0;
  for (;;) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size()) return words;
    std::string word;
    bool quoted = false;
    while (at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
      size_t backslashes = 0;
      while (at < line.size() && line[at] == '\\') ++backslashes, ++at;
      if (at < line.size() && line[at] == '"') {
        word.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          word += '"';
        } else {
          quoted = !quoted;
        }
        ++at;
      } else {
        word.append(backslashes, '\\');
        if (at < line.size() && (quoted || (line[at] != ' ' && line[at] != '\t'))) {
          word += line[at++];
        }
      }
    }
    words.push_back(word);
  }
}

// What cmd.exe passes on of `line`, or a failure when it would act on a
// character: expand a variable, run another command, redirect, group.
::testing::AssertionResult CmdReads(const std::string& line, std::string& passed) {
  for (size_t at = line.find('%'); at != std::string::npos; at = line.find('%', at + 1)) {
    const size_t end = line.find('%', at + 1);
    if (end != std::string::npos && end > at + 1 &&
        line.substr(at + 1, end - at - 1).find('^') == std::string::npos) {
      return ::testing::AssertionFailure() << "a variable would expand at " << at;
    }
  }
  passed.clear();
  bool quoted = false;
  for (size_t at = 0; at < line.size(); ++at) {
    const char c = line[at];
    if (c == '\n' || c == '\r') return ::testing::AssertionFailure() << "a line end";
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && c == '^' && at + 1 < line.size()) {
      passed += line[++at];
      continue;
    } else if (!quoted && std::string("&|<>()").find(c) != std::string::npos) {
      return ::testing::AssertionFailure() << "cmd acts on '" << c << "' at " << at;
    }
    passed += c;
  }
  return ::testing::AssertionSuccess();
}

// The words of a script as Windows PowerShell gets it after -c (split as a
// program's command line, joined with blanks): "& <word> ...; exit
// $LASTEXITCODE", each word a single-quoted literal or ('' + pieces), a piece
// a literal or a [char] code. Fails on anything else.
::testing::AssertionResult PowerShellReads(const std::string& line,
                                           std::vector<std::string>& words) {
  std::string script;
  for (const std::string& word : WindowsWords(line)) script += (script.empty() ? "" : " ") + word;
  const std::string head = "& ", tail = "; exit $LASTEXITCODE";
  if (script.rfind(head, 0) != 0 || script.size() < head.size() + tail.size() ||
      script.compare(script.size() - tail.size(), tail.size(), tail) != 0) {
    return ::testing::AssertionFailure() << "not one call: " << script;
  }
  const std::string body = script.substr(head.size(), script.size() - head.size() - tail.size());
  size_t at = 0;
  // A literal at `at`: no quote of any kind inside.
  auto literal = [&](std::string& text) {
    if (at >= body.size() || body[at] != '\'') return false;
    const size_t end = body.find('\'', at + 1);
    if (end == std::string::npos) return false;
    text = body.substr(at + 1, end - at - 1);
    for (const char* quote : {"\xE2\x80\x98", "\xE2\x80\x99", "\xE2\x80\x9A", "\xE2\x80\x9B"}) {
      if (text.find(quote) != std::string::npos) return false;
    }
    at = end + 1;
    return true;
  };
  words.clear();
  while (at < body.size()) {
    std::string word, piece;
    if (body.compare(at, 3, "(''") == 0) {
      at += 3;
      while (at < body.size() && body[at] == '+') {
        ++at;
        if (body.compare(at, 6, "[char]") == 0) {
          at += 6;
          size_t digits = 0;
          const unsigned code = std::stoul(body.substr(at), &digits);
          at += digits;
          // The code points the quoter writes so, as UTF-8.
          if (code < 0x80) {
            word += static_cast<char>(code);
          } else {
            word += {'\xE2', '\x80', static_cast<char>(0x80 | (code & 0x3F))};
          }
        } else if (literal(piece)) {
          word += piece;
        } else {
          return ::testing::AssertionFailure() << "a bad piece at " << at << " of " << body;
        }
      }
      if (at >= body.size() || body[at++] != ')') {
        return ::testing::AssertionFailure() << "unclosed: " << body;
      }
    } else if (!literal(word)) {
      return ::testing::AssertionFailure() << "not a word at " << at << " of " << body;
    }
    words.push_back(word);
    if (at < body.size() && body[at++] != ' ') {
      return ::testing::AssertionFailure() << "words run together in " << body;
    }
  }
  return ::testing::AssertionSuccess();
}

// What sh makes of a line of single-quoted words.
::testing::AssertionResult ShReads(const std::string& line, std::vector<std::string>& words) {
  words.clear();
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t at = 0; at < line.size(); ++at) {
    const char c = line[at];
    if (quoted) {
      if (c == '\'') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == '\'') {
      quoted = inWord = true;
    } else if (c == '\\' && at + 1 < line.size()) {
      word += line[++at];
      inWord = true;
    } else if (c == ' ') {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      return ::testing::AssertionFailure() << "sh acts on '" << c << "' at " << at;
    }
  }
  if (quoted) return ::testing::AssertionFailure() << "an unclosed quote";
  if (inWord) words.push_back(word);
  return ::testing::AssertionSuccess();
}

const char* const kShells[] = {"sh", "cmd", "powershell"};

// tests/data/platform/remote_shell.json "words": a hostile value and, per
// shell, its quoted form or {"refused": why}; each quoted one also passes in
// a command line, read back the way the shell and the program read it.
TEST(RemoteShellTest, EachHostileWordComesOutQuotedAsOneWordOrIsRefused) {
  const json table = tztest::PlatformCases("remote_shell");
  for (const json& row : table["words"]) {
    std::string word;
    if (row.contains("bytes")) {
      for (const json& byte : row["bytes"]) word += static_cast<char>(byte.get<int>());
    } else {
      word = row["word"];
    }
    for (const std::string name : kShells) {
      SCOPED_TRACE(name + " " + row.dump());
      ShellKind shell;
      ASSERT_TRUE(tzplatform::ParseShellKind(name, shell));
      std::string quoted = "(untouched)", why;
      const bool ok = tzplatform::QuoteForShell(shell, word, quoted, why);
      const json& want = row[name];
      if (want.is_object()) {
        EXPECT_FALSE(ok) << quoted;
        EXPECT_EQ(why, want["refused"]);
        continue;
      }
      ASSERT_TRUE(ok) << why;
      std::string expected = want;
      const size_t at = expected.find("{word}");
      if (at != std::string::npos) expected.replace(at, 6, word);
      EXPECT_EQ(quoted, expected);
      std::string line, read;
      ASSERT_TRUE(tzplatform::RemoteCommandLine(shell, "C:\\Tz Tools\\PshimProxy.exe",
                                                {"-dagn", word, "last"}, line, why));
      std::vector<std::string> words;
      if (shell == ShellKind::kSh) {
        ASSERT_TRUE(ShReads(line, words));
      } else if (shell == ShellKind::kCmd) {
        ASSERT_TRUE(CmdReads(line, read));
        words = WindowsWords(read);
      } else {
        ASSERT_TRUE(PowerShellReads(line, words));
      }
      EXPECT_EQ(words,
                (std::vector<std::string>{"C:\\Tz Tools\\PshimProxy.exe", "-dagn", word, "last"}))
          << line;
    }
  }
}

// A word a shell cannot carry fails the whole command line, naming it.
TEST(RemoteShellTest, ACommandLineWithAWordTheShellCannotCarryIsRefused) {
  const json table = tztest::PlatformCases("remote_shell");
  for (const json& row : table["lines"]) {
    SCOPED_TRACE(row.dump());
    ShellKind shell;
    ASSERT_TRUE(tzplatform::ParseShellKind(row["shell"], shell));
    std::string line, why;
    const bool ok = tzplatform::RemoteCommandLine(shell, row["program"], row["args"], line, why);
    EXPECT_EQ(ok ? line : why, row[ok ? "line" : "refused"]) << (ok ? why : line);
    EXPECT_EQ(ok, row.contains("line"));
  }
}

}  // namespace
