// Common::Semaphore: a counting semaphore with a maximum count of 0x7FFFFFFF, over a POSIX
// semaphore.
//
// Failures are thrown as Common::Error, with the system error (errno) as the reason:
//   20 "Semaphore::Semaphore"  the semaphore cannot be made (an initial count above the maximum)
//   21 "Semaphore::Signal"     the count cannot grow (a signal at the maximum)
//   22 "Semaphore::Wait"       the wait fails
// A wait interrupted by a signal handler (EINTR) is resumed, never reported.
//
// The system calls are reached through SemaphoreCalls so that tests can inject faults.
//
// Thread-safety: Signal and Wait may be called from any thread. The semaphore must outlive every
// wait on it.
#pragma once

#include <semaphore.h>

#include <cstdint>

#include "core/common/noncopyable.h"

namespace Common {

/// The system calls beneath a Semaphore, in the shape of their POSIX counterparts.
struct SemaphoreCalls {
    int (*init)(sem_t* semaphore, int shared, unsigned int value);
    int (*post)(sem_t* semaphore);
    int (*wait)(sem_t* semaphore);
    int (*destroy)(sem_t* semaphore);
};

/// The POSIX calls themselves.
inline constexpr SemaphoreCalls kSystemSemaphoreCalls{sem_init, sem_post, sem_wait, sem_destroy};

/// See the file comment.
class Semaphore : private NonCopyable {
  public:
    static constexpr uint32_t kMaximumCount = 0x7FFFFFFF;

    /// A semaphore holding `initialCount` units; throws code 20 when it cannot be made.
    explicit Semaphore(uint32_t initialCount, const SemaphoreCalls& calls = kSystemSemaphoreCalls);
    ~Semaphore();

    /// Releases one unit; throws code 21 when the count is at its maximum.
    void Signal();
    /// Takes one unit, waiting without time limit until there is one; throws code 22 on failure.
    void Wait();

  private:
    const SemaphoreCalls calls_;
    sem_t semaphore_;
};

}  // namespace Common
