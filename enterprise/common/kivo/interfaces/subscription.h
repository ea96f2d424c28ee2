// Kivo::Subscription: a running subscription, read change by change.
//
// Read starts a job that gives each change to the reader until the job is canceled or fails;
// the handler then hears the job's end. One read is outstanding at a time.
//
// Thread-safety: Read and the returned job's Cancel may be called from any thread.
#pragma once

#include <memory>

#include "core/common/noncopyable.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/kivo/interfaces/readers.h"

namespace Kivo {

/// See the file comment.
class Subscription : private Common::NonCopyable {
  public:
    virtual ~Subscription() = default;
    /// Starts reading changes into `reader`; `handler` hears the end. The job may be null when
    /// the read ended before Read returned. `reader` and `handler` must live until the end.
    virtual std::shared_ptr<Async::Job> Read(SubscriptionReader& reader,
                                             Async::ActionHandler& handler) = 0;
};

}  // namespace Kivo
