// A job that runs an Async::Work on the async service and can be canceled before and while the
// work runs.
//
// Cancel first calls the cancel function given at construction (which tells the work to stop:
// between objects of a report, or to end a waiting read), then cancels the started job, if any.
// Start must be called once, right after construction.
//
// Thread-safety: Cancel may be called from any thread, also while Start runs.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "enterprise/common/async/job.h"
#include "enterprise/common/async/work.h"

namespace KivoStore {

/// See the file comment.
class CancelableJob final : public Async::BaseJob {
  public:
    /// Runs `work` when started; `cancel` tells it to stop.
    CancelableJob(std::shared_ptr<Async::Work> work, std::function<void()> cancel)
        : work_(std::move(work)), cancel_(std::move(cancel)) {}

    /// Submits the work; `handler` hears its end.
    void Start(Async::ActionHandler& handler);

    void Cancel() override;

  private:
    const std::shared_ptr<Async::Work> work_;
    const std::function<void()> cancel_;
    std::mutex mutex_;
    std::shared_ptr<Async::Job> started_;
};

}  // namespace KivoStore
