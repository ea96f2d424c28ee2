// The files of a store on disk, and what this process may do with them.
//
// SQLite keeps a store in WAL mode (sqlite_engine.h) in three files: the store file F, and beside
// it F-wal (the log of recent transactions) and F-shm (the index of that log, shared by every
// process that has the store open). Every connection needs all three, readers included. It opens
// F-wal and F-shm for writing when it may and for reading otherwise, and creates them when they
// are missing, with F's mode (and F's owner and group when the process runs as root). The
// connection that closes last removes them, but only when it may write F: a read-only connection
// leaves them in place, to be removed by the next writer that closes last.
//
// Left to itself, SQLite turns permission problems into "attempt to write a readonly database"
// or "unable to open database file", and a read-write open of a file it may not write quietly
// reads instead, creating F-wal and F-shm before its first write fails. So, before SQLite opens
// anything, CheckStoreAccess finds what would go wrong and says it, naming the file or folder and
// the permission:
//
//   - an empty F is no store (kNotAStore);
//   - a read-write open needs write permission on F, on F-wal and F-shm when they exist, and on
//     the folder when they do not (kStoreReadOnly), so a writer that may not write creates
//     nothing;
//   - a read-only open needs read permission on F; for a store in WAL mode also on F-wal and
//     F-shm when they exist, and write permission on the folder when one of them does not
//     (kStoreFailure). What it would then create must not stop later writers: SQLite gives the
//     new files F's mode for good, so the open is refused when that mode would not let F's owner
//     write them - F's mode has no owner write (0444: once the owner makes F writable again,
//     F-shm would still refuse every write), or the files would belong to this user rather than
//     F's owner and neither F's group (in a folder that hands F's group to new files) nor others
//     may write them.
//
// Nothing here deletes or changes the mode of F-wal or F-shm: another process may have the store
// open, and SQLite relies on both files staying as they are while it does.
//
// The checks and SQLite's open are not one step: when the last other process closes the store in
// between, SQLite creates what it needs as described above, or fails; after an SQLite error that
// can come from permissions, the engine asks StoreAccessProblem again for a clearer error.
//
// Thread-safety: functions of the file system only.
#pragma once

#include "core/common/error/error.h"
#include "platform/store/connection.h"

namespace KivoStore {

/// The reason why opening the store on disk `target` names, the way it asks (read-only or
/// read-write), fails or would leave files that stop later writers; empty when none is found.
[[nodiscard]] Common::Error StoreAccessProblem(const ConnectionTarget& target);

/// Throws StoreAccessProblem(target) unless it is empty.
void CheckStoreAccess(const ConnectionTarget& target);

}  // namespace KivoStore
