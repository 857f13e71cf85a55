// tzdag doctor: what will go wrong with the backups of a DAG client (or of
// every DAG client of the store), before it does. Writes nothing.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <tzplatform/parallel.h>
#include <tzplatform/settings.h>
#include <tzplatform/store.h>
#include <boost/algorithm/string/join.hpp>

#include "command_line.h"
#include "commands.h"
#include "findings.h"
#include "id_check.h"
#include "id_option.h"
#include "monitoring.h"
#include "output.h"
#include "signals.h"
#include "store_health.h"
#include "tool_options.h"
#include "tzdag/TzDagApi.h"

namespace tzdag_tool {
namespace {

// DAG clients checked at once by --all.
constexpr unsigned kDoctorClientsAtOnce = 4;

struct DoctorOptions {
  uint32_t orbal = 0;
  uint32_t client = 0;
  bool all = false;
  unsigned probes = kDoctorProbesAtOnce;
  unsigned jobs = kDoctorClientsAtOnce;
  MonitoringOptions monitoring;
  bool detail = false;                   // every finding, and the member and probe tables
  DoctorSeverity shownFrom = kDoctorOk;  // findings less severe are not shown
  std::string check;                     // only this check's findings; empty: all
};

// The checks a report can hold: the store's own, then the client's.
std::vector<std::string> CheckNames() {
  std::vector<std::string> names = {"store", "store-folders"};
  names.insert(names.end(), std::begin(kDoctorChecks), std::end(kDoctorChecks));
  return names;
}

// Findings that say the same of several objects: one check, severity and
// kind, in the order their first finding comes.
struct FindingGroup {
  std::vector<const _tagDoctorFinding*> findings;
  const _tagDoctorFinding& first() const { return *findings.front(); }
};

std::vector<FindingGroup> Grouped(const std::vector<_tagDoctorFinding>& findings) {
  std::vector<FindingGroup> groups;
  std::map<std::tuple<DoctorSeverity, std::string, std::string>, size_t> index;
  for (const _tagDoctorFinding& f : findings) {
    auto [at, fresh] = index.try_emplace({f.severity, f.check, f.kind}, groups.size());
    if (fresh) groups.emplace_back();
    groups[at->second].findings.push_back(&f);
  }
  return groups;
}

// A finding that tells of something (an object) and yet is ok informs.
bool Informs(const _tagDoctorFinding& f) {
  return f.severity == kDoctorOk && !f.object.empty();
}

const char* SeverityName(DoctorSeverity severity) {
  switch (severity) {
    case kDoctorFail:
      return "fail";
    case kDoctorWarn:
      return "warn";
    default:
      return "ok";
  }
}

struct CheckedClient {
  uint32_t id = 0;
  std::string name;  // empty when the store has no DAG client of that id
  _tagDoctorReport report;
  bool complete = false;
  double seconds = 0;
};

nlohmann::json FindingsJson(const std::vector<_tagDoctorFinding>& list) {
  nlohmann::json findings = nlohmann::json::array();
  for (const _tagDoctorFinding& f : list) {
    findings.push_back({{"severity", SeverityName(f.severity)},
                        {"check", f.check},
                        {"object", f.object},
                        {"text", f.text},
                        {"hint", f.hint},
                        {"kind", f.kind}});
  }
  return findings;
}

// The findings as people see them: one entry per check, severity and kind,
// with the text and hint of its one finding or those of its kind.
nlohmann::json GroupsJson(const std::vector<_tagDoctorFinding>& list) {
  nlohmann::json groups = nlohmann::json::array();
  for (const FindingGroup& group : Grouped(list)) {
    const _tagDoctorFinding& f = group.first();
    nlohmann::json objects = nlohmann::json::array();
    for (const _tagDoctorFinding* each : group.findings) objects.push_back(each->object);
    const bool alone = group.findings.size() == 1;
    groups.push_back({{"severity", SeverityName(f.severity)},
                      {"check", f.check},
                      {"count", group.findings.size()},
                      {"objects", objects},
                      {"text", alone ? f.text : f.kind},
                      {"hint", alone ? f.hint : f.kindHint}});
  }
  return groups;
}

// The store's own findings, before any client's: whether SQLite finds it
// sound (when not, nothing read from it is worth checking), and whether
// other users may write its folders.
std::vector<_tagDoctorFinding> StoreFindings(const StoreHealth& health) {
  std::vector<_tagDoctorFinding> findings;
  _tagDoctorFinding integrity;
  integrity.check = "store";
  if (health.problems.empty()) {
    integrity.text = "SQLite's integrity check found no problem";
    integrity.kind = integrity.text;
  } else {
    integrity.severity = kDoctorFail;
    integrity.object = health.path;
    integrity.text = "damaged: SQLite's integrity check found: " + health.problems[0];
    if (health.problems.size() > 1) {
      integrity.text += " (and " + std::to_string(health.problems.size() - 1) + " more)";
    }
    integrity.hint = "stop every program that uses it, then recover it into a new file (" +
                     RecoveryCommands(health.path)[0] +
                     "; tzdag check-store shows every step), or put its last backup in its place";
    integrity.kind = integrity.text;
    integrity.kindHint = integrity.hint;
  }
  findings.push_back(integrity);
  for (const tzplatform::ExposedFolder& exposed : health.exposed) {
    _tagDoctorFinding folder;
    folder.severity = kDoctorWarn;
    folder.check = "store-folders";
    folder.object = exposed.folder;
    folder.text = exposed.text;
    folder.hint = "let only its owner write it (chmod go-w " + ShellWord(folder.object) +
                  "), or move what it holds to a folder that only its owner can write";
    folder.kind = "other users may write them";
    folder.kindHint =
        "let only their owners write them (chmod go-w), or move what they hold to folders that "
        "only their owners can write";
    findings.push_back(folder);
  }
  if (health.exposed.empty()) {
    _tagDoctorFinding folders;
    folders.check = "store-folders";
    folders.text = "only their owners can write the folders of the store and of its host key";
    folders.kind = folders.text;
    findings.push_back(folders);
  }
  return findings;
}

std::vector<_tagDoctorFinding> Shown(const std::vector<_tagDoctorFinding>& findings,
                                     DoctorSeverity from);

nlohmann::json ReportJson(const CheckedClient& checked, DoctorSeverity shownFrom) {
  const _tagDoctorReport& report = checked.report;
  nlohmann::json members = nlohmann::json::array();
  for (const _tagDoctorMember& m : report.members) {
    members.push_back({{"name", m.name},
                       {"selected", m.selected},
                       {"agentFlag", m.agentFlag},
                       {"knownClient", m.knownClient},
                       {"packageInstalled", m.packageInstalled},
                       {"agentDisagrees", m.agentDisagrees},
                       {"host", m.host}});
  }
  nlohmann::json probes = nlohmann::json::array();
  for (const _tagDoctorProbe& p : report.probes) {
    probes.push_back({{"server", p.server},
                      {"host", p.host},
                      {"started", p.started},
                      {"reachable", p.reachable},
                      {"error", p.error},
                      {"milliseconds", p.milliseconds}});
  }
  const std::vector<_tagDoctorFinding> shown = Shown(report.findings, shownFrom);
  nlohmann::json findings = FindingsJson(shown);
  return {{"orbalId", report.orbalId},
          {"clientId", report.clientId},
          {"clientName", checked.name},
          {"status", SeverityName(report.worst)},
          {"complete", checked.complete},
          {"answerServer", report.answerServer},
          {"databases", report.databases},
          {"members", members},
          {"probes", probes},
          {"findings", findings},
          {"groups", GroupsJson(shown)}};
}

size_t PrintFindings(std::ostream& out, const std::vector<_tagDoctorFinding>& findings,
                     const DoctorOptions& options);

// "DAG client 2 (DAG01), installation 1: 2 failures, 4 warnings"
std::string Headline(const CheckedClient& checked) {
  const _tagDoctorReport& report = checked.report;
  std::string line = "DAG client " + std::to_string(report.clientId);
  if (!checked.name.empty()) line += " (" + DisplayText(checked.name) + ")";
  return line + ", installation " + std::to_string(report.orbalId) + ": " +
         Plural(CountFindings(report.findings, kDoctorFail), "failure") + ", " +
         Plural(CountFindings(report.findings, kDoctorWarn), "warning");
}

// "Member servers: 16, 12 of them selected, 16 with package 151"
// "Probes: 12 of 12 answered" (--detail shows each with its time)
void PrintMembersInShort(std::ostream& out, const _tagDoctorReport& report) {
  if (!report.members.empty()) {
    size_t selected = 0;
    size_t installed = 0;
    for (const _tagDoctorMember& m : report.members) {
      selected += m.selected ? 1 : 0;
      installed += m.packageInstalled ? 1 : 0;
    }
    out << "Member servers: " << report.members.size() << ", " << selected << " of them selected, "
        << installed << " with package 151\n";
  }
  if (!report.probes.empty()) {
    size_t answered = 0;
    for (const _tagDoctorProbe& p : report.probes) answered += p.reachable ? 1 : 0;
    out << "Probes: " << answered << " of " << report.probes.size() << " answered\n";
  }
}

void PrintMemberTables(std::ostream& out, const _tagDoctorReport& report) {
  if (!report.members.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const _tagDoctorMember& m : report.members) {
      rows.push_back({m.name, YesNo(m.selected), YesNo(m.agentFlag),
                      m.knownClient ? YesNo(m.packageInstalled) : "no client",
                      m.host.empty() ? "-" : m.host});
    }
    out << "\n";
    PrintTable(out, {"MEMBER SERVER", "SELECTED", "AGENT (ENTRY)", "PACKAGE 151", "HOST"}, rows);
  }
  if (!report.probes.empty()) {
    std::vector<std::vector<std::string>> rows;
    for (const _tagDoctorProbe& p : report.probes) {
      rows.push_back({p.server, p.host.empty() ? "-" : p.host, YesNo(p.reachable),
                      std::to_string(p.milliseconds) + " ms", p.error.empty() ? "-" : p.error});
    }
    out << "\n";
    PrintTable(out, {"PROBE", "HOST", "ANSWERED", "TIME", "ERROR"}, rows);
  }
}

// The findings of each check that did not simply pass, by severity, and
// how many checks passed.
void PrintCounts(std::ostream& out, const std::vector<_tagDoctorFinding>& findings, bool grouped) {
  std::vector<std::vector<std::string>> rows;
  size_t passed = 0;
  for (const std::string& check : CheckNames()) {
    size_t counts[3] = {0, 0, 0};  // fail, warn, info
    bool ran = false;
    for (const _tagDoctorFinding& f : findings) {
      if (f.check != check) continue;
      ran = true;
      if (f.severity == kDoctorFail) ++counts[0];
      if (f.severity == kDoctorWarn) ++counts[1];
      if (Informs(f)) ++counts[2];
    }
    if (counts[0] + counts[1] + counts[2] == 0) {
      passed += ran ? 1 : 0;
      continue;
    }
    rows.push_back(
        {check, std::to_string(counts[0]), std::to_string(counts[1]), std::to_string(counts[2])});
  }
  if (!rows.empty()) PrintTable(out, {"CHECK", "FAIL", "WARN", "INFO"}, rows);
  out << Plural(passed, "check") << " passed";
  const std::vector<FindingGroup> groups = Grouped(findings);
  const bool someGrouped = std::any_of(groups.begin(), groups.end(), [](const FindingGroup& group) {
    return group.findings.size() > 1;
  });
  if (grouped && someGrouped) out << "; tzdag doctor --detail shows each finding";
  out << "\n";
}

void PrintReport(std::ostream& out, const CheckedClient& checked, const DoctorOptions& options) {
  const _tagDoctorReport& report = checked.report;
  out << Headline(checked) << "\n";
  if (!report.answerServer.empty()) {
    out << "Databases checked on the answer of " << DisplayText(report.answerServer) << " ("
        << Plural(report.databases, "database") << ")\n";
  }
  if (options.detail) {
    PrintMemberTables(out, report);
  } else {
    PrintMembersInShort(out, report);
  }
  out << "\n";
  if (PrintFindings(out, report.findings, options) > 0) out << "\n";
  PrintCounts(out, report.findings, !options.detail);
}

const char* Label(const _tagDoctorFinding& f) {
  return f.severity == kDoctorFail   ? "FAIL  "
         : f.severity == kDoctorWarn ? "WARN  "
         : Informs(f)                ? "INFO  "
                                     : "OK    ";
}

// One finding as it stands: what it is about, what holds, what to do.
void PrintFinding(std::ostream& out, const _tagDoctorFinding& f) {
  out << Label(f) << DisplayText(f.check);
  if (f.object.empty()) {
    out << ": " << DisplayText(f.text) << "\n";
    return;
  }
  out << ": " << DisplayText(f.object) << "\n";
  out << "      " << DisplayText(f.text) << "\n";
  if (!f.hint.empty()) out << "      hint: " << DisplayText(f.hint) << "\n";
}

// Objects shown of a group before "and N more".
constexpr size_t kGroupObjectsShown = 3;

void PrintGroup(std::ostream& out, const FindingGroup& group) {
  if (group.findings.size() == 1) {
    PrintFinding(out, group.first());
    return;
  }
  const _tagDoctorFinding& f = group.first();
  out << Label(f) << DisplayText(f.check) << " (" << group.findings.size() << "): ";
  for (size_t i = 0; i < group.findings.size() && i < kGroupObjectsShown; ++i) {
    out << (i > 0 ? ", " : "") << DisplayText(group.findings[i]->object);
  }
  if (group.findings.size() > kGroupObjectsShown) {
    out << " and " << group.findings.size() - kGroupObjectsShown << " more";
  }
  out << "\n      " << DisplayText(f.kind) << "\n";
  if (!f.kindHint.empty()) out << "      hint: " << DisplayText(f.kindHint) << "\n";
}

size_t PrintFindings(std::ostream& out, const std::vector<_tagDoctorFinding>& findings,
                     const DoctorOptions& options) {
  // Failures first, then warnings, then what informs, then what passed;
  // each in check order.
  size_t printed = 0;
  for (int rank = 0; rank < 4; ++rank) {
    const DoctorSeverity severity = rank == 0 ? kDoctorFail : rank == 1 ? kDoctorWarn : kDoctorOk;
    if (severity < options.shownFrom) break;
    std::vector<_tagDoctorFinding> ranked;
    for (const _tagDoctorFinding& f : findings) {
      if (f.severity == severity && (severity != kDoctorOk || Informs(f) == (rank == 2))) {
        ranked.push_back(f);
      }
    }
    printed += ranked.size();
    if (options.detail) {
      for (const _tagDoctorFinding& f : ranked) PrintFinding(out, f);
    } else {
      for (const FindingGroup& group : Grouped(ranked)) PrintGroup(out, group);
    }
  }
  return printed;
}

// Leaves the findings of the check asked for.
void KeepCheck(std::vector<_tagDoctorFinding>& findings, const std::string& check) {
  if (check.empty()) return;
  findings.erase(std::remove_if(findings.begin(), findings.end(),
                                [&](const _tagDoctorFinding& f) { return f.check != check; }),
                 findings.end());
}

std::vector<_tagDoctorFinding> Shown(const std::vector<_tagDoctorFinding>& findings,
                                     DoctorSeverity from) {
  std::vector<_tagDoctorFinding> shown;
  for (const _tagDoctorFinding& f : findings) {
    if (f.severity >= from) shown.push_back(f);
  }
  return shown;
}

std::vector<CheckedClient> ClientsToCheck(const DoctorOptions& options);

// The run as --nagios and --metrics report it.
DoctorRun Monitored(const DoctorOptions& options, const StoreHealth& health,
                    const std::vector<_tagDoctorFinding>& storeFindings,
                    const std::vector<CheckedClient>& clients) {
  DoctorRun run;
  run.orbalId = options.orbal;
  run.storePath = health.path;
  run.storeFindings = storeFindings;
  for (const CheckedClient& c : clients) {
    run.clients.push_back({c.id, c.name, &c.report, c.complete, c.seconds});
  }
  run.seconds = options.monitoring.SecondsSinceStart();
  return run;
}

int RunDoctor(const DoctorOptions& options, const GlobalOptions& global) {
  const StoreHealth health = CheckStoreHealth();
  std::vector<_tagDoctorFinding> storeFindings = StoreFindings(health);
  // A damaged store is the one failure whatever check is asked for: no
  // other check could run.
  if (health.problems.empty()) KeepCheck(storeFindings, options.check);
  std::vector<CheckedClient> clients;
  if (health.problems.empty()) clients = ClientsToCheck(options);

  // Clients side by side, each with its own probes side by side.
  tzplatform::RunAtOnce(clients.size(), options.jobs, [&](size_t index) {
    if (SignalWatch::Received() != 0) return;
    CheckedClient& client = clients[index];
    const auto started = std::chrono::steady_clock::now();
    client.complete = DiagnoseDagClient(options.orbal, client.id, client.report, options.probes);
    client.seconds = SecondsSince(started);
  });
  // Asked to stop while a tool ran: what was found is not the clients' state.
  if (SignalWatch::Received() != 0) return kExitFailed;
  for (CheckedClient& client : clients) {
    KeepCheck(client.report.findings, options.check);
    client.report.worst = WorstFinding(client.report.findings);
  }
  const DoctorRun monitored = Monitored(options, health, storeFindings, clients);
  const auto metrics = [&monitored](const std::string& previous) {
    return DoctorMetrics(monitored, previous, std::time(nullptr));
  };
  if (options.monitoring.nagios()) {
    return options.monitoring.Answer(DoctorPluginAnswer(monitored), metrics);
  }
  DoctorSeverity worst = WorstFinding(storeFindings);
  size_t failures = CountFindings(storeFindings, kDoctorFail);
  for (const CheckedClient& client : clients) {
    worst = std::max(worst, client.report.worst);
    failures += CountFindings(client.report.findings, kDoctorFail);
  }

  if (global.json) {
    nlohmann::json reports = nlohmann::json::array();
    for (const CheckedClient& client : clients) {
      reports.push_back(ReportJson(client, options.shownFrom));
    }
    nlohmann::json answer = {
        {"ok", worst != kDoctorFail},
        {"status", SeverityName(worst)},
        {"store",
         {{"path", health.path},
          {"status", SeverityName(WorstFinding(storeFindings))},
          {"findings", FindingsJson(Shown(storeFindings, options.shownFrom))}}},
        {"clients", reports}};
    if (worst == kDoctorFail) {
      answer["error"] = "the health check found " + Plural(failures, "failure");
    }
    PrintJson(answer);
  } else {
    std::cout << "Configuration store " << DisplayText(health.path) << "\n";
    PrintFindings(std::cout, storeFindings, options);
    for (const CheckedClient& client : clients) {
      std::cout << "\n";
      PrintReport(std::cout, client, options);
    }
    if (options.all && !clients.empty()) {
      std::cout << "\nSummary of " << Plural(clients.size(), "DAG client") << ":\n";
      for (const CheckedClient& client : clients) std::cout << Headline(client) << "\n";
    }
  }
  options.monitoring.WriteMetrics(metrics);
  return worst == kDoctorFail ? kExitFailed : worst == kDoctorWarn ? kExitWarnings : kExitOk;
}

std::vector<CheckedClient> ClientsToCheck(const DoctorOptions& options) {
  CheckInstallation(options.orbal);
  if (!options.all) CheckClient(options.client);
  std::vector<CheckedClient> clients;
  const std::vector<tzplatform::StoredClient> dagClients =
      tzplatform::DagClients(tzplatform::StorePath());
  if (options.all) {
    for (const tzplatform::StoredClient& client : dagClients) {
      clients.push_back({client.id, client.name, {}, false});
    }
    if (clients.empty()) {
      throw std::runtime_error(
          "the configuration store holds no DAG client (no client has member server entries)");
    }
  } else {
    CheckedClient client;
    client.id = options.client;
    for (const tzplatform::StoredClient& stored : dagClients) {
      if (stored.id == options.client) client.name = stored.name;
    }
    clients.push_back(std::move(client));
  }
  return clients;
}

}  // namespace

Command AddDoctorCommand(CLI::App* sub, const GlobalOptions& global) {
  auto options = std::make_shared<DoctorOptions>();
  AddIdOption(sub, "--orbal", options->orbal, "installation id")->required();
  CLI::Option* client = AddIdOption(sub, "--client", options->client, "DAG client id");
  CLI::Option* all = sub->add_flag("--all", options->all, "every DAG client of the store");
  client->excludes(all);
  sub->add_option(
         "--probes", options->probes,
         "member servers probed at once (default " + std::to_string(kDoctorProbesAtOnce) + ")")
      ->check(CLI::Range(1, 64))
      ->type_name("N");
  sub->add_option("--jobs", options->jobs,
                  "DAG clients checked at once with --all (default " +
                      std::to_string(kDoctorClientsAtOnce) + ")")
      ->check(CLI::Range(1, 64))
      ->type_name("N");
  sub->add_flag("--detail", options->detail,
                "every finding on its own, and the member server and probe tables");
  sub->add_option_function<std::string>(
         "--severity",
         [options](const std::string& severity) {
           options->shownFrom = severity == "fail" ? kDoctorFail : kDoctorWarn;
         },
         "show only findings at least this bad: warn or fail")
      ->check(CLI::IsMember({"warn", "fail"}))
      ->type_name("warn|fail");
  sub->add_option("--check", options->check, "only the findings of this check")
      ->check(CLI::Validator(
          [](std::string& name) -> std::string {
            const std::vector<std::string> names = CheckNames();
            if (std::find(names.begin(), names.end(), name) != names.end()) return std::string();
            const std::string nearest = NearestWord(name, names);
            return "unknown check '" + name + "'" +
                   (nearest.empty() ? " (checks: " + boost::algorithm::join(names, ", ") + ")"
                                    : " (did you mean '" + nearest + "'?)");
          },
          "NAME"))
      ->type_name("NAME");
  AddTimeoutOption(sub);
  options->monitoring.Add(sub);
  sub->footer(
      "Probes every selected member server with the agent as database discovery would, then "
      "checks the databases of the first answer against the client's selection and "
      "subclients. Findings: fail (a database will not be backed up, or a check could not "
      "run), warn (backups run, but not as configured), ok.\n"
      "Findings of one check that say the same of several objects are shown as one, with the "
      "first few objects and one hint; --detail shows each. The report ends with the findings "
      "of each check by severity.\n"
      "Exit status (of the checks shown with --check): 0 when every check passed, 3 when there are "
      "warnings only, 1 when a check "
      "failed or could not run, 2 for a usage or set-up error.\n"
      "Example: tzdag doctor --orbal 1 --client 2");
  sub->callback([client, all] {
    if (client->count() == 0 && all->count() == 0) {
      throw CLI::RequiredError("--client or --all");
    }
  });
  Command command{sub, [options, &global] {
                    options->monitoring.Start(global);
                    return RunDoctor(*options, global);
                  }};
  command.runsTool = true;
  command.writes = StoreWrites::kNever;
  command.reportsDamage = true;
  return command;
}

}  // namespace tzdag_tool
