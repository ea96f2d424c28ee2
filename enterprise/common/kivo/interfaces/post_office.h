// Kivo::PostOffice: where a client asks for reports and subscriptions.
//
// Two kinds exist: the remote post office, which asks a service's view manager, and the local
// post office over a store opened in this process (store_library.h). Both answer the same two
// operations; each starts a job and reports its end to the handler exactly once.
//
// The reader is held by shared pointer: the post office keeps it until the job's end has been
// reported, and the caller keeps it alive at least as long (the actions of the client tie it to
// the job). Thread-safety: operations may be called from any thread.
#pragma once

#include <memory>

#include "core/common/noncopyable.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/ipc/view_manager/view_spec.h"
#include "enterprise/common/kivo/interfaces/entry_point.h"
#include "enterprise/common/kivo/interfaces/readers.h"
#include "enterprise/common/kivo/interfaces/subscription.h"

namespace Kivo {

/// See the file comment.
class PostOffice : private Common::NonCopyable {
  public:
    virtual ~PostOffice() = default;

    /// Subscribes to the objects that `spec` selects. The objects that match now go to `reader`;
    /// on success `subscription` holds the new subscription before `handler` hears the end.
    virtual std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint& entryPoint,
                                                  const ViewSpec& spec,
                                                  const std::shared_ptr<ReportReader>& reader,
                                                  std::unique_ptr<Subscription>& subscription,
                                                  Async::ActionHandler& handler) = 0;

    /// Gives every object that `spec` selects to `reader`, then reports the end to `handler`.
    virtual std::shared_ptr<Async::Job> Report(const Core::EntryPoint& entryPoint,
                                               const ViewSpec& spec,
                                               const std::shared_ptr<ReportReader>& reader,
                                               Async::ActionHandler& handler) = 0;
};

}  // namespace Kivo
