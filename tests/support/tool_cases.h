// tzdag invocations as tables (JSON under tests/data/tool/): each case builds
// a store and a remote root from a fixture, runs tzdag one or more times and
// checks its output, exit status and what it left behind.
//
// A case: "name" (the test's), "fixture" (a name in fixtures.json, "demo",
// "none", a fixture, or {"fullSize": {...}}: a DAG client of 16 member
// servers and 1,600 databases, see FullSizeFixture), "patch" (JSON Patch on the fixture), "tools"
// ({host: script} as PshimProxy.exe; host "*": every host of the fixture),
// "files" ({path: text, or {"text", "mode", "times", "latin1"}, or a JSON
// value}, mode 0600, folders made; see FileText in tool_cases.cpp),
// "journal" (the store's journal mode), "corrupt" (damage done to the store:
// CorruptStore of store_support.h), "copyStore" (paths that get a copy of the
// store), "folderMode" (the case folder's, as "777"), "symlinks" ({link:
// target}), "chown" ({path: uid}, after "files"), "folders" (made before
// "files"),
// then either "runs" (a list) or the fields of its one run:
//   "args", "in" (standard input, after "inSize" bytes of 'p'), "env" (over
//   a clean environment that names the store and remote root,
//   XDG_STATE_HOME=DIR/state, TMPDIR=DIR/tmp, and the
//   settings files DIR/etc/tzdag.toml (TZDAG_SYSTEM_CONFIG) and
//   DIR/config/tzdag/tzdag.toml (XDG_CONFIG_HOME=DIR/config)), "cwd" (where
//   tzdag runs),
//   "readOnly" ("file" or "folder": which of the store and its folder tzdag
//   cannot write, as another user's), "noPtrace" (run without
//   CAP_SYS_PTRACE, so that a tool can tell whether tzdag is dumpable:
//   `(exec 3</proc/$PPID/mem)` fails when not)
//   "exit" (default 0)
//   "out": exact text, its lines, or a JSON object as tzdag prints one; default
//          empty unless "outHas" (texts in this order), "findings" or
//          "decrypts" says what the output holds
//   "err": exact lines ("*" stands for any text); default none unless
//          "errHas" (texts it holds)
//   "writes": the store may change (else it is byte for byte as it was)
//   "logHas" / "fileIs" ({path: text, or its lines}), "modes" ({path: "700"}),
//   "absent", "listing" ({folder: [every name in it, sorted]})
//   "masked": "out" and "fileIs" are compared with the times that change
//             from run to run masked: "'seconds'=<s>s" (a plugin's), "<s>"
//             (a metric's duration), "<now>" (a timestamp of this hour)
//   "toolLog" ({path: lines}): tzdag's own lines in the log at path (those
//             holding " tzdag: "), as "err" matches
//   "inReadAtMost": bytes of standard input tzdag may have read
//   "outTo": where standard output goes instead (a path, as /dev/full)
//   "gone": files holding the pid of a process that must have ended
//   "password": what the -dagp value the tool was given (recorded in
//               DIR/tool-args) decrypts to
//   "decrypts": what the printed encrypted password decrypts to
//   "findings": `doctor --json`'s findings other than ok, as
//               "<severity> <check> <object>: <text>"; "checks": every
//               finding's check, in order; "informs": its ok findings that
//               tell of an object, as "<check> <object>: <text>"; "groups":
//               its groups, as "<severity> <check> <count> <objects as JSON>:
//               <text> | <hint>" (those of checks that simply passed left out)
//   "content": {"<subclient id>": stored content (SubclientContent)}
// Every run leaves TMPDIR empty, no process running and prints UTF-8 only. In every text, {dir}
// is the case's folder, {root} its remote root, {sim} the simulator and
// {version} the library's version.
#ifndef TZ_TESTS_SUPPORT_TOOL_CASES_H_
#define TZ_TESTS_SUPPORT_TOOL_CASES_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tztest {

// The contents of tests/data/tool/<file>.
nlohmann::json ToolData(const std::string& file);
// The fixture a case names ("demo", "none", or one of fixtures.json).
nlohmann::json ToolFixture(const nlohmann::json& name);
void RunToolCase(const nlohmann::json& toolCase);
// An encrypted password decrypted under the platform's key file, or
// "(not decrypted)".
std::string Decrypted(const std::string& encrypted);
// What the -dagp value a recording tool wrote to `argsFile` decrypts to, or
// "(none)".
std::string PasswordTheToolSaw(const std::string& argsFile);
// For parameterised tests over ToolData(file)["cases"].
std::string ToolCaseName(const ::testing::TestParamInfo<nlohmann::json>& info);

}  // namespace tztest

#endif  // TZ_TESTS_SUPPORT_TOOL_CASES_H_
