// Common::Mutex: a recursive lock, like a critical section, that knows its owning thread; and
// Common::MutexLock, the scoped way to hold it.
//
//   Common::Mutex mutex;
//   {
//       Common::MutexLock lock(mutex);   // Enter ... Leave at the end of the scope
//       ...
//   }
//
// The owner may enter again; it must leave as often as it entered. Leaving from a thread that
// does not own the mutex, or destroying it while it is owned, fails an assertion and does
// nothing else (a destroyed mutex still owned by the destroying thread is released first).
//
// Thread-safety: Enter, Leave and IsHeldByCurrentThread may be called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "core/common/noncopyable.h"

namespace Common {

/// See the file comment.
class Mutex : private NonCopyable {
  public:
    Mutex() = default;
    ~Mutex();

    /// Waits until the mutex is free or owned by this thread, then takes it once more.
    void Enter();
    /// Gives back one Enter of this thread.
    void Leave();
    /// True when the calling thread owns the mutex.
    bool IsHeldByCurrentThread() const;

  private:
    std::mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    uint32_t depth_ = 0;  // touched only by the owner
};

/// Holds a Mutex for the lifetime of the scope.
class MutexLock : private NonCopyable {
  public:
    explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Enter(); }
    ~MutexLock() { mutex_.Leave(); }

  private:
    Mutex& mutex_;
};

}  // namespace Common
