// Async::ActionSequence: an action that performs a list of actions one after another.
//
//   Async::ActionSequence sequence;
//   sequence.Add(connect);
//   sequence.Add(subscribe);
//   control.Run(sequence, &synchronizer);   // connect, then subscribe; the first failure ends it
//
// Each Perform makes a sequence job that runs the actions in order, each step under the job's
// job control with the job as the step's handler and description: a step that fails reaches the
// job as kJobDescriptionError ("ASYNC: Unidentified job.") with the failure as its reason. The
// first failing step ends the job with that error, except that a chain holding kSequenceFinished
// ends it as a success, and, for a cyclic sequence (IsCyclic), so does kCycleFinished
// (error/chain.h). After its last action a sequence ends with success; a cyclic one starts again
// at its first action. Canceling the job cancels the step that runs (or the next one).
//
// Steps that complete synchronously do not nest: the job's tail-recursion controller
// (tail_recursion.h) turns them into a loop, and moves the loop to a service thread when the
// thread running it blocks or stays busy.
//
// An empty sequence reports success to the handler at once and returns a null job.
//
// Thread-safety: Add must not overlap a Perform or a running job of the same sequence: the jobs
// share its list of actions. Jobs may be canceled from any thread; a step completion may come on
// any thread.
#pragma once

#include <deque>
#include <memory>

#include "enterprise/common/async/action.h"
#include "enterprise/common/async/action_executor.h"
#include "enterprise/common/async/job.h"

namespace Async {

/// See the file comment.
class ActionSequence : public Action, public ActionExecutor {
  public:
    ActionSequence();

    /// Appends `action` (not null) to the sequence.
    void Add(std::shared_ptr<Action> action) override;

    /// Starts a sequence job; see the file comment. `handler` must live until it was called.
    std::shared_ptr<Job> Perform(ActionHandler& handler) override;

    /// True when the sequence starts again after its last action.
    virtual bool IsCyclic() const { return false; }

  private:
    class ActionSequenceJob;
    using Actions = std::deque<std::shared_ptr<Action>>;

    const std::shared_ptr<Actions> actions_;
};

}  // namespace Async
