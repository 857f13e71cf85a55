#include "bench_support.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "tzdag/TzDagApi.h"
#include "tzplatform/codec.h"
#include "tzplatform/fixture.h"
#include "tzplatform/settings.h"
#include "tzplatform/store.h"

#if defined(__has_include)
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define TZ_BENCH_TOGGLE_COLLECT() CALLGRIND_TOGGLE_COLLECT
#endif
#endif
#ifndef TZ_BENCH_TOGGLE_COLLECT
#define TZ_BENCH_TOGGLE_COLLECT() \
  do {                            \
  } while (false)
#endif

namespace tzbench {

Measured::Measured() {
  TZ_BENCH_TOGGLE_COLLECT();
}

Measured::~Measured() {
  TZ_BENCH_TOGGLE_COLLECT();
}

void KeepFreedMemory() {
  static const bool done = [] {
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);  // the largest it takes
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
    return true;
  }();
  (void)done;
}

void Require(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "benchmark set-up failed: %s\n", what.c_str());
  std::abort();
}

std::string ServerName(int index) {
  char name[16];
  std::snprintf(name, sizeof name, "MBX%02d", index + 1);
  return name;
}

namespace {

std::string HostName(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "mbx%02d.bench", index + 1);
  return name;
}

std::string Description(int index) {
  char text[32];
  std::snprintf(text, sizeof text, "Mailbox%05d", index);
  return text;
}

std::string StoreName(int index) {
  char text[32];
  std::snprintf(text, sizeof text, "DB%05d", index);
  return text;
}

bool HasCircularLogging(int index) {
  return index % 7 == 0;
}

}  // namespace

std::string DatabaseName(int index) {
  return Description(index) + "\\" + StoreName(index);
}

std::string DbAnswerXml(int databases, int copies, bool pretty, int first) {
  Uvo::DAGDBResp resp;
  CNMessageList list;
  list.reserve(static_cast<size_t>(databases));
  for (int i = first; i < first + databases; ++i) {
    Uvo::DAGDB db;
    db.setDbName(DatabaseName(i));
    CNStringList servers;
    for (int c = 0; c < copies; ++c) servers.push_back(ServerName((i + c) % kMemberServers));
    db.setBackupServer(servers[copies > 1 ? 1 : 0]);
    db.setCopyServers(servers);
    db.setCircularLogging(HasCircularLogging(i));
    list.push_back(std::move(db));
  }
  resp.setDatabases(list);
  std::string xml;
  resp.serialize(xml, pretty);
  return xml;
}

Uvo::DAGDBResp DecodeAnswer(const std::string& xml) {
  Uvo::RegisterSubsystem();
  TZGui::RegisterSubsystem();
  std::unique_ptr<CNMessageBase> decoded;
  tzplatform::DecodeResult result = tzplatform::DecodeMessage(xml, decoded);
  Require(result.ok && decoded && decoded->getTagID() == Uvo::DAGDBResp::kClassKey,
          "the answer does not decode: " + result.error);
  Uvo::DAGDBResp resp;
  static_cast<CNMessageBase&>(resp) = *decoded;
  return resp;
}

nlohmann::json DagFixture(const DagShape& shape) {
  using json = nlohmann::json;
  json memberEntries = json::array();
  json memberClients = json::array();
  json remoteMembers = json::array();
  json hosts = json::array();
  for (int i = 0; i < kMemberServers; ++i) {
    memberEntries.push_back(
        {{"name", ServerName(i)}, {"selected", i % 4 != 3}, {"agentInstalled", true}});
    memberClients.push_back({{"id", 100 + i},
                             {"name", ServerName(i)},
                             {"host", HostName(i)},
                             {"release", 16},
                             {"dagAssociated", true},
                             {"packages", {151}}});
    remoteMembers.push_back({{"name", ServerName(i)}, {"agent", true}});
    hosts.push_back(HostName(i));
  }
  json clients = json::array();
  clients.push_back({{"id", kDagClientId},
                     {"name", "DAG01"},
                     {"host", "dag01.bench"},
                     {"memberServers", memberEntries}});
  for (const json& client : memberClients) clients.push_back(client);

  json content = json::array();
  json associations = json::array();
  for (int i = shape.contentFirst; i < shape.contentFirst + shape.contentEntries; ++i) {
    content.push_back(
        {{"description", Description(i)}, {"storeName", StoreName(i)}, {"forceFull", false}});
    associations.push_back(
        {{"database", DatabaseName(i)}, {"server", ServerName(i % kMemberServers)}});
  }
  auto subclient = [](uint32_t appId, const char* name, bool isDefault) {
    return json{{"orbalId", kOrbalId},
                {"appId", appId},
                {"clientId", kDagClientId},
                {"appType", 53},
                {"backupSet", 7},
                {"name", name},
                {"default", isDefault},
                {"deleted", false},
                {"automatic", true},
                {"backupFromPassive", true},
                {"useActiveIfNoPassive", true},
                {"useLastActivationPreference", false}};
  };
  json defaultSubclient = subclient(kDefaultApp, "default", true);
  defaultSubclient["content"] = json::array();
  defaultSubclient["associations"] = json::array();
  json customSubclient = subclient(kCustomApp, "custom", false);
  customSubclient["content"] = content;
  customSubclient["associations"] = associations;

  json databases = json::array();
  for (int i = 0; i < shape.databases; ++i) {
    json copies = json::array();
    for (int c = 0; c < shape.copies; ++c) {
      copies.push_back({{"server", ServerName((i + c) % kMemberServers)}, {"active", c == 0}});
    }
    databases.push_back({{"name", DatabaseName(i)},
                         {"circularLogging", HasCircularLogging(i)},
                         {"copies", copies}});
  }

  return json{
      {"store", {{"clients", clients}, {"subclients", {defaultSubclient, customSubclient}}}},
      {"remote",
       {{"hosts", hosts},
        {"dags", {{{"name", "DAG01"}, {"members", remoteMembers}, {"databases", databases}}}}}}};
}

std::string SimulatorPath() {
#ifdef TZ_PSHIM_SIM_PATH
  return TZ_PSHIM_SIM_PATH;
#else
  return std::string();
#endif
}

World::World(const nlohmann::json& fixture) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/tzdag-bench-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  Require(mkdtemp(buffer.data()) != nullptr, "mkdtemp failed");
  dir_ = buffer.data();
  tzplatform::CreateStoreFromFixture(fixture.at("store"), storePath());
  if (fixture.contains("remote") && !SimulatorPath().empty()) {
    tzplatform::CreateRemoteRootFromFixture(fixture["remote"], remoteRoot(), SimulatorPath());
  } else {
    std::filesystem::create_directories(remoteRoot());
  }
  Use();
}

void World::Use() const {
  tzplatform::SetStorePath(storePath());
  tzplatform::SetRemoteRoot(remoteRoot());
  tzplatform::SetLogFile(dir_ + "/log.txt");
  tzplatform::SetDebugLevel(0);
}

World::~World() {
  tzplatform::ResetSettings();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

namespace {

sqlite3* OpenDatabase(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  Require(rc == SQLITE_OK, "cannot open " + path);
  sqlite3_busy_timeout(db, 30000);
  return db;
}

}  // namespace

StoreSnapshot::StoreSnapshot(const std::string& storePath) : copyPath_(storePath + ".snapshot") {
  std::filesystem::remove(copyPath_);
  tzplatform::CopyStore(storePath, copyPath_);
  live_ = OpenDatabase(storePath);
  copy_ = OpenDatabase(copyPath_);
}

StoreSnapshot::~StoreSnapshot() {
  sqlite3_close_v2(copy_);
  sqlite3_close_v2(live_);
  std::error_code ignored;
  std::filesystem::remove(copyPath_, ignored);
}

void StoreSnapshot::Restore() {
  sqlite3_backup* backup = sqlite3_backup_init(live_, "main", copy_, "main");
  Require(backup != nullptr, std::string("cannot restore the store: ") + sqlite3_errmsg(live_));
  int rc = sqlite3_backup_step(backup, -1);
  sqlite3_backup_finish(backup);
  Require(rc == SQLITE_DONE, std::string("cannot restore the store: ") + sqlite3_errstr(rc));
  // The copy went through the write-ahead log; folding it into the file
  // leaves the store as a freshly copied file would be, so that the measured
  // call does not pay for checkpointing the restore.
  rc = sqlite3_wal_checkpoint_v2(live_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  Require(rc == SQLITE_OK, std::string("cannot checkpoint the store: ") + sqlite3_errmsg(live_));
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env) {
  int pipeFds[2];
  Require(pipe2(pipeFds, O_CLOEXEC) == 0, "pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  Require(rc == 0, "cannot start " + program);

  ProgramRun run;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(pipeFds[0], buffer, sizeof buffer);
    if (got > 0) {
      run.output.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;
    }
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

namespace {

std::vector<std::string> SplitAtBlanks(const std::string& text) {
  std::vector<std::string> pieces;
  std::string piece;
  for (char c : text) {
    if (c == ' ') {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
    } else {
      piece += c;
    }
  }
  if (!piece.empty()) pieces.push_back(piece);
  return pieces;
}

}  // namespace

RecordedDag::RecordedDag(int copies) {
  KeepFreedMemory();
  DagShape shape;
  shape.databases = kDatabases;
  shape.copies = copies;
  shape.contentFirst = kDatabases / 8;
  shape.contentEntries = kProtected;
  const nlohmann::json fixture = DagFixture(shape);
  world = std::make_unique<World>(fixture);
  Require(!SimulatorPath().empty(), "the build made no simulator");
  fixturePath = world->dir() + "/fixture.json";
  std::ofstream(fixturePath) << fixture.dump();

  tzplatform::SessionRecorder recorder;
  Uvo::DAGDBResp resp;
  std::string server;
  Require(DiscoverExDatabase(kOrbalId, kDagClientId, 0, server, resp, 0),
          "the first discovery failed");
  Require(recorder.Attaches().size() == 1, "the first discovery did not run once");
  request = recorder.Attaches().front();
  program = world->remoteRoot() + "/" + request.host + "/" + request.executable;
  args = SplitAtBlanks(request.arguments);
  env = {"TZ_REMOTE_HOST=" + request.host, "TZ_LOCAL_CLIENT=" + request.localClientName};
  ProgramRun run = RunProgram(program, args, env);
  Require(run.exitStatus == 0 && !run.output.empty(), "the simulator gave no answer");
  answer = run.output;

  answerPath = world->dir() + "/answer.xml";
  std::ofstream(answerPath, std::ios::binary) << answer;
  catRoot = world->dir() + "/remote-cat";
  for (const auto& host : std::filesystem::directory_iterator(world->remoteRoot())) {
    if (!host.is_directory()) continue;
    const std::string folder = catRoot + "/" + host.path().filename().string();
    std::filesystem::create_directories(folder);
    const std::string tool = folder + "/" + request.executable;
    std::ofstream(tool) << "#!/bin/sh\nexec cat '" << answerPath << "'\n";
    chmod(tool.c_str(), 0755);
  }
  catTool = catRoot + "/" + request.host + "/" + request.executable;
}

}  // namespace tzbench
