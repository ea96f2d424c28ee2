#include "core/common/win/semaphore.h"

#include <cerrno>
#include <climits>

#include "core/common/error/error.h"

namespace Common {

// The system's own limit is the maximum count, so the system enforces it.
static_assert(SEM_VALUE_MAX == Semaphore::kMaximumCount);

Semaphore::Semaphore(uint32_t initialCount, const SemaphoreCalls& calls) : calls_(calls) {
    if (calls_.init(&semaphore_, 0, initialCount) != 0) {
        throw LastSystemError(COMMON_PLACE("Semaphore::Semaphore"), 20);
    }
}

Semaphore::~Semaphore() {
    calls_.destroy(&semaphore_);
}

void Semaphore::Signal() {
    if (calls_.post(&semaphore_) != 0) {
        throw LastSystemError(COMMON_PLACE("Semaphore::Signal"), 21);
    }
}

void Semaphore::Wait() {
    while (calls_.wait(&semaphore_) != 0) {
        if (errno != EINTR) {
            throw LastSystemError(COMMON_PLACE("Semaphore::Wait"), 22);
        }
    }
}

}  // namespace Common
