// Every exported operation of libTzDagApi.so.
//
// All operations are synchronous and keep no state between calls; all run on
// the caller's thread alone, except DiagnoseDagClient, which also runs its
// probes of member servers on threads of its own, joined before it returns.
// Ids: orbalId (the managed installation), clientId (the DAG
// client) and appId (a subclient, 0 = none) are unsigned 32-bit; jobId is
// signed 64-bit, 0 = none. Server and database names are compared ignoring
// ASCII letter case unless a comment says otherwise.
//
// Results: true (or a non-empty list) for success. A failure is reported
// only by the result and by the library's log lines, each of the form
// "[<operation>]: <text>" and written through the global `event` (frame.h):
// to see why a call failed, keep a tzplatform::LogCapture (tzplatform/log.h)
// alive around it, or read the log file (tzplatform::SetLogFile, TZ_LOG_FILE).
// The library throws nothing of its own; an exception raised inside a
// platform call passes through after the call's own objects are released.
//
// Answer records are owned by the caller. The library replaces their list
// fields wholesale at the end of each stage, so a stage that fails leaves the
// record as the previous stage left it. Only UpdateSubclient (and the two
// operations built on it, SyncSubclient and SyncDagClient, which also write
// the store's change journal) writes stored configuration; events
// (DiscoverExDatabase, UpdateSubclient) are written to the log and recorded in
// the store.
//
// "The tool" below is the Windows discovery tool PshimProxy.exe, started on a
// client of the configuration (at the network host name the store gives it)
// through a CTzNetwork session; a call that runs it blocks until it answers,
// fails, or is killed at the session's time limit (TZ_REMOTE_TIMEOUT).
#ifndef TZDAG_TZDAGAPI_H_
#define TZDAG_TZDAGAPI_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <tzplatform/CTzNetwork.h>

#include "tzdag/DagDiscoverAgent.h"
#include "tzdag/export.h"
#include "tzdag/frame.h"
#include "tzdag/records.h"

// --- Direct DAG discovery -------------------------------------------------
//
// These four ask the directory agent (DagDiscoverAgent::SearchDag) for the
// DAGs. Unless the platform is set to search a directory
// (TZ_DIRECTORY_SEARCH=ldap, tzplatform/DirectorySearch.h) its search is an
// empty step that finds nothing, so they succeed with an empty answer;
// otherwise `adServerName` is the directory server (ldap://host[:port],
// ldaps://host[:port] or a host name) and `userName` the account (a DN or
// user@domain), and DAGs and members come sorted by name. Every member server they answer with
// gets `uvoInstalled` 1 when the store knows it as a client with the Exchange
// database agent (package 151) installed, else 0. Null texts are taken as
// empty. They log "[<name>]: Discover Dag. adServerName=...; userName=...;
// encryptedPassword=..." (the password in the encrypted form given) and read
// the store; they write nothing.

// Every DAG found, with every member server, into `resp.dags` (replacing what
// it held). `encryptedPassword` is the form `tzdag encrypt` prints; the agent
// decrypts it. False, with "[DiscoverDag]: Discover dag failed!" and `resp`
// untouched, only when the directory search fails (after a "[SearchDag]: "
// line saying why).
TZDAG_API bool DiscoverDag(const char* adServerName, const char* userName,
                           const char* encryptedPassword, Uvo::DAGDiscoverResp& resp);
// The member servers of the DAG named `dagName` into `resp.memberServers`:
// those of the first DAG the search returns (choosing it by name is the
// search's work); none when the search finds no DAG.
TZDAG_API bool DiscoverDag(const char* adServerName, const char* userName,
                           const char* encryptedPassword, const char* dagName,
                           Uvo::DAGMemberServersResp& resp);
// As DiscoverDag, with only the member servers that can still join a DAG
// client: servers the store does not know as clients, and known clients that
// belong to no DAG and run release 14 or later. A DAG whose members are all
// left out stays in the answer with no member servers. Logs under
// "DiscoverDagWithNewMembers".
TZDAG_API bool DiscoverDagWithNewMembers(const char* adServerName, const char* userName,
                                         const char* encryptedPassword, Uvo::DAGDiscoverResp& resp);
TZDAG_API bool DiscoverDagWithNewMembers(const char* adServerName, const char* userName,
                                         const char* encryptedPassword, const char* dagName,
                                         Uvo::DAGMemberServersResp& resp);

// --- DAG discovery through the remote tool ----------------------------------

// Every DAG with its member servers, as the tool sees them from the client
// `proxyServer` (a client name of the configuration). The tool is started
// with "-dagNode" and, for each of `adServerName`, `userName` and
// `encryptedPassword` that is not null, "-ad", "-dagu" and "-dagp" with the
// value as given (unquoted; the password stays encrypted). Its `dags` replace
// those of `resp`, and every member's `uvoInstalled` is then overwritten from
// the store as in direct discovery; no member is left out. With a null or
// empty `proxyServer`: DiscoverDagWithNewMembers with the same arguments.
// False when the tool cannot be started on the proxy ("[DiscoverDagWithProxy]:
// Failed to launch PshimProxy on server <proxy>, trying another one."; no
// other server is tried: that is the caller's choice) or its answer is not a
// good one ("[DiscoverDagWithProxy]: Failed to receive response", after
// ReceiveNodeDiscoverRespsonse's line saying why); `resp` is then untouched.
// Reads the store; writes nothing.
TZDAG_API bool DiscoverDagWithProxy(const char* adServerName, const char* userName,
                                    const char* encryptedPassword, const char* proxyServer,
                                    Uvo::DAGDiscoverResp& resp);
// The member servers of the DAG `dagName` ("-dagn", when not null), into
// `resp.memberServers`; otherwise as above.
TZDAG_API bool DiscoverDagWithProxy(const char* adServerName, const char* userName,
                                    const char* encryptedPassword, const char* dagName,
                                    const char* proxyServer, Uvo::DAGMemberServersResp& resp);
// Starts the tool for node discovery on the client `proxyServer` through
// `session`, with the command line described at DiscoverDagWithProxy ("-dagn"
// and `dagName` too when it is not null; any of the last four may be null).
// True when the session reports the tool started; `session` is then attached
// to it and ReceiveNodeDiscoverRespsonse reads its answer. False, with one
// line under "LaunchPshimForDagNodeDiscover", when the proxy has no client id
// ("Get client Id failed") or no network host name ("Get client managed name
// failed") in the store, or the session cannot start the tool ("Launch
// PshimProxy [From <host> failed. Error:[<code>: <text>]]"). Reads the store.
TZDAG_API bool LaunchPshimForDagNodeDiscover(CTzNetwork& session, const char* proxyServer,
                                             const char* adServerName, const char* userName,
                                             const char* encryptedPassword, const char* dagName);
// Receives the tool's one answer on `session` (after a successful
// LaunchPshimForDagNodeDiscover). A Uvo::DAGDiscoverResp: its `dags` replace
// those of `resp`, each member's `uvoInstalled` overwritten from the store;
// true, and the answer's XML at debug level 1. Otherwise false, `resp`
// untouched, with one line under "ReceiveNodeDiscoverRespsonse" saying why,
// such as "PshimProxy returned error: <text>" (the tool's error record),
// "Received a wrong message. TagID: <key>" (a record of another kind), or
// "Received response failed. Error:[<code>: <text>]" (the session failed: no
// answer, one that does not decode, the tool's exit status or time limit).
TZDAG_API bool ReceiveNodeDiscoverRespsonse(CTzNetwork& session, Uvo::DAGDiscoverResp& resp);
// The same for a Uvo::DAGMemberServersResp answer (its session error line
// reads "Received response is failed. Error:[...]").
TZDAG_API bool ReceiveNodeDiscoverRespsonse(CTzNetwork& session, Uvo::DAGMemberServersResp& resp);

// --- Member server selection ------------------------------------------------

// Member servers selected for the DAG client that carry the database agent,
// in configuration order (a name listed twice comes twice): the servers
// DiscoverExDatabase may run the tool on. Logs "[GetRemoteServer]: Found
// exchange server: <name> with Uvo installed." for each. A client whose
// member server entries cannot be read gives the servers read so far
// (normally none) after "[GetRemoteServer]: Failed to get client property.
// ErrCode = <status>.". Reads the store.
TZDAG_API std::vector<std::string> GetRemoteServer(uint32_t clientId);
// Member servers selected for the DAG client, agent or not, in configuration
// order; only a failed read is logged (as above, under "GetSelectedServers").
TZDAG_API std::vector<std::string> GetSelectedServers(uint32_t clientId);

// --- Database discovery ---------------------------------------------------

// Starts the tool for database discovery on member server `server` through
// `session`, with the command line "-dag 1" (`preferActive`) or "-dag 0",
// then " -ua" (`useActiveIfNoPassive`), " -la" (`useLastActivationPref`),
// " -j <jobId>" when `jobId` is not 0, " -cid <clientId>" (read as signed
// 32-bit) and " -hn <server>" (unquoted, as given). The tool runs at the
// network host name the store gives the client named `server`. True when the
// session reports the tool started; `session` is then attached to it and
// ReceiveRespsonse reads its answer. False with the lines of
// LaunchPshimForDagNodeDiscover, under "LaunchPshimFrom". Reads the store.
TZDAG_API bool LaunchPshimFrom(CTzNetwork& session, const std::string& server, uint32_t clientId,
                               bool preferActive, bool useActiveIfNoPassive,
                               bool useLastActivationPref, int64_t jobId);
// The subclient's copy preferences, read from the store. Each logs its
// answer under its own name; when the application or its subclient cannot be
// read it logs why ("getApplicationId() failed with error '<text>'." or
// "Failed to get subclient") and answers its default.
//
// Whether to back up from the active copy: true unless the subclient asks
// for passive copies. Default true.
TZDAG_API bool IsPreferActive(uint32_t orbalId, uint32_t appId);
// Whether to use the active copy when no passive copy is available. Default
// true.
TZDAG_API bool UseActiveIfNoPassive(uint32_t orbalId, uint32_t appId);
// Whether to choose the last healthy passive copy in activation preference
// order rather than the first. Default false.
TZDAG_API bool UseLastActivationPref(uint32_t orbalId, uint32_t appId);

// The Exchange databases of DAG client `clientId`, into `resp.databases`:
// the tool runs on the first server of GetRemoteServer(clientId) it can be
// started on (a server where the launch fails is logged and the next one
// tried; nothing else moves on), with the subclient's copy preferences
// (read with (`orbalId`, `appId`), defaults when unreadable) and `jobId`.
// Its answer is narrowed with FilterResponceForClient and, when `appId` is
// not 0, FilterResponceForSubClient. `remoteServer` is cleared on entry and
// set to the member server whose answer was received. Logs under
// "DiscoverDag": the request first, then on success the filtered XML at
// debug level 1 and "Discover exchange database successfully". False when no
// member server qualifies ("Did not find an exchange server with UVO
// installed", and critical event 0x48000097 raised with one text argument),
// when the launch fails on every server ("Failed to launch PshimProxy all
// servers."), when the receipt fails ("Failed to receive response") or a
// filter fails ("Filter response for client falied" / "... subclient
// falied"); `resp` then holds what the last stage that succeeded left.
// Reads the store; writes only the event.
TZDAG_API bool DiscoverExDatabase(uint32_t orbalId, uint32_t clientId, uint32_t appId,
                                  std::string& remoteServer, Uvo::DAGDBResp& resp, int64_t jobId);
// The same without the member server's name.
TZDAG_API bool DiscoverExDatabase(uint32_t orbalId, uint32_t clientId, uint32_t appId,
                                  Uvo::DAGDBResp& resp, int64_t jobId);
// Receives the tool's one answer on `session` (after a successful
// LaunchPshimFrom). A Uvo::DAGDBResp: its `databases` replace those of
// `resp` (no other field is written); true, and the XML at debug level 1.
// Otherwise false, `resp` untouched, with one line under "ReceiveRespsonse"
// saying why, such as "PshimProxy returned error: <text>", "Received a wrong
// message. TagID: <key>" or "Received failed from PshimProxy. Error:[<code>:
// <text>]".
TZDAG_API bool ReceiveRespsonse(CTzNetwork& session, Uvo::DAGDBResp& resp);

// Narrows `response` to the member servers selected for the DAG client:
// copy servers that are not selected are removed, a database left with none
// is removed, and each kept database's backup server is the tool's choice
// when that is "N/A" (exactly) or a selected server, else its first kept copy
// server. Kept databases carry `dbName`, `backupServer`, `copyServers` and
// `circularLogging` (0 or 1) only, in the answer's order. False when the
// client has no selected member server ("[FilterResponceForClient]: No member
// servers found for this DAG client"); `response` is then unchanged. Reads
// the store.
TZDAG_API bool FilterResponceForClient(uint32_t clientId, Uvo::DAGDBResp& response);

// The database paths ("<description>\<store name>") in the content of every
// subclient of the backup set that subclient `appId` belongs to, deleted ones
// skipped: the default subclient's in `defaultSubclientDbs`, every other's in
// `customSubclientDbs` (both emptied first; subclient order, then content
// order, duplicates kept). False, with a line under "GetSubclientsDbList"
// saying which look-up failed, when the application, the backup set's
// subclient list or a subclient cannot be read (a platform exception while
// a subclient is examined included), or the backup set has no default
// subclient ("Could not find the default subclient."); the lists may then
// hold what was gathered. Reads the store.
TZDAG_API bool GetSubclientsDbList(uint32_t orbalId, uint32_t appId,
                                   std::vector<std::string>& defaultSubclientDbs,
                                   std::vector<std::string>& customSubclientDbs);
// Appends the database paths of subclient `appId`'s content to `content` (not
// emptied first) and sets `isDefault` (false first) to whether it is the
// default subclient of its backup set. False, with a line under
// "GetSubclientContent", when the application, its subclient or its content
// cannot be read. Reads the store.
TZDAG_API bool GetSubclientContent(uint32_t orbalId, uint32_t appId, bool& isDefault,
                                   std::vector<std::string>& content);
// Narrows `response` to the databases of subclient `appId`: for a custom
// subclient those its content names; for the default subclient those no
// custom subclient of the backup set names (deleted ones do not count).
// Kept records keep every field. False when GetSubclientsDbList or
// GetSubclientContent fails ("[FilterResponceForSubClient]:
// GetSubclientsDbList failed" / "GetSubclientContent failed"); `response` is
// then unchanged. Reads the store.
TZDAG_API bool FilterResponceForSubClient(uint32_t orbalId, uint32_t appId,
                                          Uvo::DAGDBResp& response);

// --- Subclient maintenance -------------------------------------------------

// Whether the subclient's database selection is manual. False when it is
// automatic, or when the application or subclient cannot be read (logged
// under "IsAutomaticSubclient"). When the selection query itself fails
// ("isselectionTypeManual failed"), manual unless it reported automatic
// before failing. Reads the store.
TZDAG_API bool IsManualSubclient(uint32_t orbalId, uint32_t appId);
// Rewrites the stored content and server associations of subclient `appId`
// to match `resp` (a DiscoverExDatabase answer for its DAG client, only
// read): content entries of databases not in the answer are removed (paths
// compared ignoring letter case), new databases are added (split at the first
// backslash into description and store name), and every association is
// rebuilt, named "<dbName>0x12": an automatic subclient takes the answer's
// `backupServer` ("N/A" included), a manual one keeps the server of an old
// association of exactly that name. Each kept database with circular logging raises information
// event 0x1C000175 with its path and logs "[UpdateSubclient]: Circular
// Logging Enabled for database:<path>"; with `markForceFull` such a database
// is also marked for a full backup on the next backup. Other properties are
// left alone.
//
// The whole update, its reads, writes and events, is one store transaction,
// begun here (or joined, when the caller holds a tzplatform::StoreTransaction
// on this thread): concurrent updates of one subclient, from threads or
// processes, serialise. Run discovery before it; no tool runs while the
// write lock is held.
//
// 0: updated. -3: updated, and circular logging was found on a new database,
// on a kept one without `markForceFull`, or on one newly marked. -1: nothing
// changed, with a line under "UpdateSubclient" saying why: the application,
// subclient or its properties cannot be read, the answer carries no database
// list, a store write or the commit failed, or another writer held the store
// past its busy timeout (tzplatform::SetStoreBusyTimeout).
TZDAG_API int UpdateSubclient(uint32_t orbalId, uint32_t appId, const Uvo::DAGDBResp& resp,
                              bool markForceFull);

// The discovered databases of DAG client `clientId` that no subclient of the
// client names in its content (exact, letter case counting; deleted
// subclients count too), into `resp.databases`, in discovery order and with
// every field. Runs DiscoverExDatabase(orbalId, clientId, 0, ..., 0) first.
// Logs under "DiscoverUnassociatedExDatabase" (the function-name form). False
// when the discovery fails or finds no database ("Failed to discover
// unassociated DBs (filtered by client)"; `resp` as the discovery left it),
// or a subclient list or content cannot be read (`resp` holds the whole
// discovered list). Reads the store; writes only DiscoverExDatabase's event.
TZDAG_API bool DiscoverUnassociatedExDatabase(uint32_t orbalId, uint32_t clientId,
                                              Uvo::DAGDBResp& resp);

// --- Health check of a DAG client ---------------------------------------------
//
// DiagnoseDagClient says, before a backup runs, what will go wrong with the
// backups of one DAG client. It reads the store and runs the tool, as
// database discovery would, on every selected member server with the agent;
// it writes nothing to the store and raises no event.

// How bad a finding is. kDoctorFail: a database will not be backed up, or a
// check could not run. kDoctorWarn: backups run, but not as configured.
enum DoctorSeverity { kDoctorOk = 0, kDoctorWarn = 1, kDoctorFail = 2 };

// One member server entry of the DAG client, in configuration order.
struct _tagDoctorMember {
  std::string name;
  bool selected = false;          // selected for the DAG client
  bool agentFlag = false;         // the DAG client's entry says the agent is installed
  bool knownClient = false;       // the store knows a client of that name
  bool packageInstalled = false;  // ... with the database agent (package 151) installed
  bool agentDisagrees = false;    // agentFlag and packageInstalled differ
  std::string host;               // its network host name; empty when not a known client
};

// One run of the tool on a member server, started as database discovery
// starts it for the client (no subclient, no job).
struct _tagDoctorProbe {
  std::string server;
  std::string host;          // empty when the store gives none
  bool started = false;      // the session started the tool
  bool reachable = false;    // the tool answered with a database list
  std::string error;         // why not, in one line: the session's "<code>: <text>", the
                             // tool's error text, ...; empty when reachable
  int64_t milliseconds = 0;  // from the start of the launch to the end of the receipt
};

// The checks of DiagnoseDagClient, in the order its report gives them.
inline constexpr const char* kDoctorChecks[] = {
    "client",        "agent",        "agent-entry",      "reachability", "discovery",
    "dropped",       "copy-holders", "circular-logging", "unprotected",  "default-only",
    "stale-content", "association",  "backup-copy",      "subclients",
};

// One result of one check. `check` names the check (one of kDoctorChecks);
// `object` the server, database or subclient it is about (empty for a check
// that found nothing); `text` what holds and `hint` what to do, each one
// line. A check that found nothing gives one finding of severity kDoctorOk;
// "default-only" gives one of severity kDoctorOk for each database it tells
// of (it informs: those backups run).
//
// `kind` says what the finding says in words that fit every finding of its
// check that says the same of another object (in the plural: "no live
// subclient backs them up"), and `kindHint` is the one hint for all of them;
// findings of one check, severity and kind can be shown as one. A hint that
// names a command says what else that command would do, with its counts.
struct _tagDoctorFinding {
  DoctorSeverity severity = kDoctorOk;
  std::string check;
  std::string object;
  std::string text;
  std::string hint;
  std::string kind;
  std::string kindHint;
};

struct _tagDoctorReport {
  uint32_t orbalId = 0;
  uint32_t clientId = 0;
  std::vector<_tagDoctorMember> members;
  std::vector<_tagDoctorProbe> probes;  // in GetRemoteServer order, each server once
  // The member server whose answer the database checks used: the first in
  // GetRemoteServer order that answered. Empty when none did.
  std::string answerServer;
  size_t databases = 0;  // databases in that answer, before any filter
  std::vector<_tagDoctorFinding> findings;
  DoctorSeverity worst = kDoctorOk;  // the most severe finding
};

// The default of DiagnoseDagClient's `maxProbesAtOnce`.
constexpr unsigned kDoctorProbesAtOnce = 8;

// Fills `report` (replacing what it held) with the health of DAG client
// `clientId` for the subclients of installation `orbalId`:
//
// - Store: the client's member server entries; for each selected one,
//   whether package 151 is installed on it ("agent": a fail when backups of
//   some database are to run there, else a warning) and whether the entry's
//   agent flag says the same ("agent-entry", a warning).
// - Probes: the tool is started on each server of GetRemoteServer(clientId)
//   with the command line DiscoverExDatabase(orbalId, clientId, 0, ...) would
//   use, each on its own session and, so that the whole check takes about as
//   long as the slowest probe, on threads of this call: at most
//   `maxProbesAtOnce` (0 counts as 1) at once, the calling thread being one
//   of them. Every thread is joined before the call returns; no other
//   operation of the library starts threads. Each probe ends within the
//   session's time limit (TZ_REMOTE_TIMEOUT). A server that does not answer
//   is a warning ("reachability"); "discovery" fails when DiscoverExDatabase
//   would: no server qualifies, or the first server the tool starts on does
//   not answer (it moves on only from a failed start).
// - Databases, from the first answer in GetRemoteServer order and narrowed
//   as DiscoverExDatabase narrows it (FilterResponceForClient, and
//   FilterResponceForSubClient for each live subclient): databases with no
//   copy on a selected server ("dropped", fail); copy holders that are not
//   member servers of the client ("copy-holders", warning); circular logging
//   ("circular-logging", warning); databases no live subclient backs up
//   ("unprotected", fail); databases the default subclient backs up and no
//   other subclient does ("default-only", informational: `tzdag unprotected`
//   lists them, as DiscoverUnassociatedExDatabase goes by content only);
//   subclient content naming a database the DAG does
//   not have ("stale-content", warning); a manual subclient's association to
//   a server without a copy of that database ("association", fail); and, for
//   each automatic subclient, the copy its databases are backed up from,
//   asked of the answering server once more with that subclient's copy
//   preferences ("backup-copy": a warning when a subclient that prefers
//   passive copies gets the active one, because no passive copy is healthy
//   or because the tool picks one on an unselected server and the client
//   filter falls back to the first selected copy, or when one that prefers
//   the active copy gets a passive one; a fail when the tool finds no copy,
//   "N/A"). Names are
//   compared ignoring letter case, as the filters compare them.
//
// Subclients are those of the client's subclient list that belong to
// installation `orbalId` and are not deleted. Logs under "DiagnoseDagClient"
// what it checks and finds, beside the lines of the operations it builds on.
// True when every check ran; false when one could not (the client's entries,
// its subclients or any server's answer could not be had), with a fail
// finding saying which. Reads the store and runs the tool; writes nothing.
TZDAG_API bool DiagnoseDagClient(uint32_t orbalId, uint32_t clientId, _tagDoctorReport& report,
                                 unsigned maxProbesAtOnce = kDoctorProbesAtOnce);

// Of the databases in `resp` (for instance what
// DiscoverUnassociatedExDatabase left there), the names of those a live
// default subclient of DAG client `clientId` backs up (its
// FilterResponceForSubClient keeps them: no other subclient of its backup
// set names them), in `resp` order, each once, into `names` (replacing what
// it held). Default subclients are those of the client's subclient list that
// belong to installation `orbalId` and are not deleted. False when the
// client's subclients cannot be read or a default subclient's filter fails,
// with the lines of the operations it builds on; `names` is then empty.
// Reads the store only.
TZDAG_API bool DefaultSubclientBacksUp(uint32_t orbalId, uint32_t clientId,
                                       const Uvo::DAGDBResp& resp, std::vector<std::string>& names);

// --- Bringing subclients up to date ------------------------------------------
//
// SyncSubclient and SyncDagClient run database discovery for a DAG client
// with each subclient's own copy preferences and then UpdateSubclient for
// each subclient, around which they read what the update changed, hold back
// an update that would remove too much of a subclient's content, and record
// every committed change in the store's journal (tzplatform/Journal.h). The
// tool never runs while the store's write lock is held: discovery comes
// first, then each subclient is updated in a store transaction of its own,
// which a crash or kill leaves in its old or its new state.

// How the tool is to choose the copy it names for a database's backup: a
// subclient's three copy preferences (IsPreferActive, UseActiveIfNoPassive,
// UseLastActivationPref).
struct _tagCopyPreferences {
  bool preferActive = true;
  bool useActiveIfNoPassive = true;
  bool useLastActivationPref = false;

  bool operator==(const _tagCopyPreferences& other) const {
    return preferActive == other.preferActive &&
           useActiveIfNoPassive == other.useActiveIfNoPassive &&
           useLastActivationPref == other.useLastActivationPref;
  }
  bool operator!=(const _tagCopyPreferences& other) const { return !(*this == other); }
};

// A database whose association names another server after an update, or
// that has one for the first time (`hadServer` false).
struct _tagReassociation {
  std::string database;
  bool hadServer = false;
  std::string from;  // the server before, when it had one
  std::string to;
};

// What an update changed in a subclient (or would have changed, when it was
// held back or a dry run), as the store shows it before and after: database
// paths in the store's order.
struct _tagSubclientChanges {
  std::vector<std::string> removed;  // content entries removed
  std::vector<std::string> added;    // content entries added
  std::vector<_tagReassociation> reassociated;
  std::vector<std::string> marked;  // kept entries newly marked for a full backup

  bool empty() const {
    return removed.empty() && added.empty() && reassociated.empty() && marked.empty();
  }
};

// The default share of a subclient's content an update may remove.
constexpr unsigned kDefaultMaxRemovalPercent = 20;

struct _tagSyncOptions {
  // Run everything, then roll each update back: the answer says what a real
  // run would do, and the store (events and journal included) stays as it
  // was; no event is raised when no member server qualifies either.
  bool dryRun = false;
  bool markForceFull = false;  // UpdateSubclient's markForceFull
  // An update that would remove more than this share of a subclient's
  // content entries is not made (held back), unless `allowRemoval`: a
  // discovery answer that lost databases would otherwise strip subclients
  // of them.
  unsigned maxRemovalPercent = kDefaultMaxRemovalPercent;
  bool allowRemoval = false;
  int64_t jobId = 0;  // passed to the tool, 0 = none
  // When set, asked before each subclient's update: true leaves that
  // subclient and the ones after it unchanged (failed, "not updated: the sync
  // was stopped"). For a caller that is shutting down.
  std::function<bool()> stopRequested;
};

enum SubclientSyncOutcome {
  kSubclientUnchanged = 0,  // the update changed nothing the store shows
  kSubclientUpdated = 1,    // the update changed it (a dry run: would have)
  kSubclientHeldBack = 2,   // the update would remove too much; nothing was stored
  kSubclientFailed = 3,     // discovery or the update failed; nothing was stored
};

// One subclient brought up to date.
struct _tagSubclientSync {
  uint32_t appId = 0;
  std::string name;
  bool automatic = true;            // database selection automatic, else manual
  _tagCopyPreferences preferences;  // discovered with these
  bool discovered = false;          // discovery answered with its preferences
  std::string server;               // the member server that answered (or that the tool
                                    // started on); empty: none
  SubclientSyncOutcome outcome = kSubclientFailed;
  int result = -1;           // UpdateSubclient's result (also when held back or a dry run)
  size_t contentBefore = 0;  // content entries before the update
  _tagSubclientChanges changes;
  int64_t journalEntry = 0;  // the journal entry written for it; 0 when none
  std::string error;         // held back or failed: why, in one line for people
};

// One discovery of a DAG client's databases with one set of copy
// preferences.
struct _tagSyncDiscovery {
  _tagCopyPreferences preferences;
  std::string server;     // the member server that answered (or was tried last)
  bool answered = false;  // an answer was received and narrowed to the client
  std::string error;      // why not, in one line; empty when answered
  int64_t milliseconds = 0;
  size_t databases = 0;  // in the answer, narrowed to the client
};

// A DAG client's subclients brought up to date.
struct _tagClientSync {
  uint32_t orbalId = 0;
  uint32_t clientId = 0;
  std::vector<_tagSyncDiscovery> discoveries;  // one per distinct set of copy preferences
  std::vector<_tagSubclientSync> subclients;   // the live ones, in subclient list order
  size_t databases = 0;        // discovered databases (of any answer), narrowed to the client
  size_t circularLogging = 0;  // ... of them with circular logging
  size_t unprotected = 0;      // ... of them the content of no live subclient names after
                               // the sync (ASCII letter case ignored)
  std::string error;           // the client as a whole could not be brought up to date: why
};

// Discovers the databases of DAG client `clientId` with the copy preferences
// of subclient `appId` (of installation `orbalId`): the tool runs as in
// DiscoverExDatabase (the first server of GetRemoteServer it starts on), and
// its answer is narrowed to the client's selected servers
// (FilterResponceForClient) but not to the subclient's content, so that new
// databases are found. Then UpdateSubclient brings the subclient up to date
// from it, in one store transaction with the reads of the subclient before
// and after it and, when something changed, the journal entry. The update is
// rolled back when it fails, is a dry run, or is held back because it would
// remove more than `options.maxRemovalPercent` of the content.
//
// `sync` is filled (replacing what it held). Logs under "SyncSubclient"
// beside the lines of the operations it uses; when no member server
// qualifies, raises critical event 0x48000097 as DiscoverExDatabase does
// (not on a dry run). True when the subclient was updated or unchanged;
// false when it was held back or failed (`sync.error` says why): the
// application is not a subclient of the client, discovery failed, the
// update failed, or the store could not be written. Writes the store.
TZDAG_API bool SyncSubclient(uint32_t orbalId, uint32_t clientId, uint32_t appId,
                             const _tagSyncOptions& options, _tagSubclientSync& sync);

// Brings every live subclient of DAG client `clientId` (of installation
// `orbalId`, not deleted) up to date as SyncSubclient does, with one
// discovery per distinct set of copy preferences among them, one after the
// other, each on its own session; then each subclient is updated in its own
// transaction from the answer of its preferences. A subclient whose
// discovery failed is failed and left unchanged; the others go on. Fills
// `sync` (replacing what it held) and logs under "SyncDagClient". True when
// every live subclient was updated or unchanged (a client with none
// included); false otherwise, with `sync.error` saying why when the client
// as a whole failed (its subclients cannot be read, or no member server
// qualifies). Starts no threads: a caller brings several clients up to date
// at once from threads of its own. Writes the store.
TZDAG_API bool SyncDagClient(uint32_t orbalId, uint32_t clientId, const _tagSyncOptions& options,
                             _tagClientSync& sync);

#endif  // TZDAG_TZDAGAPI_H_
