// The SQLite engine of the store (engine.h).
//
// Layout, versioned by PRAGMA user_version:
//   kivo_store(name, value)         marks the file as a store
//   objects(id, body)               WITHOUT ROWID: the rows are stored in id order, so a scan
//                                   reads the table itself, not an index beside it
//   object_types(type, id)          WITHOUT ROWID, keyed by (type, id)   [since version 2]
//   changes(seq, ...)               the change log (sqlite_change_log.h)  [since version 3]
// Version 1 kept the objects only; opening a version-1 store read-write adds the type table and
// fills it from the objects (BodyTypes). Version 2 had no change log; migrating adds an empty one
// with the default retention. A read-only open of a version-1 store fails with
// kStoreNeedsMigration; one of a version-2 store reports, and its change feed fails with
// kStoreNeedsMigration. A store of a later version fails with kStoreTooNew.
//
// The store runs in WAL mode with synchronous=NORMAL: a transaction is all or nothing even when
// the process dies in the middle of it, readers never wait for the writer, and a writer waits
// OpenOptions::busyWait for another writer before kStoreBusy. Every statement binds its values.
// A read-only open runs no statement that writes; what it and a read-write open need of the
// store's files, and of the -wal and -shm files beside it, is checked first (store_files.h).
//
// Thread-safety: as any engine's.
#pragma once

#include <memory>

#include "platform/store/connection.h"
#include "platform/store/engine.h"

namespace KivoStore {

/// The layout this library writes.
inline constexpr int kSchemaVersion = 3;

/// Opens an existing store (an in-memory one starts empty with the current layout).
std::unique_ptr<Engine> OpenSqliteEngine(const ConnectionTarget& target, const OpenOptions& options,
                                         const BodyTypes& typesOf);

/// Makes the file of a new, empty store with the current layout.
void CreateSqliteStore(const ConnectionTarget& target, const Retention& retention);

}  // namespace KivoStore
