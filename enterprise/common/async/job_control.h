// Async::JobControl: runs one action at a time, takes its job's completion and cancellation from
// any thread, and delivers exactly one result per run to the caller's handler.
//
//   Async::JobControl control;
//   control.Run(action, &handler, &description);   // handler hears the result once
//   control.Cancel();                              // from any thread, at any moment
//
// Run performs the action with the control itself as the job's handler. The job may complete
// before Perform returns, on another thread while the caller is still inside Run, or after; a
// Cancel may come before Run, while Perform runs, while the job runs or while the result is being
// delivered. No lock is taken: each of Run, Completed and Cancel moves a state word by
// compare-and-swap, each move checked against a fixed table of permitted moves, and a thread that
// loses a race reads the state again and decides anew. The handler runs on whichever thread makes
// the finishing move, with no lock held, and may destroy the control or start its next run.
//
// A cancel that arrives between runs, or that is still pending when a run ends with a result
// other than the canceled error, makes the next Run end at once with the canceled error without
// performing its action. Failures become results, never exceptions: Perform throwing ends the run
// with kExceptionDuringOperation ("Perform"), kStdExceptionDuringOperation or
// kUnknownExceptionDuringOperation (operation_description.h), traced at level 4. A handler that
// throws has its exception described the same way ("Finalize run") and traced at level 4.
//
// The states and the permitted moves. Each arrow is one compare-and-swap, labelled with the call
// that makes it: "Run" is the thread inside Run once Perform returned a job ("returned"),
// returned none, or threw; "Done" is the job's completion; "Cancel" is Cancel. A move that ends
// the run ("-> [10]", and "-> [10] or [3]": [10] when the result contains the canceled error, [3]
// otherwise, which keeps the cancel for the next run) is followed by FinishRun on the same
// thread, which delivers the result and leaves [10] for [0] (or stays in [3]).
//
//   [0] BEGIN
//    |--Run: returned-------------> [1] PERFORMED
//    |                               |--Done------------------------------------------> [10]
//    |                               '--Cancel----> [8] CANCEL_DELIVERING (job told here)
//    |                                               |--Cancel, back from the job--> [4]
//    |                                               '--Done--> [9] COMPLETED_DURING_CANCEL
//    |                                                           '--Cancel, back from the job
//    |                                                                    --> [10] or [3]
//    |--Done, inside Perform------> [2] COMPLETED_DURING_PERFORM
//    |                               |--Run: returned or threw------------------------> [10]
//    |                               '--Cancel-------------------------------------------> [5]
//    |--Cancel--------------------> [3] CANCEL_SCHEDULED_WAIT_ALL
//    |                               |--Run before performing (the preventive cancel),
//    |                               |  or Run: threw------------------------------------> [10]
//    |                               |--Done, inside Perform--> [5] CANCEL_SCHEDULED_COMPLETED
//    |                               |                           |--Run: returned------> [3]
//    |                               |                           '--Run: threw---------> [10]
//    |                               |--Run: returned no job---------------------------> [4]
//    |                               '--Run: returned--> [6] CANCEL_DELIVERING_AFTER_PERFORM
//    |                                                    |  (job told here)
//    |                                                    |--Run, back from the job----> [4]
//    |                                                    '--Done--> [7] COMPLETED_DURING_
//    |                                                                CANCEL_AFTER_PERFORM
//    |                                                                 '--Run, back from the
//    |                                                                    job--> [10] or [3]
//    '--Run: threw---------------------------------------------------------------------> [10]
//
//   [4] CANCELING ------------Done-----------> [10] or [3]
//   [10] FINISHING ---------FinishRun--------> [0]
//                  '--------Cancel-----------> [3]
//
// Four states have a single way out, taken by one thread: [5] and [7] by the thread inside Run,
// [9] by the Cancel that told the job, [4] by the job's completion. Elsewhere moves race: in [0]
// Run, the completion and Cancel; in [1] the completion and Cancel; in [2] Run and Cancel; in [3]
// Run and the completion; in [6] Run and the completion; in [8] the Cancel that told the job and
// the completion; in [10] FinishRun and Cancel. The loser of a race reads the state again and
// follows the arrows from there; a Cancel that finds [3] to [9] has nothing to do.
//
// Thread-safety: Run must not overlap another Run of the same control; Cancel may be called from
// any thread at any time while the control lives; the control must not be destroyed while a run
// is in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

#include "core/common/error/error.h"
#include "enterprise/common/async/action.h"
#include "enterprise/common/async/job.h"
#include "enterprise/common/async/operation_description.h"

namespace Async {

/// Code of the error traced when a run ends with no handler to hear its result.
inline constexpr uint32_t kNullFinalHandler = 0xF90015;

/// See the file comment.
class JobControl : private ActionHandler {
  public:
    /// The states of the file comment.
    enum StateValue : uint32_t {
        STATE_BEGIN = 0,
        STATE_PERFORMED = 1,
        STATE_COMPLETED_DURING_PERFORM = 2,
        STATE_CANCEL_SCHEDULED_WAIT_ALL = 3,
        STATE_CANCELING = 4,
        STATE_CANCEL_SCHEDULED_COMPLETED = 5,
        STATE_CANCEL_DELIVERING_AFTER_PERFORM = 6,
        STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM = 7,
        STATE_CANCEL_DELIVERING = 8,
        STATE_COMPLETED_DURING_CANCEL = 9,
        STATE_FINISHING = 10,
        StatesCount = 11,
    };

    /// Describes a failure of Perform: the operation is "Perform".
    class PerformExceptionDescription final : public OperationDescription {
      public:
        Common::Error DescribeException(const Common::Error& error) const override;
        Common::Error DescribeStdException(std::string_view text) const override;
        Common::Error DescribeUnknownException() const override;
    };

    /// Describes a failure of the handler's Completed: the operation is "Finalize run".
    class FinishExceptionDescription final : public OperationDescription {
      public:
        Common::Error DescribeException(const Common::Error& error) const override;
        Common::Error DescribeStdException(std::string_view text) const override;
        Common::Error DescribeUnknownException() const override;
    };

    /// An idle control with an id from the process-wide control counter (the first gets 1).
    JobControl();
    /// Destroying a control while a run is in progress is an assertion failure.
    ~JobControl() override;

    /// Starts one run of `action`; `handler` (null: nobody, which is traced as kNullFinalHandler)
    /// hears its result exactly once, possibly before Run returns. When `description` is given,
    /// a failed completion is wrapped in its error (job.h). Both must live until the handler was
    /// called.
    void Run(Action& action, ActionHandler* handler,
             const DescriptiveEntity* description = nullptr);

    /// Asks the current run to end early, or the next one when no run is in progress.
    void Cancel();

    uint32_t GetId() const noexcept { return id_; }

    /// The current state, for checks and tests; it may change at any moment.
    uint32_t State() const noexcept;

  private:
    void Completed(const Common::Error& error) override;

    void PreventiveCancel();
    void PerformFailed(const Common::Error& failure);
    void PerformSucceeded(const std::shared_ptr<Job>& job);
    void FinishRun();
    // One move: checks the table, then compare-and-swap from `from` to `to`. On failure `from`
    // holds the state read instead.
    bool Move(uint32_t& from, uint32_t to) noexcept;
    // The result of a completion with `error`, wrapped by the description when there is one.
    Common::Error DescribedResult(const Common::Error& error) const;

    std::atomic<uint32_t> state_{STATE_BEGIN};
    const uint32_t id_;
    ActionHandler* handler_ = nullptr;
    const DescriptiveEntity* description_ = nullptr;
    Common::Error result_;
    std::shared_ptr<Job> job_;
};

}  // namespace Async
