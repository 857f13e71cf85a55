// What `doctor` and `sync` tell monitoring systems: with --nagios one
// status line and exit status as a Nagios/Icinga plugin gives them, with
// --metrics FILE a Prometheus text file for node_exporter's textfile
// collector, replaced as a whole so that the collector never reads half of
// one.
#ifndef TZDAG_TOOL_MONITORING_H_
#define TZDAG_TOOL_MONITORING_H_

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "sync_run.h"
#include "tzdag/TzDagApi.h"

namespace tzdag_tool {

// --- Plugin mode ---------------------------------------------------------------

// A plugin's states, which are its exit statuses.
enum PluginState : int {
  kPluginOk = 0,
  kPluginWarning = 1,
  kPluginCritical = 2,
  kPluginUnknown = 3
};

// Whether `args` (without the program name) ask for a plugin's answer: a
// --nagios before any "--". Known before the command line is parsed, so
// that a usage error is answered as a plugin answers it too.
bool AsksForPlugin(const std::vector<std::string>& args);
void SetPluginMode(bool plugin);
bool PluginMode();

// The status line of a run that could not give its check's answer (a
// usage or set-up error, a failure once work had started, a signal):
// "TZDAG UNKNOWN - <what>". The run then exits UNKNOWN.
std::string PluginProblem(const std::string& what);

// The exit status of the process for `status`: as it is outside plugin
// mode; in it, the state the command answered, and UNKNOWN when a problem
// was reported or the status is no plugin state.
int PluginExit(int status);

// One answer: the state, a short summary for the status line, one line per
// DAG client after it, and the performance data.
struct PluginAnswer {
  PluginState state = kPluginUnknown;
  std::string summary;
  std::vector<std::string> details;
  size_t failures = 0;
  size_t warnings = 0;
  size_t databases = 0;
  size_t unprotected = 0;
  bool unprotectedFails = false;  // the doctor's finding is a failure, the sync's a warning
  double seconds = 0;
};

// "TZDAG <STATE> - <summary> | 'failures'=..;..", then the details, one a
// line; no newline at the end.
std::string PluginText(const PluginAnswer& answer);

// --- Metrics ---------------------------------------------------------------------

struct MetricSample {
  std::vector<std::pair<std::string, std::string>> labels;  // values as bytes, unescaped
  double value = 0;
};

// One gauge: its name, its help text (plain ASCII) and its samples.
struct MetricFamily {
  std::string name;
  std::string help;
  std::vector<MetricSample> samples;
};

// The families in Prometheus's text format: HELP and TYPE lines, then one
// line a sample; families without samples are left out. Label values that
// are not UTF-8 show U+FFFD, as tzdag shows them elsewhere.
std::string MetricsText(const std::vector<MetricFamily>& families);

// `bytes` as a label value between double quotes: backslash, double quote
// and newline escaped.
std::string LabelValue(const std::string& bytes);

// What a metrics file of an earlier run (`text`) says of gauge `name`: each
// sample whose line parses, with its labels unescaped. Lines that do not
// parse are passed over: the file is rewritten whole in any case.
std::vector<MetricSample> ReadSamples(const std::string& text, const std::string& name);

// Replaces `path` with `text`: written to a temporary file in the same
// folder, flushed to disk, mode 0644, then renamed over it, so that a
// reader sees the old file or the new one, never a part. Throws
// std::runtime_error saying why when it cannot; the temporary file never
// stays behind.
void WriteFileAtomically(const std::string& path, const std::string& text);

// Seconds from `start` until now.
double SecondsSince(std::chrono::steady_clock::time_point start);

// --- What doctor and sync report -------------------------------------------------

// One doctor run, as the monitoring outputs need it.
struct DoctorRun {
  uint32_t orbalId = 0;
  std::string storePath;
  std::vector<_tagDoctorFinding> storeFindings;
  struct Client {
    uint32_t id = 0;
    std::string name;
    const _tagDoctorReport* report = nullptr;
    bool complete = false;  // every check could run
    double seconds = 0;
  };
  std::vector<Client> clients;
  double seconds = 0;
};

PluginAnswer DoctorPluginAnswer(const DoctorRun& run);
PluginAnswer SyncPluginAnswer(const SyncReport& report, double seconds);

// The metrics of a run made at `now`; `previous` is the text of the file it
// replaces (empty when none), from which a DAG client that did not succeed
// this time keeps its last success timestamp (0 when it never succeeded).
std::string DoctorMetrics(const DoctorRun& run, const std::string& previous, std::time_t now);
std::string SyncMetrics(const SyncReport& report, const std::string& previous, std::time_t now);

// --nagios and --metrics FILE of a command.
class MonitoringOptions {
 public:
  void Add(CLI::App* command);
  // At the start of the run: a usage error for --nagios with --json, and a
  // set-up error for a metrics file whose folder is missing or cannot be
  // written, and for metrics of a dry run (`dryRun`), whose counts are not
  // the store's. Starts the run's clock.
  void Start(const GlobalOptions& global, bool dryRun = false);
  bool nagios() const { return nagios_; }
  const std::string& metricsFile() const { return metricsFile_; }
  double SecondsSinceStart() const;

  // Writes the metrics file when one was asked for (`metrics` makes its
  // text from what the file held before). Throws std::runtime_error saying
  // why it could not.
  template <typename MakeText>
  void WriteMetrics(MakeText metrics) const {
    if (!metricsFile_.empty()) WriteMetricsText(metrics(PreviousMetrics()));
  }
  // With --nagios: writes the metrics as above, then prints `answer` as the
  // run's only output and returns its state, the exit status. (A metrics
  // file that cannot be written is the run's problem, answered UNKNOWN.)
  template <typename MakeText>
  int Answer(const PluginAnswer& answer, MakeText metrics) const {
    WriteMetrics(metrics);
    PrintJsonText(PluginText(answer));
    return answer.state;
  }

 private:
  std::string PreviousMetrics() const;
  void WriteMetricsText(const std::string& text) const;

  bool nagios_ = false;
  std::string metricsFile_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace tzdag_tool

#endif  // TZDAG_TOOL_MONITORING_H_
