// The PostgreSQL engine of the store (engine.h), for a store that several processes and machines
// share. Its connection strings are libpq's URIs (postgres_session.h).
//
// Layout, in the store's schema, versioned by kivo_store's row 'layout_version':
//   kivo_store(name, value)              marks the schema as a store; settings as text
//   objects(id bytea, body bytea)        keyed by id, so scans read the key's index in id order
//   object_types(type, id)               keyed by (type, id); type in the "C" collation
//   changes(seq, kind, id, key, before, after, diff, at)   the change log (change_log.h)
// `kivo_store <connection> create` makes the schema (when missing) and the layout; opening never
// does. Opening a store of an earlier layout read-write brings it up to date in one transaction
// (kPostgresLayoutSteps); read-only, it fails with kStoreNeedsMigration; a later layout fails with
// kStoreTooNew. A missing schema, or one without tables, is kStoreMissing; a schema with tables
// but no store is kNotAStore.
//
// Writers: a write transaction takes a transaction-scoped advisory lock of the store first, so
// write transactions of every process run one at a time, as on SQLite. The log's numbers are
// given out under that lock from the newest entry + 1, and the lock is let go only after the
// commit is visible; so numbers follow commit order, with no gap a reader could skip, whatever
// order the server would give sequence values in. A writer waits OpenOptions::busyWait for the
// lock (lock_timeout), then fails with kStoreBusy. A transaction that logged changes sends a
// NOTIFY on the store's channel, which the server delivers only when it commits
// (postgres_listener.h).
//
// Reads stream: a scan is a server-side cursor fetched a few hundred rows at a time, inside the
// open transaction, or inside a REPEATABLE READ transaction of its own; memory stays bounded
// whatever the report's size.
//
// Thread-safety: as any engine's.
#pragma once

#include <memory>
#include <string>

#include "platform/store/connection.h"
#include "platform/store/engine.h"

namespace KivoStore {

/// The layout this library writes.
inline constexpr int kPostgresLayoutVersion = 1;

/// Opens the existing store of the connection string `connection` (UTF-8).
[[nodiscard]] std::unique_ptr<Engine> OpenPostgresEngine(const std::string& connection,
                                                         const OpenOptions& options);

/// Makes the store's schema (unless it exists) and its layout; kStoreExists when the schema
/// holds a store already.
void CreatePostgresStore(const std::string& connection, const Retention& retention);

}  // namespace KivoStore
