// The two roles around every asynchronous operation: the action that starts it, and the handler
// that hears how it ended.
//
// An action, asked to Perform, starts its operation and returns the job (job.h) that stands for
// the running work. The job reports its end exactly once, to the handler that was given to
// Perform, with a Common::Error that is empty on success. The report may come before Perform
// returns, and on any thread.
//
// Thread-safety: an action may be performed on any thread; a handler must accept its one call on
// whichever thread the job completes.
#pragma once

#include <memory>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace Async {

class Job;

/// Hears the end of one operation.
class ActionHandler : private Common::NonCopyable {
  public:
    virtual ~ActionHandler() = default;
    /// The operation ended with `error` (empty on success). Called once per operation.
    virtual void Completed(const Common::Error& error) = 0;
};

/// Starts an operation.
class Action : private Common::NonCopyable {
  public:
    virtual ~Action() = default;
    /// Starts the operation and returns its job; `handler` hears its end exactly once and must
    /// live until then. The job may be null when the operation ended before Perform returned.
    virtual std::shared_ptr<Job> Perform(ActionHandler& handler) = 0;
};

}  // namespace Async
