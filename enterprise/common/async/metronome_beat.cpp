#include "enterprise/common/async/metronome_beat.h"

#include <atomic>
#include <utility>

#include "core/async_service_api/async_service.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/finished_job.h"

namespace Async {
namespace {

// The beat, Cancel and the service's abandoning race for the one report; the first to claim it
// makes it.
class BeatJob final : public BaseJob {
  public:
    explicit BeatJob(ActionHandler& handler) : handler_(handler) {}

    // Set once, by Next, before anyone else holds the job.
    void Wait(std::shared_ptr<AsyncService::TimerHandle> timer) { timer_ = std::move(timer); }

    void Cancel() override {
        Report(CanceledError());
        if (timer_ != nullptr) {
            timer_->Cancel();  // lets the service drop the task now rather than at the beat
        }
    }

    void Report(const Common::Error& result) {
        if (!claimed_.exchange(true, std::memory_order_acq_rel)) {
            handler_.Completed(result);
        }
    }

  private:
    ActionHandler& handler_;
    std::shared_ptr<AsyncService::TimerHandle> timer_;
    std::atomic<bool> claimed_{false};
};

class BeatTask final : public AsyncService::Task {
  public:
    explicit BeatTask(std::shared_ptr<BeatJob> job) : job_(std::move(job)) {}

    void Run() noexcept override { job_->Report(Common::Error()); }
    void Abandon() noexcept override { job_->Report(CanceledError()); }

  private:
    const std::shared_ptr<BeatJob> job_;
};

}  // namespace

std::shared_ptr<Job> MetronomeBeat::Next(ActionHandler& handler) const {
    const std::shared_ptr<AsyncService::Service> service = AsyncService::GetAsyncService();
    if (service == nullptr) {
        return AlreadyFailedJob(handler, CanceledError());
    }
    auto job = std::make_shared<BeatJob>(handler);
    job->Wait(service->Schedule(period_, std::make_unique<BeatTask>(job)));
    return job;
}

}  // namespace Async
