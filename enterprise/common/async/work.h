// Work run on a thread of the async service, as a job.
//
// ExecuteWork hands a Work to the registered async service (core/async_service_api): Execute runs
// on a service thread and the handler hears the error it returns. Canceling the job before
// Execute starts ends it at once, on the canceling thread, with the canceled error; once Execute
// runs, the job ends with its result. Work still queued when the service shuts down ends with the
// canceled error. With no service registered, Execute runs at once on the calling thread.
//
// Thread-safety: ExecuteWork may be called from any thread; the job's Cancel as any job's.
#pragma once

#include <memory>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"

namespace Async {

/// A piece of work without a job of its own.
class Work : private Common::NonCopyable {
  public:
    virtual ~Work() = default;
    /// Does the work and returns its failure (empty on success). A thrown Common::Error counts as
    /// returned; no other exception may leave Execute.
    virtual Common::Error Execute() = 0;
};

/// Runs `work` as described in the file comment. `handler` must live until it was called and
/// must not throw.
std::shared_ptr<Job> ExecuteWork(std::shared_ptr<Work> work, ActionHandler& handler);

}  // namespace Async
