#include "enterprise/common/async/work.h"

#include <atomic>
#include <utility>

#include "core/async_service_api/async_service.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/finished_job.h"

namespace Async {
namespace {

Common::Error ExecuteCatching(Work& work) {
    try {
        return work.Execute();
    } catch (const Common::Error& error) {
        return error;
    }
}

// Execute, Cancel and the service's abandoning race for the one report; the first to claim it
// makes it.
class WorkJob final : public BaseJob {
  public:
    WorkJob(std::shared_ptr<Work> work, ActionHandler& handler)
        : work_(std::move(work)), handler_(handler) {}

    void Cancel() override { ReportCanceled(); }

    void Execute() {
        if (Claim()) {
            handler_.Completed(ExecuteCatching(*work_));
        }
    }

    void ReportCanceled() {
        if (Claim()) {
            handler_.Completed(CanceledError());
        }
    }

  private:
    bool Claim() { return !claimed_.exchange(true, std::memory_order_acq_rel); }

    const std::shared_ptr<Work> work_;
    ActionHandler& handler_;
    std::atomic<bool> claimed_{false};
};

class WorkTask final : public AsyncService::Task {
  public:
    explicit WorkTask(std::shared_ptr<WorkJob> job) : job_(std::move(job)) {}

    void Run() noexcept override { job_->Execute(); }
    void Abandon() noexcept override { job_->ReportCanceled(); }

  private:
    const std::shared_ptr<WorkJob> job_;
};

}  // namespace

std::shared_ptr<Job> ExecuteWork(std::shared_ptr<Work> work, ActionHandler& handler) {
    const std::shared_ptr<AsyncService::Service> service = AsyncService::GetAsyncService();
    if (service == nullptr) {
        return AlreadyFailedJob(handler, ExecuteCatching(*work));
    }
    auto job = std::make_shared<WorkJob>(std::move(work), handler);
    service->Submit(std::make_unique<WorkTask>(job));
    return job;
}

}  // namespace Async
