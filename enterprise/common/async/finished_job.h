// Jobs that have already ended when they are handed out.
//
// An operation that can tell its result at once (a request refused before it was sent, updates
// that were already waiting) reports to its handler before it returns, and returns one of these
// jobs: there is nothing left to cancel, so Cancel does nothing.
//
// Thread-safety: the returned jobs are immutable.
#pragma once

#include <memory>

#include "core/common/error/error.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"

namespace Async {

/// Reports success to `handler`, then returns a job whose Cancel does nothing.
std::shared_ptr<Job> AlreadyCompletedJob(ActionHandler& handler);

/// Reports `error` to `handler` (an empty error counts as success), then returns a job whose
/// Cancel does nothing.
std::shared_ptr<Job> AlreadyFailedJob(ActionHandler& handler, const Common::Error& error);

}  // namespace Async
