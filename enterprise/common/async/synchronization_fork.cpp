#include "enterprise/common/async/synchronization_fork.h"

#include <new>
#include <utility>

#include "core/common/trace.h"
#include "enterprise/common/async/job_control.h"

namespace Async {
namespace {

// Level of the failures of forked work.
constexpr uint32_t kForkFailureTraceLevel = 1;

}  // namespace

// Runs one work item through the service's work execution and owns itself until the result
// comes: its Completed destroys it, which the job control allows from inside the handler. (The
// bases are named from the namespace: inside the fork, the bare names would be the listener's
// private base.)
class SynchronizationFork::ForkJob final : private ::Async::ActionHandler, private ::Async::Action {
  public:
    static void Start(std::shared_ptr<Work> work) {
        auto* job = new ForkJob(std::move(work));
        job->control_.Run(*job, job);  // may have destroyed the job when it returns
    }

  private:
    explicit ForkJob(std::shared_ptr<Work> work) : work_(std::move(work)) {}

    std::shared_ptr<Job> Perform(::Async::ActionHandler& handler) override {
        return ExecuteWork(work_, handler);
    }

    void Completed(const Common::Error& error) override {
        if (!error.IsEmpty()) {
            Common::TraceError(kForkFailureTraceLevel, error);
        }
        delete this;
    }

    const std::shared_ptr<Work> work_;
    JobControl control_;
};

bool SynchronizationFork::Synchronize(SynchronizationContext) {
    Fork();
    return false;
}

void SynchronizationFork::OnTick() {
    Fork();
}

// Without memory for the fork, the work stays where it is: in a pass, the blocked thread may
// still be freed by a later beat; after a beat, the thread comes back to it in time.
void SynchronizationFork::Fork() {
    if (!ShouldFork()) {
        return;
    }
    try {
        ForkJob::Start(CreateWork());
    } catch (const std::bad_alloc&) {
        Common::TraceError(kForkFailureTraceLevel,
                           Common::Error(COMMON_PLACE("Async::SynchronizationFork::Fork"),
                                         Common::kOutOfMemoryError));
    }
}

}  // namespace Async
