// tzdag doctor: what will go wrong with the backups of a DAG client (or of
// every DAG client of the store), before it does. Writes nothing.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <tzplatform/parallel.h>
#include <tzplatform/settings.h>
#include <tzplatform/store.h>

#include "commands.h"
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
};

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

const char* YesNo(bool value) {
  return value ? "yes" : "no";
}

struct CheckedClient {
  uint32_t id = 0;
  std::string name;  // empty when the store has no DAG client of that id
  _tagDoctorReport report;
  bool complete = false;
  double seconds = 0;
};

size_t Count(const std::vector<_tagDoctorFinding>& findings, DoctorSeverity severity) {
  return static_cast<size_t>(std::count_if(
      findings.begin(), findings.end(),
      [severity](const _tagDoctorFinding& finding) { return finding.severity == severity; }));
}

std::string Plural(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

nlohmann::json FindingsJson(const std::vector<_tagDoctorFinding>& list) {
  nlohmann::json findings = nlohmann::json::array();
  for (const _tagDoctorFinding& f : list) {
    findings.push_back({{"severity", SeverityName(f.severity)},
                        {"check", f.check},
                        {"object", f.object},
                        {"text", f.text},
                        {"hint", f.hint}});
  }
  return findings;
}

DoctorSeverity Worst(const std::vector<_tagDoctorFinding>& findings) {
  DoctorSeverity worst = kDoctorOk;
  for (const _tagDoctorFinding& f : findings) worst = std::max(worst, f.severity);
  return worst;
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
    findings.push_back(folder);
  }
  if (health.exposed.empty()) {
    _tagDoctorFinding folders;
    folders.check = "store-folders";
    folders.text = "only their owners can write the folders of the store and of its host key";
    findings.push_back(folders);
  }
  return findings;
}

nlohmann::json ReportJson(const CheckedClient& checked) {
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
  nlohmann::json findings = FindingsJson(report.findings);
  return {{"orbalId", report.orbalId},
          {"clientId", report.clientId},
          {"clientName", checked.name},
          {"status", SeverityName(report.worst)},
          {"complete", checked.complete},
          {"answerServer", report.answerServer},
          {"databases", report.databases},
          {"members", members},
          {"probes", probes},
          {"findings", findings}};
}

void PrintFindings(std::ostream& out, const std::vector<_tagDoctorFinding>& findings);

// "DAG client 2 (DAG01), installation 1: 2 failures, 4 warnings"
std::string Headline(const CheckedClient& checked) {
  const _tagDoctorReport& report = checked.report;
  std::string line = "DAG client " + std::to_string(report.clientId);
  if (!checked.name.empty()) line += " (" + DisplayText(checked.name) + ")";
  return line + ", installation " + std::to_string(report.orbalId) + ": " +
         Plural(Count(report.findings, kDoctorFail), "failure") + ", " +
         Plural(Count(report.findings, kDoctorWarn), "warning");
}

void PrintReport(std::ostream& out, const CheckedClient& checked) {
  const _tagDoctorReport& report = checked.report;
  out << Headline(checked) << "\n";
  if (!report.answerServer.empty()) {
    out << "Databases checked on the answer of " << DisplayText(report.answerServer) << " ("
        << Plural(report.databases, "database") << ")\n";
  }
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
  out << "\n";
  PrintFindings(out, report.findings);
}

void PrintFindings(std::ostream& out, const std::vector<_tagDoctorFinding>& findings) {
  // Failures first, then warnings, then what passed; each in check order.
  for (DoctorSeverity severity : {kDoctorFail, kDoctorWarn, kDoctorOk}) {
    for (const _tagDoctorFinding& f : findings) {
      if (f.severity != severity) continue;
      out << (severity == kDoctorFail   ? "FAIL  "
              : severity == kDoctorWarn ? "WARN  "
                                        : "OK    ")
          << DisplayText(f.check);
      if (severity == kDoctorOk) {
        out << ": " << DisplayText(f.text) << "\n";
        continue;
      }
      out << ": " << DisplayText(f.object) << "\n";
      out << "      " << DisplayText(f.text) << "\n";
      if (!f.hint.empty()) out << "      hint: " << DisplayText(f.hint) << "\n";
    }
  }
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
  const std::vector<_tagDoctorFinding> storeFindings = StoreFindings(health);
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
  const DoctorRun monitored = Monitored(options, health, storeFindings, clients);
  const auto metrics = [&monitored](const std::string& previous) {
    return DoctorMetrics(monitored, previous, std::time(nullptr));
  };
  if (options.monitoring.nagios()) {
    return options.monitoring.Answer(DoctorPluginAnswer(monitored), metrics);
  }
  DoctorSeverity worst = Worst(storeFindings);
  size_t failures = Count(storeFindings, kDoctorFail);
  for (const CheckedClient& client : clients) {
    worst = std::max(worst, client.report.worst);
    failures += Count(client.report.findings, kDoctorFail);
  }

  if (global.json) {
    nlohmann::json reports = nlohmann::json::array();
    for (const CheckedClient& client : clients) reports.push_back(ReportJson(client));
    nlohmann::json answer = {{"ok", worst != kDoctorFail},
                             {"status", SeverityName(worst)},
                             {"store",
                              {{"path", health.path},
                               {"status", SeverityName(Worst(storeFindings))},
                               {"findings", FindingsJson(storeFindings)}}},
                             {"clients", reports}};
    if (worst == kDoctorFail) {
      answer["error"] = "the health check found " + Plural(failures, "failure");
    }
    PrintJson(answer);
  } else {
    std::cout << "Configuration store " << DisplayText(health.path) << "\n";
    PrintFindings(std::cout, storeFindings);
    for (const CheckedClient& client : clients) {
      std::cout << "\n";
      PrintReport(std::cout, client);
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

Command AddDoctorCommand(CLI::App& root, const GlobalOptions& global) {
  auto options = std::make_shared<DoctorOptions>();
  CLI::App* sub = root.add_subcommand(
      "doctor", "Check what will go wrong with a DAG client's backups; writes nothing");
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
  AddTimeoutOption(sub);
  options->monitoring.Add(sub);
  sub->footer(
      "Probes every selected member server with the agent as database discovery would, then "
      "checks the databases of the first answer against the client's selection and "
      "subclients. Findings: fail (a database will not be backed up, or a check could not "
      "run), warn (backups run, but not as configured), ok.\n"
      "Exit status: 0 when every check passed, 3 when there are warnings only, 1 when a check "
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
