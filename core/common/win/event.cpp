#include "core/common/win/event.h"

namespace Common {

Event::Event(ResetMode mode, bool signalled)
    : manualReset_(mode == ResetMode::Manual), signalled_(signalled) {}

// Notifying under the lock keeps the condition variable alive for a waiter that wakes, returns
// and destroys the event at once.
void Event::Set() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = true;
    if (manualReset_) {
        signal_.notify_all();
    } else {
        signal_.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    signalled_ = false;
}

void Event::Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    signal_.wait(lock, [this] { return signalled_; });
    if (!manualReset_) {
        signalled_ = false;
    }
}

}  // namespace Common
