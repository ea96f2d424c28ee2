// How the SQLite engine tells a feed watch (feed_watch.h) that another process committed.
//
// Every writer of this library touches the store's -wal (futimens, TouchWal) after a COMMIT that
// logged changes. The watch keeps one inotify watch (IN_ATTRIB | IN_MODIFY) on the -wal and
// confirms each event with PRAGMA data_version on a connection of its own, which it holds open so
// that the -wal is not deleted under it. The schedule below bounds the delay of a missed event.
//
//                 +-------------------------- changed: wake all ---------------------+
//                 v                                                                  |
//   start ---> WATCHING --inotify event / 1 s tick--> CONFIRM (data_version) --------+
//                 ^                                      |  unchanged after an event
//                 |                                      v
//                 +--- schedule spent -------------- RECHECK: CONFIRM again after 5, 20,
//                                                    then 100 ms (one timerfd)
//   IN_IGNORED (the -wal went away): re-arm on the path; when that fails, or inotify cannot be
//   had at all (or KIVO_STORE_POLL is set), POLLING: the tick runs every 50 ms instead of every
//   second (traced once).
//
// Invariant: the data_version last seen only moves forward with a wake-up of everyone, so a
// change the watch saw is never kept from a subscription.
//
// Thread-safety: TouchWal from any thread; a watch runs on its feed watch's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/store/feed_watch.h"

namespace KivoStore {

/// The PRAGMA data_version of the watch's own connection (which the function keeps open).
using DataVersionReader = std::function<uint64_t()>;

/// Watches the -wal at `walPath`; see the file comment. Throws Common::Error when its
/// descriptors cannot be had.
[[nodiscard]] std::unique_ptr<ChangeSource> WatchWal(std::string walPath,
                                                     DataVersionReader dataVersion);

/// Marks the -wal as changed for the watches of other processes. Never throws: a touch that
/// fails only delays their wake-up to their next tick.
void TouchWal(const std::string& walPath) noexcept;

}  // namespace KivoStore
