// The health check of a DAG client: what will go wrong with its backups,
// found from the store and from the tool's answers before a backup runs.
// It reads only: nothing is written to the store and no event is raised, so
// it stands on the parts of database discovery rather than on
// DiscoverExDatabase itself (which raises the critical event).
#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <tzplatform/Properties.h>
#include <tzplatform/Subclient.h>
#include <tzplatform/TZClient.h>

#include "discovery_runs.h"
#include "internal.h"
#include "live_subclients.h"
#include "name_lookup.h"
#include "tzdag/TzDagApi.h"

namespace {

const char kLogName[] = "DiagnoseDagClient";
const char kNotAvailable[] = "N/A";

size_t CheckRank(const std::string& check) {
  const size_t count = sizeof(kDoctorChecks) / sizeof(kDoctorChecks[0]);
  for (size_t i = 0; i < count; ++i) {
    if (check == kDoctorChecks[i]) return i;
  }
  return count;
}

std::string Plural(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// "A, B, C and 2 more": a list that keeps a finding on one line.
std::string NameList(const std::vector<std::string>& names, size_t shown = 3) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < shown; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
  return text;
}

// What the check needs of one database of the tool's answer.
struct AnsweredDatabase {
  std::string name;
  std::vector<std::string> copyServers;
  std::string backupServer;
};

class Doctor {
 public:
  Doctor(uint32_t orbalId, uint32_t clientId, unsigned atOnce, _tagDoctorReport& report)
      : orbalId_(orbalId), clientId_(clientId), atOnce_(atOnce), report_(report) {}

  bool Run() {
    event.debug("[%s]: Check DAG client %u of installation %u", kLogName, clientId_, orbalId_);
    if (ReadMembers()) {
      const DiscoveryRun* answer = Probe();
      if (answer != nullptr) CheckDatabases(*answer);
    }
    CheckAgents();
    Finish();
    event.debug("[%s]: Check of DAG client %u done: %s", kLogName, clientId_,
                complete_ ? "every check ran" : "some checks could not run");
    return complete_;
  }

 private:
  // `kind` and `kindHint` are for findings that say the same of several
  // objects; a finding that stands alone is its own kind.
  void Add(DoctorSeverity severity, const char* check, const std::string& object,
           const std::string& text, const std::string& hint, const std::string& kind = "",
           const std::string& kindHint = "") {
    _tagDoctorFinding finding;
    finding.severity = severity;
    finding.check = check;
    finding.object = object;
    finding.text = text;
    finding.hint = hint;
    finding.kind = kind.empty() ? text : kind;
    finding.kindHint = kind.empty() ? hint : kindHint;
    report_.findings.push_back(std::move(finding));
    event.debug("[%s]: %s %s %s: %s", kLogName,
                severity == kDoctorFail   ? "fail"
                : severity == kDoctorWarn ? "warn"
                                          : "ok",
                check, object.c_str(), text.c_str());
  }
  // A check that could not run fails the report.
  void CouldNotRun(const char* check, const std::string& object, const std::string& text,
                   const std::string& hint) {
    complete_ = false;
    Add(kDoctorFail, check, object, text, hint);
  }
  // The check ran; when it found nothing, it says `okText`.
  void Ran(const char* check, const std::string& okText) { okTexts_[check] = okText; }

  std::string Client() const { return "client " + std::to_string(clientId_); }

  const _tagDoctorMember* Member(const std::string& name) const {
    auto found = memberIndex_.find(FoldName(name));
    return found == memberIndex_.end() ? nullptr : &report_.members[found->second];
  }

  // --- The store ------------------------------------------------------------

  bool ReadMembers() {
    PropertiesList properties;
    ClientProperties stored(static_cast<uint64_t>(clientId_));
    int status = stored.getProperties(properties, nullptr);
    if (status != 0) {
      CouldNotRun("client", Client(),
                  "its member server entries cannot be read from the configuration store "
                  "(status " +
                      std::to_string(status) + ")",
                  "check that " + Client() + " is in the configuration store");
      return false;
    }
    size_t selected = 0;
    for (const ApplProperty* property : properties) {
      if (property->getType() != DAGMemberServerProperty::kType) continue;
      auto* entry = dynamic_cast<const DAGMemberServerProperty*>(property);
      if (entry == nullptr) continue;
      _tagDoctorMember member;
      member.name = entry->getName();
      member.selected = entry->isSelectedForDAGClient();
      member.agentFlag = entry->isExchDBuVOInstalled();
      TZClient client(member.name, true, 0);
      uint64_t id = 0;
      member.knownClient = client.getClientId(id, nullptr) == 0;
      if (member.knownClient) client.getNetworkHostnameMangled(member.host, nullptr);
      member.packageInstalled = member.knownClient && HasExDbAgentInstalled(member.name.c_str());
      member.agentDisagrees = member.agentFlag != member.packageInstalled;
      if (member.selected) ++selected;
      memberIndex_.emplace(FoldName(member.name), report_.members.size());
      report_.members.push_back(std::move(member));
    }
    if (report_.members.empty()) {
      CouldNotRun("client", Client(),
                  "the configuration store holds no member server entry for it: it is not a DAG "
                  "client, or its member servers were never added",
                  "name the client that stands for the DAG, with its member servers added");
      return false;
    }
    if (selected == 0) {
      Add(kDoctorFail, "client", Client(),
          "no member server is selected: none of its databases is backed up",
          "select the member servers to back up from for " + Client());
    }
    Ran("client", std::to_string(report_.members.size()) + " member servers, " +
                      std::to_string(selected) + " of them selected");
    return true;
  }

  // --- Probes ----------------------------------------------------------------

  // Runs the tool on every server database discovery may run it on and
  // reports how each went. Hands back the first answer in that order.
  const DiscoveryRun* Probe() {
    std::vector<std::string> servers;
    std::set<std::string> seen;
    for (const std::string& server : GetRemoteServer(clientId_)) {
      if (seen.insert(FoldName(server)).second) servers.push_back(server);
    }
    if (servers.empty()) {
      CouldNotRun("discovery", Client(),
                  "no selected member server carries the database agent: database discovery "
                  "fails and raises critical event 0x48000097",
                  "select a member server with the database agent for " + Client());
      return nullptr;
    }
    // As DiscoverExDatabase does for the client as a whole (no subclient).
    clientPreferences_ = ReadCopyPreferences(orbalId_, 0);
    probes_.resize(servers.size());
    for (size_t i = 0; i < servers.size(); ++i) {
      probes_[i].server = servers[i];
      probes_[i].preferences = clientPreferences_;
    }
    RunDiscoveries(probes_, clientId_, atOnce_);

    const DiscoveryRun* firstAnswer = nullptr;
    const DiscoveryRun* firstStarted = nullptr;
    for (const DiscoveryRun& run : probes_) {
      _tagDoctorProbe probe;
      probe.server = run.server;
      const _tagDoctorMember* member = Member(run.server);
      if (member != nullptr) probe.host = member->host;
      probe.started = run.started;
      probe.reachable = run.answered;
      probe.error = run.problem;
      probe.milliseconds = run.milliseconds;
      report_.probes.push_back(probe);
      event.debug("[%s]: Probe of %s: %s in %lld ms", kLogName, run.server.c_str(),
                  run.answered  ? "answered"
                  : run.started ? "no answer"
                                : "not started",
                  static_cast<long long>(run.milliseconds));
      if (firstStarted == nullptr && run.started) firstStarted = &run;
      if (firstAnswer == nullptr && run.answered) firstAnswer = &run;
      if (run.answered) continue;
      const std::string where = probe.host.empty() ? run.server : probe.host;
      if (!run.started) {
        Add(kDoctorWarn, "reachability", run.server,
            "the tool cannot be started there: " + run.problem,
            "make " + where + " reachable with the discovery tool installed, or unselect " +
                run.server,
            "the tool cannot be started there",
            "make them reachable with the discovery tool installed, or unselect them");
      } else {
        Add(kDoctorWarn, "reachability", run.server,
            "the tool started but gave no answer: " + run.problem,
            "see why the tool fails on " + where + " (its lines are in the log)",
            "the tool started there but gave no answer",
            "see why the tool fails there (its lines are in the log)");
      }
    }
    Ran("reachability", "every probed member server answered");

    if (firstStarted == nullptr) {
      CouldNotRun("discovery", Client(),
                  "the tool cannot be started on any selected member server with the agent: "
                  "database discovery fails",
                  "make one of " + NameList(servers) + " reachable");
    } else if (!firstStarted->answered) {
      // DiscoverExDatabase moves on only from a server where the tool does
      // not start; a tool that starts and fails ends the discovery.
      Add(kDoctorFail, "discovery", firstStarted->server,
          "database discovery stops here: the tool starts but gives no answer, and no other "
          "member server is tried",
          "mend the tool on " + firstStarted->server +
              ", or unselect it so that discovery "
              "starts on the next server");
    } else {
      Ran("discovery", "database discovery runs on " + firstStarted->server);
    }
    if (firstAnswer == nullptr && firstStarted != nullptr) {
      CouldNotRun("discovery", Client(),
                  "no member server answered: the database checks could not run",
                  "make one of " + NameList(servers) + " answer");
    }
    return firstAnswer;
  }

  // --- Databases -------------------------------------------------------------

  void CheckDatabases(const DiscoveryRun& answer) {
    report_.answerServer = answer.server;
    answerServer_ = answer.server;
    firstAnswer_ = &answer;
    event.debug("[%s]: Databases checked on the answer of %s", kLogName, answer.server.c_str());

    for (const CNMessageBase& record : answer.answer.getDatabases()) {
      AnsweredDatabase database;
      database.name = tzdag::GetString(record, Uvo::DAGDB::kDbName);
      for (const std::string& server : tzdag::GetStringList(record, Uvo::DAGDB::kCopyServers)) {
        database.copyServers.push_back(server);
      }
      database.backupServer = tzdag::GetString(record, Uvo::DAGDB::kBackupServer);
      databaseIndex_.emplace(FoldName(database.name), databases_.size());
      databases_.push_back(std::move(database));
    }
    report_.databases = databases_.size();

    kept_ = answer.answer;
    if (!FilterResponceForClient(clientId_, kept_)) {
      CouldNotRun("dropped", Client(),
                  "no member server is selected: the answer cannot be narrowed to the client",
                  "select the member servers to back up from for " + Client());
      return;
    }
    CheckDropped();
    CheckCopyHolders();
    CheckCircularLogging();
    if (!ReadSubclients()) return;
    CheckSubclients();
  }

  void CheckDropped() {
    // The filter keeps the answer's order and names, so what it left out is
    // what a walk of both lists does not meet in the kept list.
    std::map<std::string, size_t> keptNames;
    for (const CNMessageBase& record : std::as_const(kept_).getDatabases()) {
      ++keptNames[tzdag::GetString(record, Uvo::DAGDB::kDbName)];
    }
    for (const AnsweredDatabase& database : databases_) {
      auto kept = keptNames.find(database.name);
      if (kept != keptNames.end() && kept->second > 0) {
        --kept->second;
        continue;
      }
      if (database.copyServers.empty()) {
        Add(kDoctorFail, "dropped", database.name,
            "the tool names no server with a copy of it: it is never backed up",
            "see to the database's copies in Exchange",
            "the tool names no server with a copy of them: they are never backed up",
            "see to their copies in Exchange");
      } else {
        Add(kDoctorFail, "dropped", database.name,
            "no selected member server holds a copy (copies on " + NameList(database.copyServers) +
                "): it is never backed up",
            "select a member server with a copy of it for " + Client() +
                ", or add a copy on a selected member server",
            "no selected member server holds a copy of them: they are never backed up",
            "select for " + Client() +
                " a member server with a copy of each, or add a copy on a selected member server");
      }
    }
    Ran("dropped", "every database has a copy on a selected member server");
  }

  void CheckCopyHolders() {
    // Each server once, in the order the answer first names it.
    std::vector<std::string> order;
    std::unordered_map<std::string, std::vector<std::string>> holdings;
    for (const AnsweredDatabase& database : databases_) {
      for (const std::string& server : database.copyServers) {
        if (Member(server) != nullptr) continue;
        std::vector<std::string>& held = holdings[FoldName(server)];
        if (held.empty()) order.push_back(server);
        held.push_back(database.name);
      }
    }
    for (const std::string& server : order) {
      const std::vector<std::string>& held = holdings[FoldName(server)];
      Add(kDoctorWarn, "copy-holders", server,
          "holds copies of " + std::to_string(held.size()) + " database" +
              (held.size() == 1 ? "" : "s") + " (" + NameList(held) +
              ") but is not a member server of " + Client() + " in the store",
          "add " + server + " to the member servers of " + Client() +
              "; until then no backup runs from it",
          "hold copies of databases but are not member servers of " + Client() + " in the store",
          "add them to the member servers of " + Client() +
              "; until then no backup runs from them");
    }
    Ran("copy-holders", "every server holding a copy is a member server of " + Client());
  }

  void CheckCircularLogging() {
    for (const CNMessageBase& record : std::as_const(kept_).getDatabases()) {
      if (tzdag::GetInt64(record, Uvo::DAGDB::kCircularLogging) == 0) continue;
      Add(kDoctorWarn, "circular-logging", tzdag::GetString(record, Uvo::DAGDB::kDbName),
          "circular logging is on: its logs are not kept, so every backup of it is a full one",
          "turn circular logging off for the database in Exchange, unless full backups are "
          "meant",
          "circular logging is on: their logs are not kept, so every backup of them is a full one",
          "turn circular logging off for them in Exchange, unless full backups are meant");
    }
    Ran("circular-logging", "no database backed up has circular logging");
  }

  // --- Subclients --------------------------------------------------------------

  bool ReadSubclients() {
    LiveSubclients read = ReadLiveSubclients(kLogName, orbalId_, clientId_);
    if (read.listStatus != 0) {
      CouldNotRun("subclients", Client(),
                  "its subclients cannot be read from the configuration store (status " +
                      std::to_string(read.listStatus) + "): the subclient checks could not run",
                  "check the configuration store");
      return false;
    }
    for (const LiveSubclient& subclient : read.unreadable) {
      CouldNotRun("subclients", subclient.Label(),
                  "it cannot be read from the configuration store: its databases are not checked",
                  "check the configuration store");
      subclientUnread_ = true;
    }
    subclients_ = std::move(read.live);
    Ran("subclients", std::to_string(subclients_.size()) + " live subclient" +
                          (subclients_.size() == 1 ? "" : "s") + " of installation " +
                          std::to_string(orbalId_) + " checked");
    return true;
  }

  // The run whose answer each subclient's backups follow, in subclients_
  // order: for each automatic subclient the answering server is asked again
  // with its copy preferences, unless the first answer was made with them;
  // a manual subclient follows its associations, not the tool's choice, so
  // the first answer serves it. Also finds activeRun_.
  std::vector<const DiscoveryRun*> AskWithSubclientPreferences() {
    std::vector<CopyPreferences> wanted;
    // The server of each database's active copy is what the tool names when
    // asked for the active copy.
    const CopyPreferences active;
    if (!clientPreferences_.preferActive) wanted.push_back(active);
    for (const LiveSubclient& subclient : subclients_) {
      if (!subclient.automatic || subclient.preferences == clientPreferences_) continue;
      if (std::find(wanted.begin(), wanted.end(), subclient.preferences) == wanted.end()) {
        wanted.push_back(subclient.preferences);
      }
    }
    runs_.resize(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) {
      runs_[i].server = answerServer_;
      runs_[i].preferences = wanted[i];
    }
    RunDiscoveries(runs_, clientId_, atOnce_);

    auto runFor = [&](const CopyPreferences& preferences) -> const DiscoveryRun* {
      if (preferences == clientPreferences_) return firstAnswer_;
      for (const DiscoveryRun& run : runs_) {
        if (run.preferences == preferences) return &run;
      }
      return firstAnswer_;
    };
    activeRun_ = clientPreferences_.preferActive ? firstAnswer_ : runFor(active);
    std::vector<const DiscoveryRun*> bySubclient;
    for (const LiveSubclient& subclient : subclients_) {
      bySubclient.push_back(subclient.automatic ? runFor(subclient.preferences) : firstAnswer_);
    }
    return bySubclient;
  }

  void CheckSubclients() {
    const std::vector<const DiscoveryRun*> runBySubclient = AskWithSubclientPreferences();

    // The server of each database's active copy, as the tool names it.
    std::unordered_map<std::string, std::string> activeServer;
    if (activeRun_->answered) {
      for (const CNMessageBase& record : activeRun_->answer.getDatabases()) {
        activeServer.emplace(FoldName(tzdag::GetString(record, Uvo::DAGDB::kDbName)),
                             tzdag::GetString(record, Uvo::DAGDB::kBackupServer));
      }
    }

    // The server each answer's tool named for each database, before any filter.
    std::map<const DiscoveryRun*, std::unordered_map<std::string, std::string>> toolPicks;
    auto picksOf = [&](const DiscoveryRun& run) -> const auto& {
      auto [picks, fresh] = toolPicks.try_emplace(&run);
      if (fresh) {
        for (const CNMessageBase& record : run.answer.getDatabases()) {
          picks->second.emplace(FoldName(tzdag::GetString(record, Uvo::DAGDB::kDbName)),
                                tzdag::GetString(record, Uvo::DAGDB::kBackupServer));
        }
      }
      return picks->second;
    };

    std::set<std::string> protectedNames;
    std::set<std::string> byDefault;  // folded names a default subclient backs up
    std::set<std::string> byCustom;   // ... and another subclient backs up
    bool everySubclientFiltered = !subclientUnread_;
    bool everyCopyChecked = true;
    for (size_t s = 0; s < subclients_.size(); ++s) {
      const LiveSubclient& subclient = subclients_[s];
      const DiscoveryRun& run = *runBySubclient[s];
      CheckStaleContent(subclient, run);

      if (!run.answered) {
        CouldNotRun("backup-copy", subclient.Label(),
                    "the tool on " + answerServer_ +
                        " gave no answer with its copy preferences: " + run.problem,
                    "see why the tool fails on " + answerServer_ + " (its lines are in the log)");
        everyCopyChecked = false;
      }
      // Which databases are the subclient's does not depend on the copy
      // chosen, so the first answer tells them when its own is missing.
      Uvo::DAGDBResp databases = run.answered ? run.answer : firstAnswer_->answer;
      if (!FilterResponceForClient(clientId_, databases) ||
          !FilterResponceForSubClient(orbalId_, subclient.id, databases)) {
        CouldNotRun("subclients", subclient.Label(),
                    "database discovery for it fails: its databases cannot be told from its "
                    "backup set's others (see the lines of FilterResponceForSubClient in the log)",
                    "give its backup set a default subclient, and check that its content can be "
                    "read");
        everySubclientFiltered = false;
        continue;
      }
      for (const CNMessageBase& record : std::as_const(databases).getDatabases()) {
        const std::string name = tzdag::GetString(record, Uvo::DAGDB::kDbName);
        protectedNames.insert(FoldName(name));
        (subclient.isDefault ? byDefault : byCustom).insert(FoldName(name));
        if (!subclient.automatic || !run.answered) continue;
        const std::string backupServer = tzdag::GetString(record, Uvo::DAGDB::kBackupServer);
        auto active = activeServer.find(FoldName(name));
        auto pick = picksOf(run).find(FoldName(name));
        CheckBackupCopy(subclient, name, backupServer,
                        pick == picksOf(run).end() ? backupServer : pick->second,
                        active == activeServer.end() ? std::string() : active->second);
        if (backupServer != kNotAvailable) {
          backupsOn_[FoldName(backupServer)].push_back(name + " of " + subclient.Label());
        }
      }
      if (!subclient.automatic) CheckAssociations(subclient, databases);
    }
    if (everyCopyChecked) {
      Ran("backup-copy", "every database is backed up from the kind of copy its subclient prefers");
    }
    Ran("stale-content", "every database that subclient content names is in the DAG");
    Ran("association", "every association of a manual subclient names a server with a copy");

    if (!everySubclientFiltered) return;  // what those subclients protect is unknown
    for (const CNMessageBase& record : std::as_const(kept_).getDatabases()) {
      const std::string name = tzdag::GetString(record, Uvo::DAGDB::kDbName);
      if (protectedNames.count(FoldName(name)) != 0) continue;
      Add(kDoctorFail, "unprotected", name, "no live subclient backs it up",
          "add it to the content of a subclient of " + Client() +
              ", or give its backup set a default subclient",
          "no live subclient backs them up",
          "add them to the content of a subclient of " + Client() +
              ", or give their backup set a default subclient");
    }
    Ran("unprotected", "every database is backed up by a live subclient");
    CheckDefaultOnly(byDefault, byCustom);
  }

  // What `tzdag unprotected` lists goes by content alone, so a database the
  // default subclient backs up can be there too: said here, so that the two
  // reports agree in words.
  void CheckDefaultOnly(const std::set<std::string>& byDefault,
                        const std::set<std::string>& byCustom) {
    for (const CNMessageBase& record : std::as_const(kept_).getDatabases()) {
      const std::string name = tzdag::GetString(record, Uvo::DAGDB::kDbName);
      const std::string folded = FoldName(name);
      if (byDefault.count(folded) == 0 || byCustom.count(folded) != 0) continue;
      Add(kDoctorOk, "default-only", name,
          "only the default subclient backs it up: no other live subclient names it in its "
          "content",
          "to back it up with other settings, add it to the content of a custom subclient",
          "only the default subclient backs them up: no other live subclient names them in its "
          "content",
          "to back them up with other settings, add them to the content of a custom subclient");
    }
    Ran("default-only", "no database is backed up by the default subclient alone");
  }

  void CheckStaleContent(const LiveSubclient& subclient, const DiscoveryRun& run) {
    size_t stale = 0;
    for (const std::string& path : subclient.content) {
      if (databaseIndex_.count(FoldName(path)) == 0) ++stale;
    }
    if (stale == 0) return;
    const std::string command = UpdateCommand(subclient, run, stale);
    for (const std::string& path : subclient.content) {
      if (databaseIndex_.count(FoldName(path)) != 0) continue;
      Add(kDoctorWarn, "stale-content", path,
          "named in the content of " + subclient.Label() + ", but the DAG has no such database",
          "remove it from the content of " + subclient.Label() + "; " + command,
          "named in the content of " + subclient.Label() + ", but the DAG has no such databases",
          "remove them from the content of " + subclient.Label() + "; " + command);
    }
  }

  // No command removes only the stale entries of a subclient: update-subclient
  // makes its content the client's whole answer. What it would do, as its dry
  // run would count it: content entries claim the answer's names ignoring
  // letter case, one name each; the rest go, and the unclaimed names come in.
  // Every database of the answer gets an association: a manual subclient
  // keeps the server of one it had under exactly that name, any other takes
  // the server of the answer made with its copy preferences (`run`).
  std::string UpdateCommand(const LiveSubclient& subclient, const DiscoveryRun& run,
                            size_t stale) const {
    std::vector<std::string> unclaimed = Names(kept_);
    size_t reassociated = 0;
    if (run.answered) {
      std::map<std::string, std::string> previous;
      for (const auto& [database, server] : subclient.associations) previous[database] = server;
      Uvo::DAGDBResp answer = run.answer;
      FilterResponceForClient(clientId_, answer);
      for (const CNMessageBase& record : std::as_const(answer).getDatabases()) {
        auto had = previous.find(tzdag::GetString(record, Uvo::DAGDB::kDbName));
        if (had == previous.end()) {
          ++reassociated;
        } else if (subclient.automatic &&
                   had->second != tzdag::GetString(record, Uvo::DAGDB::kBackupServer)) {
          ++reassociated;
        }
      }
    }
    size_t removed = 0;
    for (const std::string& path : subclient.content) {
      auto claimed = std::find_if(unclaimed.begin(), unclaimed.end(), iStrEqual(path));
      if (claimed == unclaimed.end()) {
        ++removed;
      } else {
        unclaimed.erase(claimed);
      }
    }
    std::string text = "tzdag update-subclient --orbal " + std::to_string(orbalId_) + " --client " +
                       std::to_string(clientId_) + " --app " + std::to_string(subclient.id) +
                       " removes " +
                       (stale == 1 ? "it" : "the " + std::to_string(stale) + " stale entries");
    std::vector<std::string> more;
    if (removed > stale) {
      more.push_back("removes " + std::to_string(removed - stale) + " other " +
                     (removed - stale == 1 ? "entry" : "entries"));
    }
    if (!unclaimed.empty()) {
      more.push_back("adds " + Plural(unclaimed.size(), "database") +
                     " (every database of the client it does not name)");
    }
    if (reassociated > 0) {
      more.push_back("associates " + Plural(reassociated, "database") + " with a new server");
    }
    for (size_t i = 0; i < more.size(); ++i) {
      text += (i == 0 ? ", but also " : i + 1 == more.size() ? " and " : ", ") + more[i];
    }
    text += "; its --dry-run lists each change";
    if (removed * 100 > size_t{kDefaultMaxRemovalPercent} * subclient.content.size()) {
      text += "; it is held back unless given --allow-removal";
    }
    return text;
  }

  // `toolPick` is the server the tool named before the client filter, which
  // replaces a pick on an unselected server with the first selected copy.
  void CheckBackupCopy(const LiveSubclient& subclient, const std::string& database,
                       const std::string& backupServer, const std::string& toolPick,
                       const std::string& activeServer) {
    const CopyPreferences& p = subclient.preferences;
    if (backupServer == kNotAvailable) {
      if (!p.preferActive && !p.useActiveIfNoPassive) {
        Add(kDoctorFail, "backup-copy", database,
            subclient.Label() +
                " finds no healthy passive copy and does not fall back to the active copy: it "
                "is not backed up",
            "let " + subclient.Label() +
                " use the active copy when no passive copy is healthy, or repair a passive copy",
            subclient.Label() +
                " finds no healthy passive copy and does not fall back to the active copy: they "
                "are not backed up",
            "let " + subclient.Label() +
                " use the active copy when no passive copy is healthy, or repair a passive copy "
                "of each");
      } else {
        Add(kDoctorFail, "backup-copy", database,
            "the tool finds no copy for " + subclient.Label() +
                " to back it up from (no active copy): it is not backed up",
            "mount the database, or repair its copies",
            "the tool finds no copy for " + subclient.Label() +
                " to back them up from (no active copy): they are not backed up",
            "mount them, or repair their copies");
      }
      return;
    }
    if (activeServer.empty() || activeServer == kNotAvailable) return;
    const bool fromActive = iStrEqual(activeServer)(backupServer);
    if (!p.preferActive && fromActive) {
      if (iStrEqual(activeServer)(toolPick)) {
        Add(kDoctorWarn, "backup-copy", database,
            subclient.Label() +
                " prefers a passive copy, but no passive copy is healthy: backed up from the "
                "active copy on " +
                backupServer,
            "repair a passive copy of it",
            subclient.Label() +
                " prefers a passive copy, but no passive copy is healthy: backed up from the "
                "active copy",
            "repair a passive copy of each");
      } else {
        AskToSelect(database, toolPick,
                    subclient.Label() +
                        " prefers a passive copy, but the one the tool picks is on " + toolPick +
                        " (not selected): backed up from the active copy on " + backupServer,
                    subclient.Label() +
                        " prefers a passive copy, but the one the tool picks is on a member server "
                        "that is not selected: backed up from the active copy");
      }
    } else if (p.preferActive && !fromActive) {
      AskToSelect(database, activeServer,
                  subclient.Label() + " prefers the active copy, which is on " + activeServer +
                      " (not selected): backed up from " + backupServer,
                  subclient.Label() +
                      " prefers the active copy, which is on a member server that is not "
                      "selected: backed up from a passive copy");
    }
  }

  // A backup-copy warning whose hint is to select `server`: the one hint of
  // its kind names every server its findings ask for (Finish writes it).
  void AskToSelect(const std::string& database, const std::string& server, const std::string& text,
                   const std::string& kind) {
    auto& [folded, servers] = toSelect_[kind];
    if (folded.insert(FoldName(server)).second) servers.push_back(server);
    Add(kDoctorWarn, "backup-copy", database, text, "select " + server + " for " + Client(), kind,
        "");
  }

  void CheckAssociations(const LiveSubclient& subclient, const Uvo::DAGDBResp& databases) {
    NameSet backedUp(Names(databases));
    for (const auto& [database, server] : subclient.associations) {
      auto found = databaseIndex_.find(FoldName(database));
      if (found == databaseIndex_.end()) continue;  // not in the DAG: stale content says so
      const AnsweredDatabase& answered = databases_[found->second];
      if (!NameSet(answered.copyServers).Contains(server)) {
        Add(kDoctorFail, "association", database,
            subclient.Label() + " backs it up from " + server + ", which holds no copy of it",
            "associate it with a server that holds a copy (" + NameList(answered.copyServers) + ")",
            subclient.Label() + " backs them up from servers that hold no copy of them",
            "associate each with a server that holds a copy of it (tzdag doctor --check "
            "association --detail names them)");
        continue;
      }
      if (backedUp.Contains(database)) {
        backupsOn_[FoldName(server)].push_back(database + " of " + subclient.Label());
      }
    }
  }

  static std::vector<std::string> Names(const Uvo::DAGDBResp& databases) {
    std::vector<std::string> names;
    for (const CNMessageBase& record : databases.getDatabases()) {
      names.push_back(tzdag::GetString(record, Uvo::DAGDB::kDbName));
    }
    return names;
  }

  // --- The agent on the member servers ---------------------------------------

  void CheckAgents() {
    if (report_.members.empty()) return;
    for (const _tagDoctorMember& member : report_.members) {
      if (!member.selected) continue;
      if (!member.packageInstalled) {
        const std::string what = member.knownClient
                                     ? "the database agent (package 151) is not installed there"
                                     : "the store knows no client " + member.name +
                                           ", so no database agent is installed there";
        auto backups = backupsOn_.find(FoldName(member.name));
        if (backups != backupsOn_.end()) {
          const std::vector<std::string>& names = backups->second;
          Add(kDoctorFail, "agent", member.name,
              "selected, but " + what + ": " + std::to_string(names.size()) + " backup" +
                  (names.size() == 1 ? " is" : "s are") + " to run there (" + NameList(names) + ")",
              "install the Exchange database agent on " + member.name + ", or unselect it for " +
                  Client(),
              "selected, but no database agent is installed there, and backups are to run there",
              "install the Exchange database agent on them, or unselect them for " + Client());
        } else {
          Add(kDoctorWarn, "agent", member.name, "selected, but " + what,
              "install the Exchange database agent on " + member.name + ", or unselect it for " +
                  Client(),
              "selected, but no database agent is installed there",
              "install the Exchange database agent on them, or unselect them for " + Client());
        }
      }
      if (member.agentDisagrees) {
        Add(kDoctorWarn, "agent-entry", member.name,
            member.agentFlag
                ? "the DAG client's entry says it carries the database agent, but package 151 "
                  "is not installed there: discovery is started there in vain"
                : "package 151 is installed there, but the DAG client's entry says it has no "
                  "database agent: discovery never runs there",
            "bring the member server entry of " + member.name + " in " + Client() +
                " in line with the installed packages",
            member.agentFlag ? "the DAG client's entries say they carry the database agent, but "
                               "package 151 is not installed there: discovery is started there "
                               "in vain"
                             : "package 151 is installed there, but the DAG client's entries say "
                               "they have no database agent: discovery never runs there",
            "bring their member server entries in " + Client() +
                " in line with the installed packages");
      }
    }
    Ran("agent", "every selected member server has the database agent");
    Ran("agent-entry", "the member server entries agree with the installed packages");
  }

  // --- The report ---------------------------------------------------------------

  void Finish() {
    for (_tagDoctorFinding& finding : report_.findings) {
      auto servers = toSelect_.find(finding.kind);
      if (servers == toSelect_.end()) continue;
      const std::vector<std::string>& names = servers->second.second;
      finding.kindHint = "select " + NameList(names, names.size()) + " for " + Client();
    }
    std::set<std::string> found;
    for (const _tagDoctorFinding& finding : report_.findings) found.insert(finding.check);
    for (const auto& [check, text] : okTexts_) {
      if (found.count(check) != 0) continue;
      _tagDoctorFinding passed;
      passed.check = check;
      passed.text = text;
      passed.kind = text;
      report_.findings.push_back(std::move(passed));
    }
    std::stable_sort(report_.findings.begin(), report_.findings.end(),
                     [](const _tagDoctorFinding& a, const _tagDoctorFinding& b) {
                       return CheckRank(a.check) < CheckRank(b.check);
                     });
    report_.worst = kDoctorOk;
    for (const _tagDoctorFinding& finding : report_.findings) {
      report_.worst = std::max(report_.worst, finding.severity);
    }
  }

  const uint32_t orbalId_;
  const uint32_t clientId_;
  const unsigned atOnce_;
  _tagDoctorReport& report_;
  bool complete_ = true;
  std::map<std::string, std::string> okTexts_;

  std::unordered_map<std::string, size_t> memberIndex_;  // folded name -> report_.members
  CopyPreferences clientPreferences_;
  std::vector<DiscoveryRun> probes_;
  std::string answerServer_;
  std::vector<AnsweredDatabase> databases_;                // the first answer, unfiltered
  std::unordered_map<std::string, size_t> databaseIndex_;  // folded name -> databases_
  Uvo::DAGDBResp kept_;                                    // the first answer, client-filtered
  std::vector<LiveSubclient> subclients_;
  const DiscoveryRun* firstAnswer_ = nullptr;  // in probes_
  std::vector<DiscoveryRun> runs_;             // answers with other copy preferences
  const DiscoveryRun* activeRun_ = nullptr;    // the answer that names the active copies
  bool subclientUnread_ = false;               // a subclient of the list could not be read
  // Folded server name -> the backups that are to run there.
  std::unordered_map<std::string, std::vector<std::string>> backupsOn_;
  // Kind of finding -> the servers its findings ask to be selected (folded
  // names, and the names in the order first met).
  std::map<std::string, std::pair<std::set<std::string>, std::vector<std::string>>> toSelect_;
};

}  // namespace

bool DiagnoseDagClient(uint32_t orbalId, uint32_t clientId, _tagDoctorReport& report,
                       unsigned maxProbesAtOnce) {
  report = _tagDoctorReport();
  report.orbalId = orbalId;
  report.clientId = clientId;
  Doctor doctor(orbalId, clientId, maxProbesAtOnce, report);
  return doctor.Run();
}

bool DefaultSubclientBacksUp(uint32_t orbalId, uint32_t clientId, const Uvo::DAGDBResp& resp,
                             std::vector<std::string>& names) {
  names.clear();
  const LiveSubclients read = ReadLiveSubclients("DefaultSubclientBacksUp", orbalId, clientId);
  if (read.listStatus != 0 || !read.unreadable.empty()) return false;
  std::set<std::string> backedUp;
  for (const LiveSubclient& subclient : read.live) {
    if (!subclient.isDefault) continue;
    Uvo::DAGDBResp kept = resp;
    if (!FilterResponceForSubClient(orbalId, subclient.id, kept)) return false;
    for (const CNMessageBase& record : std::as_const(kept).getDatabases()) {
      backedUp.insert(FoldName(tzdag::GetString(record, Uvo::DAGDB::kDbName)));
    }
  }
  std::set<std::string> listed;
  for (const CNMessageBase& record : resp.getDatabases()) {
    const std::string name = tzdag::GetString(record, Uvo::DAGDB::kDbName);
    if (backedUp.count(FoldName(name)) != 0 && listed.insert(name).second) names.push_back(name);
  }
  return true;
}
