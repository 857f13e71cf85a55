// The tables of the configuration store, one SQL script per schema version.
#ifndef TZPLATFORM_SRC_STORE_SCHEMA_H_
#define TZPLATFORM_SRC_STORE_SCHEMA_H_

namespace tzplatform {
namespace store {

// What the meta table says under "format": how a store file is recognised.
constexpr const char kStoreFormat[] = "tzdag configuration store";

// kMigrations[n] brings a store from schema version n to n + 1; version 0 is
// a new, empty file. The script runs inside the migration's transaction,
// which then records the new version in the meta table.
constexpr const char* const kMigrations[] = {
    // Version 1.
    R"sql(
CREATE TABLE meta (
  key   TEXT PRIMARY KEY,
  value TEXT NOT NULL
);

-- Clients of the backup configuration, looked up by name (ASCII case
-- ignored) or by id.
CREATE TABLE clients (
  id             INTEGER PRIMARY KEY CHECK (id BETWEEN 0 AND 4294967295),
  name           TEXT NOT NULL UNIQUE COLLATE NOCASE,
  host           TEXT NOT NULL,   -- network host name the session reaches it by
  release        INTEGER,         -- software release; NULL when unknown
  dag_associated INTEGER NOT NULL DEFAULT 0 CHECK (dag_associated IN (0, 1))
);

CREATE TABLE client_packages (
  client_id  INTEGER NOT NULL REFERENCES clients (id) ON DELETE CASCADE,
  package_id INTEGER NOT NULL,
  PRIMARY KEY (client_id, package_id)
);

-- Applications (subclients): one row per application id.
CREATE TABLE subclients (
  id             INTEGER PRIMARY KEY CHECK (id >= 0),  -- application id
  orbal_id       INTEGER NOT NULL,                     -- managed installation
  client_id      INTEGER NOT NULL REFERENCES clients (id),
  seq            INTEGER NOT NULL UNIQUE,              -- order of subclient lists
  name           TEXT NOT NULL,
  app_type       INTEGER NOT NULL,
  backup_set     INTEGER NOT NULL,
  is_default     INTEGER NOT NULL CHECK (is_default IN (0, 1)),
  deleted        INTEGER NOT NULL CHECK (deleted IN (0, 1)),
  selection_type TEXT NOT NULL CHECK (selection_type IN ('automatic', 'manual')),
  -- How database discovery picks the copy to back up from.
  backup_from_passive            INTEGER NOT NULL CHECK (backup_from_passive IN (0, 1)),
  use_active_if_no_passive       INTEGER NOT NULL CHECK (use_active_if_no_passive IN (0, 1)),
  use_last_activation_preference INTEGER NOT NULL
      CHECK (use_last_activation_preference IN (0, 1))
);

-- Stored properties of clients and of subclients, both laid out alike. A
-- row's kind is its type:
--   112  Exchange database content entry: store_name, description, force_full
--   125  DAG member server entry (name = server): selected, agent_installed
--   126  database-to-server association (name = database): associated_server
--   any other type: value, written back as it was read
-- seq is the position in the owner's list; the list is read in seq order.
CREATE TABLE client_properties (
  client_id         INTEGER NOT NULL REFERENCES clients (id) ON DELETE CASCADE,
  seq               INTEGER NOT NULL,
  type              INTEGER NOT NULL,
  name              TEXT NOT NULL,
  value             TEXT NOT NULL DEFAULT '',
  store_name        TEXT,
  description       TEXT,
  force_full        INTEGER CHECK (force_full IN (0, 1)),
  selected          INTEGER CHECK (selected IN (0, 1)),
  agent_installed   INTEGER CHECK (agent_installed IN (0, 1)),
  associated_server TEXT,
  PRIMARY KEY (client_id, seq)
);

CREATE TABLE subclient_properties (
  subclient_id      INTEGER NOT NULL REFERENCES subclients (id) ON DELETE CASCADE,
  seq               INTEGER NOT NULL,
  type              INTEGER NOT NULL,
  name              TEXT NOT NULL,
  value             TEXT NOT NULL DEFAULT '',
  store_name        TEXT,
  description       TEXT,
  force_full        INTEGER CHECK (force_full IN (0, 1)),
  selected          INTEGER CHECK (selected IN (0, 1)),
  agent_installed   INTEGER CHECK (agent_installed IN (0, 1)),
  associated_server TEXT,
  PRIMARY KEY (subclient_id, seq)
);

CREATE INDEX client_properties_by_name ON client_properties (client_id, name);
CREATE INDEX subclient_properties_by_name ON subclient_properties (subclient_id, name);

-- Events raised through the platform log, oldest first.
CREATE TABLE events (
  id         INTEGER PRIMARY KEY AUTOINCREMENT,
  raised_at  TEXT NOT NULL,      -- UTC, e.g. 2026-12-06T10:58:33.123Z
  process_id INTEGER NOT NULL,
  severity   TEXT NOT NULL CHECK (severity IN ('info', 'critical')),
  event_id   INTEGER NOT NULL,
  param1     INTEGER NOT NULL,
  param2     INTEGER NOT NULL
);

CREATE TABLE event_arguments (
  event_row INTEGER NOT NULL REFERENCES events (id) ON DELETE CASCADE,
  position  INTEGER NOT NULL,
  kind      INTEGER NOT NULL,    -- 11 = narrow string
  value     TEXT NOT NULL,
  PRIMARY KEY (event_row, position)
);
)sql",
    // Version 2: the change journal.
    R"sql(
-- One entry per committed subclient update that changed something, written
-- in the update's own transaction; kept when the subclient is gone.
CREATE TABLE journal (
  id           INTEGER PRIMARY KEY AUTOINCREMENT,
  made_at      TEXT NOT NULL,     -- UTC, e.g. 2026-12-06T10:58:33.123Z
  orbal_id     INTEGER NOT NULL,
  client_id    INTEGER NOT NULL,
  subclient_id INTEGER NOT NULL,
  server       TEXT NOT NULL,     -- the member server the databases were discovered on
  result       INTEGER NOT NULL,  -- what the update returned: 0 or -3
  user_name    TEXT NOT NULL,     -- who made it, and on which machine
  host_name    TEXT NOT NULL
);

-- What one entry changed, in the order the update reported it.
CREATE TABLE journal_changes (
  entry         INTEGER NOT NULL REFERENCES journal (id) ON DELETE CASCADE,
  position      INTEGER NOT NULL,
  change        TEXT NOT NULL CHECK (change IN ('removed', 'added', 'reassociated', 'marked')),
  database_name TEXT NOT NULL,
  from_server   TEXT,             -- reassociated: the server before; NULL when there was none
  to_server     TEXT,             -- reassociated: the server after
  PRIMARY KEY (entry, position)
);

CREATE INDEX journal_by_time ON journal (made_at);
CREATE INDEX journal_by_subclient ON journal (client_id, subclient_id);
CREATE INDEX journal_changes_by_database ON journal_changes (database_name COLLATE NOCASE);
)sql",
};

constexpr int kMigrationCount = static_cast<int>(sizeof(kMigrations) / sizeof(kMigrations[0]));

}  // namespace store
}  // namespace tzplatform

#endif  // TZPLATFORM_SRC_STORE_SCHEMA_H_
