// Wake-ups of the change feed: one watch per store file per process, shared by the process's
// subscriptions of that file.
//
// A subscription registers an eventfd (its wake-up descriptor); the watch makes every registered
// descriptor readable when the store may have changed. Two sources say so:
//   - a commit in this process: the writer calls NotifyLocal after COMMIT returned, which wakes
//     the subscriptions at once, on the writer's thread;
//   - a commit in another process: every writer of this library touches the store's -wal
//     (futimens, TouchWal) after COMMIT returned. The watch's thread keeps one inotify watch
//     (IN_ATTRIB | IN_MODIFY) on the -wal and confirms each event with PRAGMA data_version on a
//     connection of its own, which it holds open so that the -wal is not deleted under it.
// A wake-up is a hint, never a promise: readers look at the log itself, so a spurious wake-up
// costs one query, and the schedule below bounds the delay of a missed one.
//
// The watch thread's states (one thread per watched file; a watch of an in-memory store has no
// thread, since only this process can write it):
//
//                 +-------------------------- changed: wake all ---------------------+
//                 v                                                                  |
//   start ---> WATCHING --inotify event / 1 s tick--> CONFIRM (data_version) --------+
//                 ^                                      |  unchanged after an event
//                 |                                      v
//                 +--- schedule spent -------------- RECHECK: CONFIRM again after 5, 20,
//                                                    then 100 ms (one timerfd)
//   IN_IGNORED (the -wal went away): re-arm on the path; when that fails, or inotify cannot be
//   had at all, POLLING: the tick runs every 50 ms instead of every second (traced at start).
//
// Invariants: the data_version last seen only moves forward with a wake-up of everyone, so a
// change the thread saw is never kept from a subscription; every registered descriptor is
// written only under the watch's lock and is removed before its owner closes it; the thread
// ends (joined) when the last subscription lets go of the watch.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "core/common/noncopyable.h"
#include "platform/store/engine.h"

namespace KivoStore {

/// See the file comment.
class FeedWatch : private Common::NonCopyable {
  public:
    /// Opens the watch's own connection to the store.
    using ConnectionFactory = std::function<std::unique_ptr<Engine>()>;

    /// The watch of the store `key` names (its canonical file path, or a name of its own for an
    /// in-memory store), made by the first caller; `walPath` empty for an in-memory store.
    /// Throws Common::Error when the watch's connection or thread cannot be had.
    [[nodiscard]] static std::shared_ptr<FeedWatch> Acquire(const std::string& key,
                                                            const std::string& walPath,
                                                            const ConnectionFactory& open);
    /// Wakes the subscriptions of `key` in this process at once, if there are any.
    static void NotifyLocal(const std::string& key) noexcept;
    /// Marks the -wal as changed for the watches of other processes. Never throws: a touch that
    /// fails only delays their wake-up to their next tick.
    static void TouchWal(const std::string& walPath) noexcept;

    ~FeedWatch();

    /// Registers a wake-up descriptor (an eventfd), or no longer.
    void Add(int eventFd);
    void Remove(int eventFd) noexcept;
    /// Makes every registered descriptor readable.
    void Notify() noexcept;
    /// True when this watch polls every 50 ms instead of using inotify.
    [[nodiscard]] bool Polling() const noexcept;

    struct State;

  private:
    explicit FeedWatch(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace KivoStore
