// Wake-ups of the change feed: one watch per store per process, shared by the process's
// subscriptions of that store.
//
// A subscription registers an eventfd (its wake-up descriptor); the watch makes every registered
// descriptor readable when the store may have changed. Two sources say so:
//   - a commit in this process: the writer calls NotifyLocal after COMMIT returned, which wakes
//     the subscriptions at once, on the writer's thread;
//   - a commit in another process: the store's engine supplies a ChangeSource (the SQLite
//     engine's watches the -wal, sqlite_wal_watch.h; the PostgreSQL engine's listens for the
//     notification a writing transaction sends, postgres_listener.h), which the watch's thread
//     runs until the watch ends.
// A wake-up is a hint, never a promise: readers look at the log itself, so a spurious wake-up
// costs one query.
//
// The watch's states:
//
//   Acquire ---> WATCHING --source throws (it can no longer tell)--> FAILED
//      |            |                                                   |
//      |            +-- last subscription lets go: thread stopped, joined, watch gone
//      +-- no source (an in-memory store, which only this process writes): WATCHING, no thread
//   FAILED: the watch has left the registry (the next Acquire makes a new one), every registered
//   descriptor was made readable, and Failure() returns the error; each subscription of the
//   watch then fails with it rather than wait for wake-ups that no longer come.
//
// Invariants: every registered descriptor is written only under the watch's lock and is removed
// before its owner closes it; the failure is set before the descriptors are woken.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace KivoStore {

/// What tells a watch that another process may have changed the store.
class ChangeSource : private Common::NonCopyable {
  public:
    virtual ~ChangeSource() = default;
    /// Waits for changes until `stopFd` turns readable, calling `changed` whenever the store may
    /// have changed. Throws Common::Error when it can no longer tell.
    virtual void Run(int stopFd, const std::function<void()>& changed) = 0;
};

/// See the file comment.
class FeedWatch : private Common::NonCopyable {
  public:
    /// Makes the source of a new watch; null when only this process can write the store.
    using SourceFactory = std::function<std::unique_ptr<ChangeSource>()>;

    /// The watch of the store `key` names (as its engine names it), made by the first caller.
    /// Throws Common::Error when the source or the thread cannot be had.
    [[nodiscard]] static std::shared_ptr<FeedWatch> Acquire(const std::string& key,
                                                            const SourceFactory& makeSource);
    /// Wakes the subscriptions of `key` in this process at once, if there are any.
    static void NotifyLocal(const std::string& key) noexcept;

    ~FeedWatch();

    /// Registers a wake-up descriptor (an eventfd), or no longer.
    void Add(int eventFd);
    void Remove(int eventFd) noexcept;
    /// Makes every registered descriptor readable.
    void Notify() noexcept;
    /// The error that ended the watch's source, if it ended.
    [[nodiscard]] std::optional<Common::Error> Failure() const;

    struct State;

  private:
    explicit FeedWatch(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace KivoStore
