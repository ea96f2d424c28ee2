// Async::Detail::CyclicRunAction: an action that performs another action over and over, until a
// run fails or the job is canceled.
//
//   auto reading = std::make_shared<Async::Detail::CyclicRunAction>(readOnce);
//   control.Run(*reading, &synchronizer);
//   ...
//   control.Cancel();
//   if (!Async::IsCanceled(synchronizer.Wait())) { ... }   // error/chain.h
//
// Perform starts a cyclic runner, the job it returns. The runner performs the action under its
// job control, itself being the handler and the description; each run that succeeds starts the
// next one at once. A cyclic run therefore only ends with an error, and its handler hears it:
//
//   Perform
//     |
//     v
//   [run k: the action's job runs] --success--> [run k+1] --> ...
//     |          (a run that completed inside its own Perform does not nest the next one: the
//     |           runner's tail-recursion controller loops, tail_recursion.h)
//     |--the run fails with e-------------------> ended: kJobDescriptionError
//     |                                           "ASYNC: Cyclic action execution job." <- e
//     |--Cancel: the run's job is told to cancel
//     |     |--it ends with kCanceled -----------> ended: kJobDescriptionError <- kCanceled
//     |     '--it succeeds all the same: the cancel stays pending for run k+1 (below)
//     '--Cancel after run k ended, before run k+1
//        performs: run k+1 ends at once,
//        unperformed ----------------------------> ended: kCanceled
//
// So a canceled cyclic job may end with the canceled error as the head of its result or as its
// reason; IsCanceled (error/chain.h) tells both from a failure. Once the handler heard the end,
// the runner performs nothing more; a later Cancel does nothing.
//
// Thread-safety: the job may be canceled from any thread; runs may complete on any thread, and
// the next run starts on the thread of the completion (or on a service thread, see
// tail_recursion.h).
#pragma once

#include <memory>

#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"

namespace Async::Detail {

/// See the file comment.
class CyclicRunAction final : public Action {
  public:
    /// Repeats `action` (not null).
    explicit CyclicRunAction(std::shared_ptr<Action> action);

    /// Starts the cyclic runner. `handler` must live until it was called.
    std::shared_ptr<Job> Perform(ActionHandler& handler) override;

  private:
    const std::shared_ptr<Action> action_;
};

}  // namespace Async::Detail
