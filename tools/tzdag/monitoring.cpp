#include "monitoring.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include <boost/algorithm/string/join.hpp>

#include "findings.h"
#include "output.h"

namespace tzdag_tool {
namespace {

std::atomic<bool> g_plugin{false};
// Whether the run reported a problem instead of its check's answer.
std::atomic<bool> g_pluginProblem{false};

const char* StateName(PluginState state) {
  switch (state) {
    case kPluginOk:
      return "OK";
    case kPluginWarning:
      return "WARNING";
    case kPluginCritical:
      return "CRITICAL";
    default:
      return "UNKNOWN";
  }
}

// `bytes` for the plugin's output: as people are shown it, and without the
// "|" that would start the performance data.
std::string PluginWords(const std::string& bytes) {
  std::string text = DisplayText(bytes);
  for (size_t at = text.find('|'); at != std::string::npos; at = text.find('|', at)) {
    text.replace(at, 1, "\xEF\xBF\xBD");
  }
  return text;
}

// "A, B, C, D, E and 3 more"
std::string Names(const std::vector<std::string>& names) {
  constexpr size_t kShown = 5;
  std::string text;
  for (size_t i = 0; i < names.size() && i < kShown; ++i) {
    text += (i == 0 ? "" : ", ") + names[i];
  }
  if (names.size() > kShown) text += " and " + std::to_string(names.size() - kShown) + " more";
  return text;
}

// The summary's parts about clients: "1 of 3 DAG clients failed: DAG01",
// then "1 with warnings: DAG02"; the first part names the whole.
class ClientParts {
 public:
  explicit ClientParts(size_t total) : total_(total) {}
  void Add(const char* what, const std::vector<std::string>& names) {
    if (names.empty()) return;
    std::string part = std::to_string(names.size());
    if (parts_.empty()) part += " of " + Plural(total_, "DAG client");
    parts_.push_back(part + " " + what + ": " + Names(names));
  }
  std::vector<std::string> parts_;

 private:
  size_t total_;
};

std::string ClientName(uint32_t id, const std::string& name) {
  return name.empty() ? "client " + std::to_string(id) : name;
}

std::string ClientLabel(uint32_t id, const std::string& name) {
  return "DAG client " + std::to_string(id) + (name.empty() ? "" : " (" + name + ")");
}

// "2 failures (dropped, unprotected), 1 warning (circular-logging)"
std::string FindingCounts(const std::vector<_tagDoctorFinding>& findings) {
  std::string text;
  for (DoctorSeverity severity : {kDoctorFail, kDoctorWarn}) {
    size_t count = 0;
    std::vector<std::string> checks;
    for (const _tagDoctorFinding& f : findings) {
      if (f.severity != severity) continue;
      ++count;
      if (std::find(checks.begin(), checks.end(), f.check) == checks.end()) {
        checks.push_back(f.check);
      }
    }
    if (!text.empty()) text += ", ";
    text += Plural(count, severity == kDoctorFail ? "failure" : "warning");
    if (!checks.empty()) text += " (" + boost::algorithm::join(checks, ", ") + ")";
  }
  return text;
}

// A client whose checks could not all run is not known to be well or ill.
PluginState DoctorState(const DoctorRun::Client& client) {
  if (!client.complete) return kPluginUnknown;
  switch (client.report->worst) {
    case kDoctorFail:
      return kPluginCritical;
    case kDoctorWarn:
      return kPluginWarning;
    default:
      return kPluginOk;
  }
}

// The run's state from its parts': a failure known beats a check that could
// not run, which beats a warning.
PluginState Worse(PluginState a, PluginState b) {
  auto rank = [](PluginState s) {
    return s == kPluginCritical ? 3 : s == kPluginUnknown ? 2 : s == kPluginWarning ? 1 : 0;
  };
  return rank(a) >= rank(b) ? a : b;
}

PluginState SyncState(SyncStatus status) {
  switch (status) {
    case SyncStatus::kFail:
      return kPluginCritical;
    case SyncStatus::kWarn:
      return kPluginWarning;
    default:
      return kPluginOk;
  }
}

std::string Number(double value) {
  char text[64];
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    std::snprintf(text, sizeof(text), "%.0f", value);
  } else {
    std::snprintf(text, sizeof(text), "%.3f", value);
  }
  return text;
}

// --- Metrics of one DAG client ------------------------------------------------

using Labels = std::vector<std::pair<std::string, std::string>>;

Labels ClientLabels(uint32_t orbalId, uint32_t clientId, const std::string& name) {
  return {{"installation", std::to_string(orbalId)},
          {"client_id", std::to_string(clientId)},
          {"client", name}};
}

Labels With(Labels labels, const char* name, const std::string& value) {
  labels.emplace_back(name, value);
  return labels;
}

// The last success timestamps of an earlier file, by installation and
// client id (a renamed client keeps its own).
class LastSuccess {
 public:
  LastSuccess(const std::string& previous, const std::string& metric) {
    for (const MetricSample& sample : ReadSamples(previous, metric)) {
      std::string orbal, client;
      for (const auto& [name, value] : sample.labels) {
        if (name == "installation") orbal = value;
        if (name == "client_id") client = value;
      }
      if (std::isfinite(sample.value) && sample.value >= 0) known_[{orbal, client}] = sample.value;
    }
  }
  // `now` when the client succeeded this run; else what the earlier file
  // said, or 0 for never.
  double For(uint32_t orbalId, uint32_t clientId, bool succeeded, std::time_t now) const {
    if (succeeded) return static_cast<double>(now);
    auto found = known_.find({std::to_string(orbalId), std::to_string(clientId)});
    return found == known_.end() ? 0 : found->second;
  }

 private:
  std::map<std::pair<std::string, std::string>, double> known_;
};

double Seconds(int64_t milliseconds) {
  return static_cast<double>(milliseconds) / 1000.0;
}

double Milliseconds(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

// The findings of `findings` by check and severity: each check that gave
// one, in the order they came, with every severity (zero included, so that
// a problem that goes away leaves a 0 rather than no sample).
void AddFindings(MetricFamily& family, const Labels& labels,
                 const std::vector<_tagDoctorFinding>& findings) {
  std::vector<std::string> checks;
  for (const _tagDoctorFinding& f : findings) {
    if (std::find(checks.begin(), checks.end(), f.check) == checks.end()) {
      checks.push_back(f.check);
    }
  }
  for (const std::string& check : checks) {
    for (DoctorSeverity severity : {kDoctorFail, kDoctorWarn, kDoctorOk}) {
      const char* name = severity == kDoctorFail ? "fail" : severity == kDoctorWarn ? "warn" : "ok";
      family.samples.push_back(
          {With(With(labels, "check", check), "severity", name),
           static_cast<double>(CountFindings(findings, severity, check.c_str()))});
    }
  }
}

}  // namespace

// --- Plugin mode -------------------------------------------------------------------

bool AsksForPlugin(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg == "--") return false;
    if (arg == "--nagios") return true;
  }
  return false;
}

void SetPluginMode(bool plugin) {
  g_plugin = plugin;
}

bool PluginMode() {
  return g_plugin;
}

std::string PluginProblem(const std::string& what) {
  g_pluginProblem = true;
  return std::string("TZDAG UNKNOWN - ") + PluginWords(what);
}

int PluginExit(int status) {
  if (!g_plugin) return status;
  if (g_pluginProblem || status < kPluginOk || status > kPluginUnknown) return kPluginUnknown;
  return status;
}

std::string PluginText(const PluginAnswer& answer) {
  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.3f", answer.seconds);
  // 'label'=value[UOM];warn;crit;min: a failure is critical from the first,
  // a warning warns from the first.
  std::string text =
      std::string("TZDAG ") + StateName(answer.state) + " - " + PluginWords(answer.summary) +
      " | 'failures'=" + std::to_string(answer.failures) +
      ";;0;0 'warnings'=" + std::to_string(answer.warnings) +
      ";0;;0 'databases'=" + std::to_string(answer.databases) +
      ";;;0 'unprotected'=" + std::to_string(answer.unprotected) +
      (answer.unprotectedFails ? ";;0;0" : ";0;;0") + " 'seconds'=" + seconds + "s;;;0";
  for (const std::string& line : answer.details) text += "\n" + PluginWords(line);
  return text;
}

// --- Metrics -----------------------------------------------------------------------

std::string LabelValue(const std::string& bytes) {
  std::string text;
  size_t start = 0;
  for (size_t i = 0; i <= bytes.size(); ++i) {
    if (i < bytes.size() && bytes[i] != '\\' && bytes[i] != '"' && bytes[i] != '\n') continue;
    // The special characters are ASCII, so a piece between them never splits
    // a UTF-8 sequence.
    text += DisplayText(bytes.substr(start, i - start));
    if (i < bytes.size()) text += bytes[i] == '\n' ? std::string("\\n") : "\\" + bytes.substr(i, 1);
    start = i + 1;
  }
  return text;
}

std::string MetricsText(const std::vector<MetricFamily>& families) {
  std::string text;
  for (const MetricFamily& family : families) {
    if (family.samples.empty()) continue;
    text += "# HELP " + family.name + " " + family.help + "\n";
    text += "# TYPE " + family.name + " gauge\n";
    for (const MetricSample& sample : family.samples) {
      text += family.name;
      if (!sample.labels.empty()) {
        text += "{";
        for (size_t i = 0; i < sample.labels.size(); ++i) {
          text += (i == 0 ? "" : ",") + sample.labels[i].first + "=\"" +
                  LabelValue(sample.labels[i].second) + "\"";
        }
        text += "}";
      }
      text += " " + Number(sample.value) + "\n";
    }
  }
  return text;
}

std::vector<MetricSample> ReadSamples(const std::string& text, const std::string& name) {
  std::vector<MetricSample> samples;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.compare(0, name.size(), name) != 0) continue;
    size_t i = name.size();
    MetricSample sample;
    bool good = i < line.size() && (line[i] == '{' || line[i] == ' ');
    if (good && line[i] == '{') {
      ++i;
      while (good && i < line.size() && line[i] != '}') {
        const size_t equals = line.find('=', i);
        good = equals != std::string::npos && equals + 1 < line.size() && line[equals + 1] == '"';
        if (!good) break;
        std::string label = line.substr(i, equals - i), value;
        for (i = equals + 2; i < line.size() && line[i] != '"'; ++i) {
          if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
            value += line[i] == 'n' ? '\n' : line[i];
          } else {
            value += line[i];
          }
        }
        good = i < line.size();
        ++i;
        if (good && i < line.size() && line[i] == ',') ++i;
        sample.labels.emplace_back(std::move(label), std::move(value));
      }
      good = good && i < line.size();
      ++i;
    }
    if (!good || i >= line.size() || line[i] != ' ') continue;
    const std::string number = line.substr(i + 1, line.find(' ', i + 1) - i - 1);
    char* stop = nullptr;
    sample.value = std::strtod(number.c_str(), &stop);
    if (number.empty() || *stop != '\0') continue;
    samples.push_back(std::move(sample));
  }
  return samples;
}

namespace {

// A temporary file beside the one it is to replace, removed unless it was
// put in place.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& target) {
    const size_t slash = target.rfind('/');
    folder_ = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    // A dot file: the textfile collector reads only *.prom files.
    std::string pattern =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + "." +
        target.substr(slash + 1) + ".XXXXXX";
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ < 0) {
      throw std::runtime_error("cannot make a temporary file in " + folder_ + ": " +
                               std::strerror(errno));
    }
    path_ = pattern;
  }
  ~TemporaryFile() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  void Write(const std::string& text) {
    for (size_t done = 0; done < text.size();) {
      const ssize_t wrote = write(fd_, text.data() + done, text.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote < 0) Fail("cannot write " + path_);
      done += static_cast<size_t>(wrote);
    }
    // Readable by the collector, which runs as another user.
    if (fchmod(fd_, 0644) != 0) Fail("cannot set the mode of " + path_);
    if (fsync(fd_) != 0) Fail("cannot flush " + path_ + " to disk");
    const int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) Fail("cannot write " + path_);
  }

  void PutInPlace(const std::string& target) {
    if (rename(path_.c_str(), target.c_str()) != 0) Fail("cannot put it in place");
    path_.clear();
    // The rename is on disk once the folder is (best effort: some file
    // systems cannot flush a folder).
    const int folder = open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      fsync(folder);
      close(folder);
    }
  }

 private:
  [[noreturn]] static void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }

  std::string folder_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace

void WriteFileAtomically(const std::string& path, const std::string& text) {
  TemporaryFile temporary(path);
  temporary.Write(text);
  temporary.PutInPlace(path);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// --- What doctor and sync report -------------------------------------------------

PluginAnswer DoctorPluginAnswer(const DoctorRun& run) {
  PluginAnswer answer;
  answer.unprotectedFails = true;
  answer.seconds = run.seconds;
  const DoctorSeverity storeWorst = WorstFinding(run.storeFindings);
  answer.state = storeWorst == kDoctorFail   ? kPluginCritical
                 : storeWorst == kDoctorWarn ? kPluginWarning
                                             : kPluginOk;
  answer.failures = CountFindings(run.storeFindings, kDoctorFail);
  answer.warnings = CountFindings(run.storeFindings, kDoctorWarn);
  std::vector<std::string> parts;
  if (storeWorst != kDoctorOk) {
    parts.push_back("configuration store: " + FindingCounts(run.storeFindings));
    answer.details.push_back(std::string(StateName(answer.state)) + ": configuration store " +
                             run.storePath + ": " + FindingCounts(run.storeFindings));
  }
  std::vector<std::string> failed, unchecked, warned;
  for (const DoctorRun::Client& client : run.clients) {
    const _tagDoctorReport& report = *client.report;
    const PluginState state = DoctorState(client);
    answer.state = Worse(answer.state, state);
    answer.failures += CountFindings(report.findings, kDoctorFail);
    answer.warnings += CountFindings(report.findings, kDoctorWarn);
    answer.databases += report.databases;
    answer.unprotected += CountFindings(report.findings, kDoctorFail, "unprotected") +
                          CountFindings(report.findings, kDoctorWarn, "unprotected");
    const std::string name = ClientName(client.id, client.name);
    std::string detail =
        std::string(StateName(state)) + ": " + ClientLabel(client.id, client.name) + ": ";
    if (state == kPluginUnknown) {
      // The first failure says what could not be had.
      auto first =
          std::find_if(report.findings.begin(), report.findings.end(),
                       [](const _tagDoctorFinding& f) { return f.severity == kDoctorFail; });
      detail += "some checks could not run";
      if (first != report.findings.end()) detail += " (" + first->check + ": " + first->text + ")";
      detail += "; ";
      unchecked.push_back(name);
    } else if (state == kPluginCritical) {
      failed.push_back(name);
    } else if (state == kPluginWarning) {
      warned.push_back(name);
    }
    answer.details.push_back(detail + FindingCounts(report.findings));
  }
  ClientParts clients(run.clients.size());
  clients.Add("failed", failed);
  clients.Add("could not be checked", unchecked);
  clients.Add("with warnings", warned);
  parts.insert(parts.end(), clients.parts_.begin(), clients.parts_.end());
  if (clients.parts_.empty() && !run.clients.empty()) {
    parts.push_back("every check passed on " + Plural(run.clients.size(), "DAG client"));
  }
  answer.summary = boost::algorithm::join(parts, "; ");
  return answer;
}

PluginAnswer SyncPluginAnswer(const SyncReport& report, double seconds) {
  PluginAnswer answer;
  answer.state = kPluginOk;
  answer.seconds = seconds;
  std::vector<std::string> failed, warned;
  size_t subclients = 0;
  for (const SyncedClient& client : report.clients) {
    const SyncCounts& n = client.counts;
    const PluginState state = SyncState(client.status);
    answer.state = Worse(answer.state, state);
    // A client that failed before any subclient could be read is one failure.
    answer.failures += n.heldBack + n.failed +
                       (!client.sync.error.empty() && client.sync.subclients.empty() ? 1 : 0);
    for (const _tagSubclientSync& s : client.sync.subclients) {
      const bool stored = s.outcome == kSubclientUpdated || s.outcome == kSubclientUnchanged;
      if (stored && s.result == -3) ++answer.warnings;
    }
    answer.databases += client.sync.databases;
    answer.unprotected += client.sync.unprotected;
    subclients += client.sync.subclients.size();
    std::string detail =
        std::string(StateName(state)) + ": " + ClientLabel(client.id, client.name) + ": ";
    if (!client.sync.error.empty()) detail += client.sync.error + "; ";
    detail += "subclients " + std::to_string(n.updated) + " updated, " +
              std::to_string(n.unchanged) + " unchanged, " + std::to_string(n.heldBack) +
              " held back, " + std::to_string(n.failed) + " failed";
    // The first subclient that was not brought up to date says why.
    auto problem =
        std::find_if(client.sync.subclients.begin(), client.sync.subclients.end(),
                     [](const _tagSubclientSync& s) {
                       return s.outcome == kSubclientHeldBack || s.outcome == kSubclientFailed;
                     });
    if (client.sync.error.empty() && problem != client.sync.subclients.end()) {
      detail += " (subclient " + std::to_string(problem->appId) +
                (problem->name.empty() ? "" : " (" + problem->name + ")") + ": " + problem->error +
                (n.heldBack + n.failed > 1 ? ", and more" : "") + ")";
    }
    if (n.circularLogging > 0) {
      detail += "; " + Plural(n.circularLogging, "database") + " with circular logging";
    }
    if (n.unprotected > 0) {
      detail += "; " + Plural(n.unprotected, "database") + " in no subclient's content";
    }
    answer.details.push_back(detail);
    const std::string name = ClientName(client.id, client.name);
    if (state == kPluginCritical) failed.push_back(name);
    if (state == kPluginWarning) warned.push_back(name);
  }
  ClientParts parts(report.clients.size());
  parts.Add("failed", failed);
  parts.Add("with warnings", warned);
  answer.summary = boost::algorithm::join(parts.parts_, "; ");
  if (answer.summary.empty()) {
    answer.summary = Plural(report.clients.size(), "DAG client") + ", " +
                     Plural(subclients, "subclient") + " up to date";
  }
  if (report.dryRun) answer.summary += " (dry run: nothing was stored)";
  return answer;
}

namespace {

// What a DAG client's sample says in each of the gauges doctor and sync
// both write.
struct ClientOutcome {
  bool succeeded = false;
  size_t databases = 0;
  size_t unprotected = 0;
  double seconds = 0;
};

// Those gauges, for one command: whether the client succeeded, its
// databases, the unprotected ones, how long it took and when it last
// succeeded.
class ClientGauges {
 public:
  // `what`: the help texts, in that order; `previous`: the file replaced.
  ClientGauges(const std::string& command, const std::vector<const char*>& what,
               const std::string& previous)
      : success_{"tzdag_" + command + "_success", what[0], {}},
        databases_{"tzdag_" + command + "_databases", what[1], {}},
        unprotected_{"tzdag_" + command + "_unprotected_databases", what[2], {}},
        duration_{"tzdag_" + command + "_duration_seconds", what[3], {}},
        last_{"tzdag_" + command + "_last_success_timestamp_seconds", what[4], {}},
        known_(previous, last_.name) {}

  void Add(const Labels& labels, uint32_t orbalId, uint32_t clientId, const ClientOutcome& outcome,
           std::time_t now) {
    success_.samples.push_back({labels, outcome.succeeded ? 1.0 : 0.0});
    databases_.samples.push_back({labels, static_cast<double>(outcome.databases)});
    unprotected_.samples.push_back({labels, static_cast<double>(outcome.unprotected)});
    duration_.samples.push_back({labels, Milliseconds(outcome.seconds)});
    last_.samples.push_back({labels, known_.For(orbalId, clientId, outcome.succeeded, now)});
  }

  std::vector<MetricFamily> After(std::vector<MetricFamily> families) const {
    families.insert(families.end(), {success_, databases_, unprotected_, duration_, last_});
    return families;
  }

 private:
  MetricFamily success_, databases_, unprotected_, duration_, last_;
  LastSuccess known_;
};

}  // namespace

std::string DoctorMetrics(const DoctorRun& run, const std::string& previous, std::time_t now) {
  MetricFamily store{"tzdag_doctor_store_findings",
                     "Findings of the last doctor run on the configuration store, by check and "
                     "severity.",
                     {}};
  AddFindings(store, {}, run.storeFindings);
  MetricFamily findings{"tzdag_doctor_findings",
                        "Findings of the last doctor run on the DAG client, by check and severity.",
                        {}};
  MetricFamily complete{"tzdag_doctor_checks_complete",
                        "Whether every check of the DAG client could run (1) or not (0).",
                        {}};
  ClientGauges gauges(
      "doctor",
      {"Whether every check of the DAG client ran and none failed (1) or not (0).",
       "Databases in the discovery answer the doctor checked.",
       "Databases of the DAG client that no live subclient backs up.",
       "How long the check of the DAG client took.",
       "When a check of the DAG client last ran whole and found no failure (Unix time; 0: never, "
       "as far as this file knows)."},
      previous);
  for (const DoctorRun::Client& client : run.clients) {
    const _tagDoctorReport& report = *client.report;
    const Labels labels = ClientLabels(run.orbalId, client.id, client.name);
    AddFindings(findings, labels, report.findings);
    complete.samples.push_back({labels, client.complete ? 1.0 : 0.0});
    gauges.Add(labels, run.orbalId, client.id,
               {client.complete && report.worst != kDoctorFail, report.databases,
                CountFindings(report.findings, kDoctorFail, "unprotected") +
                    CountFindings(report.findings, kDoctorWarn, "unprotected"),
                client.seconds},
               now);
  }
  return MetricsText(gauges.After({store, findings, complete}));
}

std::string SyncMetrics(const SyncReport& report, const std::string& previous, std::time_t now) {
  MetricFamily subclients{
      "tzdag_sync_subclients",
      "Live subclients of the DAG client by what the last sync did to them: updated, unchanged, "
      "held back (it would remove too much) or failed.",
      {}};
  ClientGauges gauges(
      "sync",
      {"Whether the last sync brought every live subclient of the DAG client up to date (1) or "
       "not (0).",
       "Databases the last sync discovered for the DAG client.",
       "Discovered databases that no live subclient names after the last sync.",
       "How long the last sync of the DAG client took.",
       "When a sync last brought every live subclient of the DAG client up to date (Unix time; "
       "0: never, as far as this file knows)."},
      previous);
  for (const SyncedClient& client : report.clients) {
    const Labels labels = ClientLabels(report.orbalId, client.id, client.name);
    const SyncCounts& n = client.counts;
    for (const auto& [outcome, count] :
         std::vector<std::pair<const char*, size_t>>{{"updated", n.updated},
                                                     {"unchanged", n.unchanged},
                                                     {"held_back", n.heldBack},
                                                     {"failed", n.failed}}) {
      subclients.samples.push_back({With(labels, "outcome", outcome), static_cast<double>(count)});
    }
    gauges.Add(labels, report.orbalId, client.id,
               {client.status != SyncStatus::kFail, client.sync.databases, client.sync.unprotected,
                Seconds(client.milliseconds)},
               now);
  }
  return MetricsText(gauges.After({subclients}));
}

// --- Options -------------------------------------------------------------------------

void MonitoringOptions::Add(CLI::App* command) {
  command->add_flag("--nagios", nagios_,
                    "answer as a Nagios/Icinga plugin: one status line with performance data, "
                    "exit 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN");
  command
      ->add_option("--metrics", metricsFile_,
                   "also write Prometheus metrics to FILE (for node_exporter's textfile "
                   "collector), replacing it as a whole")
      ->type_name("FILE")
      ->check(CLI::Validator([](std::string& v) { return v.empty() ? "needs a path" : ""; }, ""));
}

void MonitoringOptions::Start(const GlobalOptions& global, bool dryRun) {
  started_ = std::chrono::steady_clock::now();
  if (nagios_ && global.json) {
    throw UsageError("--nagios and --json exclude each other: a plugin answers with one line");
  }
  if (metricsFile_.empty()) return;
  if (dryRun) {
    throw UsageError(
        "--metrics and --dry-run exclude each other: a dry run's counts are not what the store "
        "holds");
  }
  const size_t slash = metricsFile_.rfind('/');
  const std::string folder = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : metricsFile_.substr(0, slash);
  struct stat st {};
  int error = 0;
  if (stat(folder.c_str(), &st) != 0) {
    error = errno;
  } else if (!S_ISDIR(st.st_mode)) {
    error = ENOTDIR;
  } else if (access(folder.c_str(), W_OK | X_OK) != 0) {
    error = errno;
  }
  if (error != 0) {
    throw UsageError("--metrics: cannot write in the folder " + folder + ": " +
                     std::strerror(error));
  }
}

double MonitoringOptions::SecondsSinceStart() const {
  return SecondsSince(started_);
}

std::string MonitoringOptions::PreviousMetrics() const {
  // Only a regular file is read; anything else is replaced (or fails to be).
  struct stat st {};
  if (stat(metricsFile_.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::string();
  const int fd = open(metricsFile_.c_str(), O_RDONLY | O_CLOEXEC);
  std::string text;
  char buffer[65536];
  ssize_t got = fd < 0 ? -1 : 0;
  while (fd >= 0 && ((got = read(fd, buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR))) {
    if (got > 0) text.append(buffer, static_cast<size_t>(got));
  }
  const int error = errno;
  if (fd >= 0) close(fd);
  // Without it the last success timestamps of clients that fail now would
  // be lost.
  if (got < 0) {
    throw std::runtime_error("cannot write the metrics file " + metricsFile_ +
                             ": cannot read what it holds: " + std::strerror(error));
  }
  return text;
}

void MonitoringOptions::WriteMetricsText(const std::string& text) const {
  try {
    WriteFileAtomically(metricsFile_, text);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("cannot write the metrics file " + metricsFile_ + ": " + e.what());
  }
}

}  // namespace tzdag_tool
