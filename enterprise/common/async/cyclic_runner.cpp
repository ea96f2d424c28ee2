#include "enterprise/common/async/cyclic_runner.h"

#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/tail_recursion.h"

namespace Async {
namespace CyclicRunnerImpl {

// The job of a cyclic run: each step is one run of the action.
class CyclicRunner final : public BaseJob,
                           private ActionHandler,
                           private TailRecursionController,
                           public std::enable_shared_from_this<CyclicRunner> {
  public:
    CyclicRunner(std::shared_ptr<Action> action, ActionHandler& handler)
        : action_(std::move(action)), handler_(handler) {}

    void Start() { RequestStep(); }

    JobDescription Describe() const override {
        return {COMMON_PLACE("Async::CyclicRunnerImpl::CyclicRunner::Describe"),
                Common::GetCatalogMessage(Common::kMsgAsyncCyclicJob)};
    }

    void Cancel() override { control_.Cancel(); }

  private:
    std::shared_ptr<TailRecursionController> GetSelf() override {
        return std::shared_ptr<TailRecursionController>(shared_from_this(), this);
    }

    void Step() override { control_.Run(*action_, this, this); }

    void Completed(const Common::Error& error) override {
        if (error.IsEmpty()) {
            RequestStep();
        } else {
            handler_.Completed(error);
        }
    }

    const std::shared_ptr<Action> action_;
    ActionHandler& handler_;
    JobControl control_;
};

}  // namespace CyclicRunnerImpl

namespace Detail {

CyclicRunAction::CyclicRunAction(std::shared_ptr<Action> action) : action_(std::move(action)) {
    COMMON_ASSERT_TEXT(action_ != nullptr, "A cyclic run takes no null action.");
}

std::shared_ptr<Job> CyclicRunAction::Perform(ActionHandler& handler) {
    if (action_ == nullptr) {
        return AlreadyFailedJob(handler, InvalidResultError());  // nothing to run
    }
    auto runner = std::make_shared<CyclicRunnerImpl::CyclicRunner>(action_, handler);
    runner->Start();
    return runner;
}

}  // namespace Detail
}  // namespace Async
