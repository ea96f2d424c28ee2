// The errors of the object store, all of the data-management facility (0xFC00xx).
//
//   kStoreMissing            the file a connection string names does not exist
//   kStoreDirectoryMissing   the folder that should hold the store's file does not exist
//   kNotAStore               the file exists but is no store (empty, not SQLite, or SQLite
//                            without the store's tables)
//   kStoreTooNew             the store was written by a later version of this library
//   kStoreNeedsMigration     a store of an earlier layout opened read-only; open it read-write
//                            once to bring it up to date
//   kStoreBusy               another writer held the store longer than the bounded wait
//   kStoreFailure            any other failure of the SQL engine (its message and code kept), or
//                            a store that this user may not read (store_files.h)
//   kBadConnectionString     a connection string that names nothing this library opens
//   kNullPattern             a report or a delete by pattern without a pattern
//   kObjectExists            a create of an object whose id is stored already
//   kObjectNotFound          an update or delete of an object that is not stored
//   kStoreReadOnly           a write to a store opened read-only, or a read-write open of a store
//                            whose file, -wal, -shm or folder this user may not write
//   kStoreExists             creating a store where a file already is
//   kStoreUnusable           a customizer returned something that is not this library's store
//   kObjectTooLarge          an object whose stored form exceeds kMaxObjectBytes
//   kCorruptedObject         a stored object that does not read back (traced, then skipped)
//   kBadOptions              report options that cannot be read ("LimitOptions" not a count)
//   kHistoryLost             a subscription's next change was pruned from the change log
//   kCorruptedChange         a change-log entry that does not read back: fails the subscription
//                            that reads it (traced), never the writers or other subscriptions
//   kBadRetention            a retention setting out of bounds, given or read from the store
//
// Objects without a primary key are refused with Kivo::kObjectIdentificationNotFound (0xFC000A).
//
// Thread-safety: constants.
#pragma once

#include <cstddef>
#include <cstdint>

namespace KivoStore {

inline constexpr uint32_t kStoreMissing = 0xFC0061;
inline constexpr uint32_t kStoreDirectoryMissing = 0xFC0062;
inline constexpr uint32_t kNotAStore = 0xFC0063;
inline constexpr uint32_t kStoreTooNew = 0xFC0064;
inline constexpr uint32_t kStoreNeedsMigration = 0xFC0065;
inline constexpr uint32_t kStoreBusy = 0xFC0066;
inline constexpr uint32_t kStoreFailure = 0xFC0067;
inline constexpr uint32_t kBadConnectionString = 0xFC0068;
inline constexpr uint32_t kNullPattern = 0xFC0069;
inline constexpr uint32_t kObjectExists = 0xFC006A;
inline constexpr uint32_t kObjectNotFound = 0xFC006B;
inline constexpr uint32_t kStoreReadOnly = 0xFC006D;
inline constexpr uint32_t kStoreExists = 0xFC006E;
inline constexpr uint32_t kStoreUnusable = 0xFC006F;
inline constexpr uint32_t kObjectTooLarge = 0xFC0070;
inline constexpr uint32_t kCorruptedObject = 0xFC0071;
inline constexpr uint32_t kBadOptions = 0xFC0072;
inline constexpr uint32_t kHistoryLost = 0xFC0080;
inline constexpr uint32_t kCorruptedChange = 0xFC0081;
inline constexpr uint32_t kBadRetention = 0xFC0082;

/// The largest stored form of one object, written or read back.
inline constexpr size_t kMaxObjectBytes = 16u << 20;

}  // namespace KivoStore
