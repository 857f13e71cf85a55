// What the benchmarks share: database discovery answers and DAG fixtures of a
// chosen size, a scratch folder with the platform pointed at it, a way to put
// a store back as it was, and a plain run of the simulator.
#ifndef TZ_BENCH_BENCH_SUPPORT_H_
#define TZ_BENCH_BENCH_SUPPORT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tzdag/records.h"
#include "tzplatform/session.h"

struct sqlite3;

namespace tzbench {

// The member servers of the benchmark DAG: MBX01 .. MBX16.
constexpr int kMemberServers = 16;
std::string ServerName(int index);  // 0-based: ServerName(0) == "MBX01"

// The name of database `index` of the benchmark DAG, "Description\StoreName".
std::string DatabaseName(int index);

// The XML text of a database discovery answer of `databases` databases
// (DatabaseName(first) on) with `copies` copy servers each, written by the
// codec as the tool writes it (`pretty`) or as the library logs it. Every
// seventh database has circular logging.
std::string DbAnswerXml(int databases, int copies, bool pretty = true, int first = 0);

// The answer decoded, as the session hands it over; aborts when it does not
// decode.
Uvo::DAGDBResp DecodeAnswer(const std::string& xml);

// The shape of a DAG and its backup configuration.
struct DagShape {
  int databases = 1600;  // databases of the DAG, DatabaseName(0 .. databases-1)
  int copies = 4;        // copies of each database, first the active one
  // Content of the custom subclient (app id kCustomApp): databases
  // contentFirst .. contentFirst + contentEntries - 1, with an association
  // for each.
  int contentFirst = 0;
  int contentEntries = 0;
};

// Ids of the benchmark configuration.
constexpr uint32_t kOrbalId = 1;
constexpr uint32_t kDagClientId = 2;
constexpr uint32_t kDefaultApp = 10;  // the backup set's default subclient
constexpr uint32_t kCustomApp = 11;   // the custom subclient with DagShape's content

// A fixture of one DAG client DAG01 whose member servers MBX01 .. MBX16 all
// carry the agent and of which three in four are selected (MBX04, MBX08, ...
// are not), one client per member server, a default and a custom subclient,
// and a remote root in which every member server's host runs the simulator.
nlohmann::json DagFixture(const DagShape& shape);

// A scratch folder holding the store and remote root of a fixture, with the
// platform pointed at them and the log written to a file there at debug
// level 0. Removed with everything in it.
class World {
 public:
  explicit World(const nlohmann::json& fixture);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // Points the platform at this world again (after another one was made).
  void Use() const;

  const std::string& dir() const { return dir_; }
  std::string storePath() const { return dir_ + "/store.db"; }
  std::string remoteRoot() const { return dir_ + "/remote"; }

 private:
  std::string dir_;
};

// A copy of a store taken at construction, put back into the live store by
// Restore (through SQLite's backup, so that connections that have the store
// open see the old content, as after copying the file back, and with the
// write-ahead log emptied).
class StoreSnapshot {
 public:
  explicit StoreSnapshot(const std::string& storePath);
  ~StoreSnapshot();
  StoreSnapshot(const StoreSnapshot&) = delete;
  StoreSnapshot& operator=(const StoreSnapshot&) = delete;

  void Restore();

 private:
  std::string copyPath_;
  sqlite3* live_ = nullptr;
  sqlite3* copy_ = nullptr;
};

// The simulator's path, empty when the build made none.
std::string SimulatorPath();

// What one run of a program gave on standard output.
struct ProgramRun {
  std::string output;
  int exitStatus = -1;
};

// Runs `program` with `args` and `env` (added to nothing else) and reads its
// standard output to the end: the child's share of a remote run, with no
// library code around it.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::vector<std::string>& env);

// A full-size DAG of `copies` copies per database (16 member servers, 1,600
// databases, a custom subclient that protects 400 of them) and what a first
// discovery of the whole DAG client through the simulator showed: the tool's
// command line and environment, and its answer. Beside it, a second remote
// root in which every host's tool only prints that answer (sh + cat).
struct RecordedDag {
  static constexpr int kDatabases = 1600;
  static constexpr int kProtected = 400;

  explicit RecordedDag(int copies);

  std::unique_ptr<World> world;
  std::string fixturePath;  // the fixture the world was made from, in a file
  tzplatform::AttachRequest request;
  std::string program;  // the simulator, as the request started it
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::string answer;
  std::string answerPath;  // the answer, in a file
  std::string catRoot;
  std::string catTool;  // the first host's tool in catRoot
};

// Marks the measured part of an iteration for callgrind, which counts only
// what runs inside one when started with --collect-atstart=no (scripts/bench
// --callgrind); costs nothing measurable otherwise.
class Measured {
 public:
  Measured();
  ~Measured();
  Measured(const Measured&) = delete;
  Measured& operator=(const Measured&) = delete;
};

// Makes the allocator keep the memory it was given instead of handing it
// back to the system after each large free, so that a benchmark measures
// the code and not the machine's page faults (on this kind of VM a fresh
// page costs several microseconds, and which iteration pays for it depends
// on heap layout).
void KeepFreedMemory();

// Aborts the benchmark program with `what` when `ok` is false.
void Require(bool ok, const std::string& what);

}  // namespace tzbench

#endif  // TZ_BENCH_BENCH_SUPPORT_H_
