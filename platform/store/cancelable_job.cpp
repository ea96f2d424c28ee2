#include "platform/store/cancelable_job.h"

#include "enterprise/common/async/work.h"

namespace KivoStore {

void CancelableJob::Start(Async::ActionHandler& handler) {
    std::shared_ptr<Async::Job> started = Async::ExecuteWork(work_, handler);
    std::lock_guard<std::mutex> guard(mutex_);
    started_ = std::move(started);
}

void CancelableJob::Cancel() {
    cancel_();
    std::shared_ptr<Async::Job> started;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        started = started_;
    }
    if (started != nullptr)
        started->Cancel();
}

}  // namespace KivoStore
