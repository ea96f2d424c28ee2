// How the PostgreSQL engine tells a feed watch (feed_watch.h) that a process committed changes.
//
// A write transaction that logged changes sends NOTIFY on the store's channel; the server
// delivers it to every listener when, and only when, the transaction commits. The listener holds
// one connection of its own, which LISTENs before the watch is handed out (so a subscription's
// snapshot, read afterwards, misses no commit), and waits on its socket beside the watch's stop
// descriptor. Notifications carry nothing: each one wakes every subscription of the watch, which
// reads the log itself.
//
// When the listening connection breaks (the server restarted, the network went), notifications
// may be lost, so Run throws a clear error, which fails the watch's subscriptions instead of
// leaving them waiting for wake-ups that no longer come.
//
// Thread-safety: runs on its feed watch's thread.
#pragma once

#include <memory>
#include <string>

#include "platform/store/feed_watch.h"
#include "platform/store/postgres_session.h"

namespace KivoStore {

/// The notification channel of the store in `schema`.
[[nodiscard]] std::string ChangeChannel(const std::string& schema);

/// Connects and listens on the channel of `target`'s store. Throws Common::Error when it cannot.
[[nodiscard]] std::unique_ptr<ChangeSource> ListenForChanges(const PostgresTarget& target);

}  // namespace KivoStore
