#include "core/common/win/mutex.h"

#include "core/common/assert.h"

namespace Common {

Mutex::~Mutex() {
    const std::thread::id owner = owner_.load(std::memory_order_relaxed);
    COMMON_ASSERT_TEXT(owner == std::thread::id(),
                       "MUTEX_DATA.OwningThread == 0 || (GetVersion() & 0x80000000)");
    if (owner == std::this_thread::get_id()) {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
}

void Mutex::Enter() {
    const std::thread::id self = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == self) {
        ++depth_;
        return;
    }
    mutex_.lock();
    owner_.store(self, std::memory_order_relaxed);
    depth_ = 1;
}

void Mutex::Leave() {
    const bool owned = IsHeldByCurrentThread();
    COMMON_ASSERT_TEXT(owned,
                       "*reinterpret_cast<DWORD*>(&MUTEX_DATA.OwningThread) == "
                       "GetCurrentThreadId() || (GetVersion() & 0x80000000)");
    if (!owned) {
        return;
    }
    if (--depth_ == 0) {
        owner_.store(std::thread::id(), std::memory_order_relaxed);
        mutex_.unlock();
    }
}

bool Mutex::IsHeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

}  // namespace Common
