#include "enterprise/common/async/finished_job.h"

namespace Async {
namespace {

class FinishedJob final : public BaseJob {
  public:
    void Cancel() override {}
};

}  // namespace

std::shared_ptr<Job> AlreadyCompletedJob(ActionHandler& handler) {
    return AlreadyFailedJob(handler, Common::Error());
}

// The job is made before the handler hears the result, so that a failure to allocate it reaches
// the caller without a report, as any failure of Perform would.
std::shared_ptr<Job> AlreadyFailedJob(ActionHandler& handler, const Common::Error& error) {
    auto job = std::make_shared<FinishedJob>();
    handler.Completed(error);
    return job;
}

}  // namespace Async
