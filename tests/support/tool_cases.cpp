#include "tool_cases.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "log_lines.h"
#include "process_census.h"
#include "store_support.h"
#include "temp_dir.h"
#include "test_env.h"
#include "tzdag/version.h"
#include "tzdag_runner.h"
#include "tzplatform/TZPassword.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

namespace tztest {

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    const size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string Replaced(std::string text, const std::map<std::string, std::string>& words) {
  for (const auto& [word, value] : words) {
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) {
      text.replace(at, word.size(), value);
      at += value.size();
    }
  }
  return text;
}

// `value` with the placeholders replaced in every string and object key
// (the folders they stand for need no escaping in JSON).
json Filled(const json& value, const std::map<std::string, std::string>& words) {
  return json::parse(Replaced(value.dump(), words));
}

// The field `key` of `object`; when it has none, an empty object (which
// also iterates as an empty list).
const json& Field(const json& object, const char* key) {
  static const json none = json::object();
  const auto found = object.find(key);
  return found == object.end() ? none : *found;
}

// What "out" stands for: its text, its lines, or a JSON value as tzdag prints one.
std::string Output(const json& out) {
  if (out.is_string()) return out;
  if (out.is_object()) return out.dump(2) + "\n";
  std::string text;
  for (const json& line : out) text += line.get<std::string>() + "\n";
  return text;
}

// `text` with what changes from run to run masked (for "masked"): the
// plugin's seconds ("'seconds'=<s>s"), durations in metrics ("<s>") and
// timestamps of this hour ("<now>"); a timestamp kept from an earlier run
// stays as it is.
std::string Masked(const std::string& text) {
  static const std::regex seconds("'seconds'=[0-9]+\\.[0-9]{3}s");
  static const std::regex duration("(_duration_seconds(\\{[^}\n]*\\})?) [0-9.]+\n");
  static const std::regex timestamp("(_timestamp_seconds(\\{[^}\n]*\\})?) ([0-9]+)\n");
  std::string masked = std::regex_replace(text, seconds, "'seconds'=<s>s");
  masked = std::regex_replace(masked, duration, "$1 <s>\n");
  std::string out;
  auto at = masked.cbegin();
  for (std::sregex_iterator it(masked.begin(), masked.end(), timestamp), end; it != end; ++it) {
    const std::smatch& m = *it;
    out.append(at, m[0].first);
    const long long age = std::stoll(m[3]) - static_cast<long long>(std::time(nullptr));
    out += m[1].str() + " " + (std::llabs(age) < 3600 ? std::string("<now>") : m[3].str()) + "\n";
    at = m[0].second;
  }
  return out.append(at, masked.cend());
}

unsigned Mode(const json& octal) {
  return std::stoul(octal.get<std::string>(), nullptr, 8);
}

// "symlinks" ({link: target}) planted, and "chown" ({path: uid}) handing a
// file (or link) to another user, as another user of the machine would.
void PlantForeignFiles(const json& toolCase) {
  for (const auto& [link, target] : Field(toolCase, "symlinks").items()) {
    fs::create_directories(fs::path(link).parent_path());
    fs::create_symlink(target.get<std::string>(), link);
  }
  for (const auto& [path, uid] : Field(toolCase, "chown").items()) {
    ASSERT_EQ(lchown(path.c_str(), uid.get<uid_t>(), uid.get<gid_t>()), 0) << path;
  }
}

// "gone": files in which a tool wrote its pid; each such process must have
// ended with tzdag (one that has not is killed here).
void CheckGone(const json& run) {
  for (const json& path : Field(run, "gone")) {
    const pid_t pid = ReadPid(path.get<std::string>());
    ASSERT_GT(pid, 0) << path;
    if (!ProcessEnds(pid)) {
      ADD_FAILURE() << "the process in " << path << " outlived tzdag";
      kill(pid, SIGKILL);
    }
  }
}

// The text of a "files" entry {"text", "mode", "times", "latin1"}: "text"
// "times" times over; with "latin1" each character below U+0100 as one byte,
// so that a file can hold bytes that are not UTF-8.
std::string FileText(const json& content) {
  std::string text = content["text"];
  if (content.value("latin1", false)) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
      const unsigned char c = static_cast<unsigned char>(text[i]);
      if (c == 0xC2 || c == 0xC3) {
        bytes += static_cast<char>(((c & 0x03) << 6) | (text[++i] & 0x3F));
      } else {
        bytes += text[i];
      }
    }
    text = bytes;
  }
  std::string repeated;
  for (int i = 0; i < content.value("times", 1); ++i) repeated += text;
  return repeated;
}

}  // namespace

std::string Decrypted(const std::string& encrypted) {
  char buffer[2048];
  int length = sizeof(buffer);
  if (TZPassword().decrypt(encrypted.c_str(), buffer, &length) != 0) return "(not decrypted)";
  return std::string(buffer, static_cast<size_t>(length));
}

std::string PasswordTheToolSaw(const std::string& argsFile) {
  const std::string args = ReadFile(argsFile);
  const size_t at = args.find("-dagp ");
  if (at == std::string::npos) return "(none)";
  return Decrypted(args.substr(at + 6, args.find_first_of(" \n", at + 6) - at - 6));
}

namespace {

// Key "readOnly" of a run: "file" makes the store a file tzdag cannot write,
// "folder" its folder. Root writes whatever the modes say, so as root tzdag
// runs as user 65534 then, for whom the store is another user's; the words
// that start it so are returned.
std::vector<std::string> MakeReadOnly(const TestEnv& env, const std::string& what) {
  const bool file = what == "file";
  if (geteuid() != 0) {
    chmod(file ? env.storePath().c_str() : env.dir().c_str(), file ? 0444 : 0555);
    return {};
  }
  const uid_t nobody = 65534;
  for (const auto& entry : fs::recursive_directory_iterator(env.dir())) {
    fs::permissions(entry.path(),
                    entry.is_directory() ? fs::perms::others_read | fs::perms::others_exec |
                                               fs::perms::group_read | fs::perms::group_exec
                                         : fs::perms::others_read | fs::perms::group_read,
                    fs::perm_options::add);
  }
  chmod(env.dir().c_str(), 0755);
  for (const char* own : {"/state", "/tmp"}) {
    fs::create_directories(env.dir() + own);
    EXPECT_EQ(chown((env.dir() + own).c_str(), nobody, nobody), 0);
  }
  // The other of the two stays root's: the user can write it.
  EXPECT_EQ(chown((file ? env.dir() : env.storePath()).c_str(), nobody, nobody), 0);
  return {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

// Runs tzdag as the run says, with `input` on its standard input: in the
// folder "cwd" names (made when missing), as "readOnly" needs, for
// "noPtrace" without CAP_SYS_PTRACE (so that a tool it starts can tell
// whether it is dumpable by opening /proc/$PPID/mem), for "inReadAtMost"
// through a shell that afterwards notes how far tzdag read its standard
// input, and for "outTo" through one that sends its standard output there.
ToolRun RunAsAsked(const TestEnv& env, const json& run, const std::string& input,
                   const Environment& environment) {
  std::vector<std::string> words;
  if (run.contains("readOnly")) words = MakeReadOnly(env, run["readOnly"]);
  if (run.value("noPtrace", false)) {
    const std::vector<std::string> prefix = WithoutPtrace();
    words.insert(words.end(), prefix.begin(), prefix.end());
  }
  if (run.contains("cwd")) {
    fs::create_directories(run["cwd"].get<std::string>());
    words.insert(words.end(), {"/usr/bin/env", "-C", run["cwd"]});
  }
  const std::string readFile = env.dir() + "/stdin-read";
  if (run.contains("inReadAtMost")) {
    words.insert(words.end(), {"/bin/sh", "-c",
                               "\"$@\"; status=$?; "
                               "sed -n 's/^pos:[[:space:]]*//p' /proc/self/fdinfo/0 > \"$0\"; "
                               "exit $status",
                               readFile});
  }
  if (run.contains("outTo")) {
    words.insert(words.end(), {"/bin/sh", "-c", "exec \"$@\" > \"$0\"", run["outTo"]});
  }
  words.push_back(TzdagPath());
  for (const json& arg : run["args"]) words.push_back(arg);
  const std::string program = words.front();
  words.erase(words.begin());
  const ToolRun got = RunProgram(program, words, input, environment);
  if (run.contains("readOnly")) {
    chmod(env.dir().c_str(), 0700);
    chmod(env.storePath().c_str(), 0600);
  }
  if (run.contains("inReadAtMost")) {
    EXPECT_LE(std::stoull(ReadFile(readFile)), run["inReadAtMost"].get<unsigned long long>())
        << "bytes of standard input read";
  }
  return got;
}

// The whole text of the store, or "" for one that cannot be read as a store
// (then only its bytes are compared), or one another user's run must not
// see this process hold open.
std::string DumpIfReadable(const TestEnv& env, const json& run) {
  if (!fs::exists(env.storePath()) || run.contains("readOnly")) return "";
  try {
    return tzplatform::DumpStore(env.storePath());
  } catch (const tzplatform::StoreError&) {
    return "";
  }
}

void CheckDoctorAnswer(const json& run, const std::string& out, int exitCode) {
  const json answer = json::parse(out);
  ASSERT_EQ(answer["clients"].size(), 1u) << out;
  json problems = json::array(), checks = json::array();
  for (const json& f : answer["clients"][0]["findings"]) {
    checks.push_back(f["check"]);
    if (f["severity"] == "ok") continue;
    problems.push_back(f["severity"].get<std::string>() + " " + f["check"].get<std::string>() +
                       " " + f["object"].get<std::string>() + ": " + f["text"].get<std::string>());
  }
  EXPECT_EQ(problems, run["findings"]) << out;
  if (run.contains("informs")) {
    json informs = json::array();
    for (const json& f : answer["clients"][0]["findings"]) {
      if (f["severity"] != "ok" || f["object"] == "") continue;
      informs.push_back(f["check"].get<std::string>() + " " + f["object"].get<std::string>() +
                        ": " + f["text"].get<std::string>());
    }
    EXPECT_EQ(informs, run["informs"]) << out;
  }
  if (run.contains("groups")) {
    json groups = json::array();
    for (const json& g : answer["clients"][0]["groups"]) {
      if (g["severity"] == "ok" && g["objects"][0] == "") continue;
      groups.push_back(g["severity"].get<std::string>() + " " + g["check"].get<std::string>() +
                       " " + std::to_string(g["count"].get<size_t>()) + " " + g["objects"].dump() +
                       ": " + g["text"].get<std::string>() + " | " + g["hint"].get<std::string>());
    }
    EXPECT_EQ(groups, run["groups"]) << out;
  }
  if (run.contains("checks")) {
    EXPECT_EQ(checks, run["checks"]);
  }
  EXPECT_EQ(answer["ok"], exitCode != 1);
  EXPECT_EQ(answer.contains("error"), exitCode == 1);
}

void CheckRun(const TestEnv& env, const json& run) {
  Environment environment = {{"TZ_CONFIG_STORE", env.storePath()},
                             {"TZ_REMOTE_ROOT", env.remoteRoot()},
                             {"XDG_STATE_HOME", env.dir() + "/state"},
                             {"TMPDIR", env.dir() + "/tmp"},
                             {"TZDAG_SYSTEM_CONFIG", env.dir() + "/etc/tzdag.toml"},
                             {"XDG_CONFIG_HOME", env.dir() + "/config"}};
  for (const char* unset : {"TZ_LOG_FILE", "TZ_PASSWORD_FILE", "TZ_KEY_FILE", "TZ_REMOTE_TIMEOUT",
                            "TZ_DEBUG_LEVEL", "TZ_PSHIM_SIM", "TZ_ORBAL"})
    environment[unset] = "";
  for (const auto& [name, value] : Field(run, "env").items()) environment[name] = value;
  const bool hasStore = fs::exists(env.storePath());
  const std::string dump = DumpIfReadable(env, run);
  const std::string bytes = ReadFile(env.storePath());
  fs::remove(env.dir() + "/tool-args");

  // "inSize": that many bytes of 'p' before "in".
  const std::string input = std::string(run.value("inSize", 0ul), 'p') + run.value("in", "");
  const ToolRun got = RunAsAsked(env, run, input, environment);
  // Anything the run left running is this process's child now (AdoptOrphans).
  EXPECT_EQ(KillLeftBehind(), 0) << "processes left running after tzdag ended";
  CheckGone(run);
  const int exitCode = run.value("exit", 0);
  EXPECT_EQ(got.exitCode, exitCode) << got.out << got.err;
  const bool masked = run.value("masked", false);
  if (run.contains("out") ||
      !(run.contains("outHas") || run.contains("findings") || run.contains("decrypts"))) {
    EXPECT_EQ(masked ? Masked(got.out) : got.out, Output(run.value("out", json(""))));
  }
  size_t at = 0;
  for (const json& text : Field(run, "outHas")) {
    at = got.out.find(text.get<std::string>(), at);
    ASSERT_NE(at, std::string::npos) << text << " (in this order) in\n" << got.out;
  }
  if (run.contains("err") || !run.contains("errHas")) {
    EXPECT_TRUE(LinesAre(Lines(got.err), run.value("err", std::vector<std::string>())));
  }
  for (const json& text : Field(run, "errHas")) {
    EXPECT_NE(got.err.find(text.get<std::string>()), std::string::npos) << text << " in\n"
                                                                        << got.err;
  }
  EXPECT_NO_THROW(json(got.out + got.err).dump()) << "not UTF-8";
  EXPECT_TRUE(fs::is_empty(env.dir() + "/tmp"));
  if (hasStore && !run.value("writes", false)) {
    if (!dump.empty()) {
      EXPECT_EQ(tzplatform::DumpStore(env.storePath()), dump);
    }
    EXPECT_EQ(ReadFile(env.storePath()), bytes);
  }
  for (const auto& [path, text] : Field(run, "logHas").items()) {
    EXPECT_NE(ReadFile(path).find(text.get<std::string>()), std::string::npos)
        << text << " in " << path;
  }
  for (const auto& [path, want] : Field(run, "toolLog").items()) {
    std::vector<std::string> ownLines;
    for (const std::string& line : Lines(ReadFile(path))) {
      if (line.find(" tzdag: ") != std::string::npos) ownLines.push_back(line);
    }
    EXPECT_TRUE(LinesAre(ownLines, want.get<std::vector<std::string>>())) << path;
  }
  for (const auto& [path, text] : Field(run, "fileIs").items()) {
    EXPECT_EQ(masked ? Masked(ReadFile(path)) : ReadFile(path), Output(text)) << path;
  }
  for (const auto& [folder, names] : Field(run, "listing").items()) {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
      found.insert(entry.path().filename().string());
    }
    EXPECT_EQ(json(found), names) << folder;
  }
  for (const auto& [path, mode] : Field(run, "modes").items()) {
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, Mode(mode)) << path;
  }
  for (const json& path : Field(run, "absent")) {
    EXPECT_FALSE(fs::exists(path.get<std::string>())) << path;
  }
  if (run.contains("password")) {
    EXPECT_EQ(PasswordTheToolSaw(env.dir() + "/tool-args"), run["password"]);
  }
  if (run.contains("decrypts")) {
    ASSERT_EQ(got.out.rfind("TZP2:", 0), 0u) << got.out;
    ASSERT_EQ(got.out.back(), '\n');
    EXPECT_EQ(Decrypted(got.out.substr(0, got.out.size() - 1)), run["decrypts"]);
  }
  if (run.contains("findings")) CheckDoctorAnswer(run, got.out, exitCode);
  for (const auto& [subclient, content] : Field(run, "content").items()) {
    EXPECT_EQ(json(SubclientContent(std::stoull(subclient))), content);
  }
}

}  // namespace

json ToolData(const std::string& file) {
  return json::parse(ReadFile(std::string(TZ_TEST_DATA_DIR) + "/tool/" + file));
}

namespace {

// A DAG client of the size the tool's output must read well at: DAG01
// (client 2) with member servers MBX01 .. MBX16 on hosts mbx01.test ..,
// all with the agent and three in four selected (not MBX04, MBX08, ...);
// 1,600 databases Mailbox\DB0000 .. with four copies each on consecutive
// servers, the first one active, every seventh with circular logging; the
// default subclient 10 and sales (11) with the first 400 databases in its
// content, each associated with the server `associationOffset` (default 0)
// after its active one. All subclients prefer passive copies.
json FullSizeFixture(const json& shape) {
  const int servers = 16, databases = 1600, salesDatabases = 400;
  const int offset = shape.value("associationOffset", 0);
  auto server = [](int i) {
    return "MBX" + std::string(i % 16 < 9 ? "0" : "") + std::to_string(i % 16 + 1);
  };
  auto host = [&](int i) {
    std::string name = server(i);
    for (char& c : name) c = static_cast<char>(std::tolower(c));
    return name + ".test";
  };
  auto database = [](int i) {
    std::string number = std::to_string(i);
    return "Mailbox\\DB" + std::string(4 - number.size(), '0') + number;
  };
  json members = json::array(), clients = json::array(), remoteMembers = json::array(),
       hosts = json::array(), dbs = json::array(), content = json::array(),
       associations = json::array();
  for (int i = 0; i < servers; ++i) {
    members.push_back({{"name", server(i)}, {"selected", i % 4 != 3}, {"agentInstalled", true}});
    clients.push_back(
        {{"id", 100 + i}, {"name", server(i)}, {"host", host(i)}, {"packages", {151}}});
    remoteMembers.push_back({{"name", server(i)}});
    hosts.push_back(host(i));
  }
  clients.insert(clients.begin(), json{{"id", 2}, {"name", "DAG01"}, {"memberServers", members}});
  for (int i = 0; i < databases; ++i) {
    json copies = json::array();
    for (int c = 0; c < 4; ++c) copies.push_back({{"server", server(i + c)}, {"active", c == 0}});
    dbs.push_back({{"name", database(i)}, {"circularLogging", i % 7 == 0}, {"copies", copies}});
    if (i >= salesDatabases) continue;
    content.push_back({{"description", "Mailbox"}, {"storeName", database(i).substr(8)}});
    associations.push_back({{"database", database(i)}, {"server", server(i + offset)}});
  }
  json subclient = {{"orbalId", 1},
                    {"clientId", 2},
                    {"appType", 53},
                    {"backupSet", 7},
                    {"automatic", true},
                    {"backupFromPassive", true},
                    {"useActiveIfNoPassive", true}};
  json defaultSubclient = subclient, sales = subclient;
  defaultSubclient.update({{"appId", 10}, {"name", "default"}, {"default", true}});
  sales.update(
      {{"appId", 11}, {"name", "sales"}, {"content", content}, {"associations", associations}});
  return {{"store", {{"clients", clients}, {"subclients", {defaultSubclient, sales}}}},
          {"remote",
           {{"hosts", hosts},
            {"dags", {{{"name", "DAG01"}, {"members", remoteMembers}, {"databases", dbs}}}}}}};
}

}  // namespace

json ToolFixture(const json& name) {
  if (name.is_object() && name.contains("fullSize")) return FullSizeFixture(name["fullSize"]);
  if (name.is_object()) return name;
  if (name == "demo") return DemoFixture();
  if (name == "none") return json::object();
  const json named = ToolData("fixtures.json").at(name.get<std::string>());
  return named.contains("base") ? ToolFixture(named["base"]).patch(named["patch"]) : named;
}

void RunToolCase(const json& toolCase) {
  const json fixture = ToolFixture(toolCase.value("fixture", json("demo")))
                           .patch(toolCase.value("patch", json::array()));
  TestEnv env(fixture);
  AdoptOrphans();
  const json c = Filled(toolCase, {{"{dir}", env.dir()},
                                   {"{root}", env.remoteRoot()},
                                   {"{sim}", SimulatorPath()},
                                   {"{version}", TZDAG_VERSION_STRING}});
  // What a run encrypts is decrypted here with the key tzdag makes beside
  // the store.
  tzplatform::SetKeyFile(env.dir() + "/tzdag.key");
  fs::create_directories(env.dir() + "/tmp");
  for (const auto& [host, script] : Field(c, "tools").items()) {
    const json hosts = host == "*" ? fixture["remote"]["hosts"] : json::array({host});
    for (const json& each : hosts) env.InstallTool(each, script);
  }
  if (c.contains("journal")) {
    StoreSql(env.storePath(), "PRAGMA journal_mode = " + c["journal"].get<std::string>());
  }
  if (c.contains("corrupt")) CorruptStore(env.storePath(), c["corrupt"]);
  for (const json& path : Field(c, "copyStore")) {
    WriteFile(path, ReadFile(env.storePath()), 0600);
  }
  if (c.contains("folderMode")) chmod(env.dir().c_str(), Mode(c["folderMode"]));
  for (const json& folder : Field(c, "folders")) fs::create_directories(folder.get<std::string>());
  for (const auto& [path, content] : Field(c, "files").items()) {
    fs::create_directories(fs::path(path).parent_path());
    if (content.is_string()) {
      WriteFile(path, content, 0600);
    } else if (content.contains("text")) {
      WriteFile(path, FileText(content), Mode(content.value("mode", json("600"))));
    } else {
      WriteFile(path, content.dump(), 0600);
    }
  }
  PlantForeignFiles(c);
  for (const json& run : c.contains("runs") ? c["runs"] : json::array({c})) {
    SCOPED_TRACE(run["args"].dump());
    CheckRun(env, run);
  }
}

std::string ToolCaseName(const ::testing::TestParamInfo<json>& info) {
  return info.param["name"];
}

}  // namespace tztest
