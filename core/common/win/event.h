// Common::Event: a signal that threads wait for, like a Windows event.
//
// A manual-reset event stays signalled after Set until Reset and releases every waiter; an
// auto-reset event releases one waiter per Set and becomes unsignalled again as it does (a Set
// with nobody waiting lets the next Wait through). Waits have no time limit.
//
// Thread-safety: Set, Reset and Wait may be called from any thread. The event must outlive every
// wait on it.
#pragma once

#include <condition_variable>
#include <mutex>

#include "core/common/noncopyable.h"

namespace Common {

/// See the file comment.
class Event : private NonCopyable {
  public:
    enum class ResetMode { Manual, Auto };

    /// An event that starts signalled or not.
    Event(ResetMode mode, bool signalled);

    /// Signals the event.
    void Set();
    /// Makes the event unsignalled.
    void Reset();
    /// Returns once the event is signalled; an auto-reset event is then unsignalled again.
    void Wait();

  private:
    const bool manualReset_;
    std::mutex mutex_;
    std::condition_variable signal_;
    bool signalled_;
};

}  // namespace Common
