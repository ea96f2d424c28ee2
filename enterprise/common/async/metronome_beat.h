// Async::MetronomeBeat: waiting for the next beat of the async service's metronome.
//
// Each Next is one beat: the handler hears the empty error once the period has passed, on a
// service thread. Canceling the beat's job ends it at once, on the canceling thread, with the
// canceled error; so does the service shutting down while the beat waits. With no service
// registered there is no metronome, and a beat ends at once with the canceled error.
//
// Thread-safety: Next may be called from any thread; the job's Cancel as any job's.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"

namespace Async {

/// See the file comment.
class MetronomeBeat {
  public:
    /// Beats whose period is `period` milliseconds.
    explicit MetronomeBeat(uint32_t period) : period_(period) {}

    /// Waits for one beat. `handler` must live until it was called and must not throw.
    std::shared_ptr<Job> Next(ActionHandler& handler) const;

  private:
    const std::chrono::milliseconds period_;
};

}  // namespace Async
