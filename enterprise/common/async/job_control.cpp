#include "enterprise/common/async/job_control.h"

#include <exception>
#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "core/common/trace.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/state_transitions.h"

namespace Async {
namespace {

using Transitions = StateTransitions<JobControl::StatesCount>;

// The permitted moves, drawn in job_control.h.
constexpr Transitions kTransitions{
    {JobControl::STATE_BEGIN, JobControl::STATE_PERFORMED},
    {JobControl::STATE_BEGIN, JobControl::STATE_COMPLETED_DURING_PERFORM},
    {JobControl::STATE_BEGIN, JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL},
    {JobControl::STATE_BEGIN, JobControl::STATE_FINISHING},
    {JobControl::STATE_PERFORMED, JobControl::STATE_CANCEL_DELIVERING},
    {JobControl::STATE_PERFORMED, JobControl::STATE_FINISHING},
    {JobControl::STATE_COMPLETED_DURING_PERFORM, JobControl::STATE_CANCEL_SCHEDULED_COMPLETED},
    {JobControl::STATE_COMPLETED_DURING_PERFORM, JobControl::STATE_FINISHING},
    {JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL, JobControl::STATE_CANCELING},
    {JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL, JobControl::STATE_CANCEL_SCHEDULED_COMPLETED},
    {JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL,
     JobControl::STATE_CANCEL_DELIVERING_AFTER_PERFORM},
    {JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL, JobControl::STATE_FINISHING},
    {JobControl::STATE_CANCELING, JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL},
    {JobControl::STATE_CANCELING, JobControl::STATE_FINISHING},
    {JobControl::STATE_CANCEL_SCHEDULED_COMPLETED, JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL},
    {JobControl::STATE_CANCEL_SCHEDULED_COMPLETED, JobControl::STATE_FINISHING},
    {JobControl::STATE_CANCEL_DELIVERING_AFTER_PERFORM, JobControl::STATE_CANCELING},
    {JobControl::STATE_CANCEL_DELIVERING_AFTER_PERFORM,
     JobControl::STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM},
    {JobControl::STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM,
     JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL},
    {JobControl::STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM, JobControl::STATE_FINISHING},
    {JobControl::STATE_CANCEL_DELIVERING, JobControl::STATE_CANCELING},
    {JobControl::STATE_CANCEL_DELIVERING, JobControl::STATE_COMPLETED_DURING_CANCEL},
    {JobControl::STATE_COMPLETED_DURING_CANCEL, JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL},
    {JobControl::STATE_COMPLETED_DURING_CANCEL, JobControl::STATE_FINISHING},
    {JobControl::STATE_FINISHING, JobControl::STATE_BEGIN},
    {JobControl::STATE_FINISHING, JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL},
};

std::atomic<uint32_t> nextControlId{1};

// Level of traced errors that nobody else reports.
constexpr uint32_t kUnreportedTraceLevel = 4;

// Where a run whose cancel is still pending ends: FINISHING when its result is the cancel's
// outcome, else CANCEL_SCHEDULED_WAIT_ALL, which keeps the cancel for the next run.
uint32_t StateAfterCanceledRun(const Common::Error& result) {
    return IsCanceled(result) ? JobControl::STATE_FINISHING
                              : JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL;
}

std::u16string_view PerformWord() {
    return Common::GetCatalogMessage(Common::kMsgAsyncOperationPerform);
}

std::u16string_view FinishWord() {
    return Common::GetCatalogMessage(Common::kMsgAsyncOperationFinalizeRun);
}

}  // namespace

Common::Error JobControl::PerformExceptionDescription::DescribeException(
    const Common::Error& error) const {
    return MakeOperationExceptionError(
        COMMON_PLACE("Async::JobControl::PerformExceptionDescription::DescribeException"),
        kExceptionDuringOperation, PerformWord(), error);
}

Common::Error JobControl::PerformExceptionDescription::DescribeStdException(
    std::string_view text) const {
    return MakeOperationExceptionError(
        COMMON_PLACE("Async::JobControl::PerformExceptionDescription::DescribeStdException"),
        kStdExceptionDuringOperation, PerformWord(), {}, text);
}

Common::Error JobControl::PerformExceptionDescription::DescribeUnknownException() const {
    return MakeOperationExceptionError(
        COMMON_PLACE("Async::JobControl::PerformExceptionDescription::DescribeUnknownException"),
        kUnknownExceptionDuringOperation, PerformWord());
}

Common::Error JobControl::FinishExceptionDescription::DescribeException(
    const Common::Error& error) const {
    return MakeOperationExceptionError(
        COMMON_PLACE("Async::JobControl::FinishExceptionDescription::DescribeException"),
        kExceptionDuringOperation, FinishWord(), error);
}

Common::Error JobControl::FinishExceptionDescription::DescribeStdException(
    std::string_view text) const {
    return MakeOperationExceptionError(
        COMMON_PLACE("Async::JobControl::FinishExceptionDescription::DescribeStdException"),
        kStdExceptionDuringOperation, FinishWord(), {}, text);
}

Common::Error JobControl::FinishExceptionDescription::DescribeUnknownException() const {
    return MakeOperationExceptionError(
        COMMON_PLACE("Async::JobControl::FinishExceptionDescription::DescribeUnknownException"),
        kUnknownExceptionDuringOperation, FinishWord());
}

JobControl::JobControl()
    : id_(nextControlId.fetch_add(1, std::memory_order_relaxed)), result_(InvalidResultError()) {}

JobControl::~JobControl() {
    const uint32_t state = State();
    COMMON_ASSERT((state == STATE_BEGIN || state == STATE_CANCEL_SCHEDULED_WAIT_ALL) &&
                  "Premature JobControl destruction.");
}

uint32_t JobControl::State() const noexcept {
    return state_.load(std::memory_order_acquire);
}

bool JobControl::Move(uint32_t& from, uint32_t to) noexcept {
    if (!kTransitions.IsPermitted(static_cast<int32_t>(from), static_cast<int32_t>(to))) {
        COMMON_ASSERT_TEXT(false, "JobControl move outside the transition table.");
        from = State();
        return false;
    }
    return state_.compare_exchange_strong(from, to, std::memory_order_acq_rel,
                                          std::memory_order_acquire);
}

// A second Run while one is in progress would overwrite the handler of the first, so it is
// refused before anything is stored.
void JobControl::Run(Action& action, ActionHandler* handler, const DescriptiveEntity* description) {
    const uint32_t state = State();
    if (state != STATE_BEGIN && state != STATE_CANCEL_SCHEDULED_WAIT_ALL) {
        COMMON_ASSERT(!"State logic broken. Second Perform() called.");
        return;
    }
    handler_ = handler;
    description_ = description;
    if (state == STATE_CANCEL_SCHEDULED_WAIT_ALL) {
        PreventiveCancel();
        return;
    }
    // Run's own reference keeps the job alive until Run returns, even when the run finishes (and
    // the control lets go of the job) before Perform has returned.
    std::shared_ptr<Job> job;
    try {
        job = action.Perform(*this);
    } catch (...) {
        PerformFailed(DescribeCurrentException(PerformExceptionDescription()));
        return;
    }
    PerformSucceeded(job);
}

void JobControl::PreventiveCancel() {
    uint32_t state = STATE_CANCEL_SCHEDULED_WAIT_ALL;
    const bool syncPoint = Move(state, STATE_FINISHING);
    COMMON_ASSERT(syncPoint && "State logic broken.");
    if (!syncPoint) {
        return;
    }
    result_ = Common::Error(COMMON_PLACE("Async::JobControl::PreventiveCancel"), Common::kCanceled,
                            Common::GetCatalogMessage(Common::kMsgAsyncCanceled));
    FinishRun();
}

// The result is stored only once this thread owns the finishing move: a job that completed
// before Perform threw has finished writing it by then.
void JobControl::PerformFailed(const Common::Error& failure) {
    Common::TraceError(kUnreportedTraceLevel, failure);
    uint32_t state = State();
    for (;;) {
        switch (state) {
            case STATE_BEGIN:
            case STATE_COMPLETED_DURING_PERFORM:
            case STATE_CANCEL_SCHEDULED_WAIT_ALL:
            case STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM:
                if (Move(state, STATE_FINISHING)) {
                    result_ = failure;
                    FinishRun();
                    return;
                }
                break;
            case STATE_CANCEL_SCHEDULED_COMPLETED: {
                const bool syncPoint = Move(state, STATE_FINISHING);
                COMMON_ASSERT(syncPoint && "State logic broken.");
                if (syncPoint) {
                    result_ = failure;
                    FinishRun();
                }
                return;
            }
            case STATE_CANCEL_DELIVERING_AFTER_PERFORM:
                COMMON_ASSERT(!"State logic broken. Second Perform() called?");
                return;
            default:
                COMMON_ASSERT(!"State logic broken. Second Perform() called.");
                return;
        }
    }
}

void JobControl::PerformSucceeded(const std::shared_ptr<Job>& job) {
    job_ = job;
    uint32_t state = State();
    for (;;) {
        switch (state) {
            case STATE_BEGIN:
                if (Move(state, STATE_PERFORMED)) {
                    return;  // the job runs; its completion finishes the run
                }
                break;
            case STATE_COMPLETED_DURING_PERFORM:
                if (Move(state, STATE_FINISHING)) {
                    FinishRun();
                    return;
                }
                break;
            case STATE_CANCEL_SCHEDULED_WAIT_ALL:
                if (job == nullptr) {
                    if (Move(state, STATE_CANCELING)) {
                        return;
                    }
                } else if (Move(state, STATE_CANCEL_DELIVERING_AFTER_PERFORM)) {
                    job->Cancel();
                    state = State();
                }
                break;
            case STATE_CANCEL_DELIVERING_AFTER_PERFORM:
                if (Move(state, STATE_CANCELING)) {
                    return;
                }
                break;
            case STATE_CANCEL_SCHEDULED_COMPLETED:
                if (Move(state, STATE_CANCEL_SCHEDULED_WAIT_ALL)) {
                    FinishRun();
                    return;
                }
                break;
            case STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM:
                if (Move(state, StateAfterCanceledRun(result_))) {
                    FinishRun();
                    return;
                }
                break;
            default:
                COMMON_ASSERT(!"State logic broken. Second Perform() called.");
                return;
        }
    }
}

Common::Error JobControl::DescribedResult(const Common::Error& error) const {
    if (error.IsEmpty() || description_ == nullptr) {
        return error;
    }
    try {
        Common::Error described = description_->Describe().ToError();
        described.Add(error);
        return described;
    } catch (const Common::Error&) {
        return error;  // a description that cannot describe leaves the result as it came
    } catch (const std::exception&) {
        return error;
    }
}

// The result is written before each move that publishes it; only the thread that owns the
// state it leaves reads the result afterwards.
void JobControl::Completed(const Common::Error& error) {
    const Common::Error result = DescribedResult(error);
    uint32_t state = State();
    for (;;) {
        switch (state) {
            case STATE_BEGIN:
                result_ = result;
                if (Move(state, STATE_COMPLETED_DURING_PERFORM)) {
                    return;  // Run finishes once Perform returns
                }
                break;
            case STATE_PERFORMED:
                result_ = result;
                if (Move(state, STATE_FINISHING)) {
                    FinishRun();
                    return;
                }
                break;
            case STATE_CANCEL_SCHEDULED_WAIT_ALL:
                result_ = result;
                if (Move(state, STATE_CANCEL_SCHEDULED_COMPLETED)) {
                    return;
                }
                break;
            case STATE_CANCELING: {
                result_ = result;
                const bool syncPoint = Move(state, StateAfterCanceledRun(result));
                COMMON_ASSERT(syncPoint && "State logic broken.");
                if (syncPoint) {
                    FinishRun();
                }
                return;
            }
            case STATE_CANCEL_DELIVERING_AFTER_PERFORM:
                result_ = result;
                if (Move(state, STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM)) {
                    return;  // Run finishes once the job's Cancel returns
                }
                break;
            case STATE_CANCEL_DELIVERING:
                result_ = result;
                if (Move(state, STATE_COMPLETED_DURING_CANCEL)) {
                    return;  // Cancel finishes once the job's Cancel returns
                }
                break;
            case STATE_COMPLETED_DURING_CANCEL:
                COMMON_ASSERT(!"State logic broken. Second Completed() called?");
                return;
            default:
                COMMON_ASSERT(!"State logic broken. Second Completed() called.");
                return;
        }
    }
}

// Only the Cancel that told the job (the move out of PERFORMED) goes on from CANCEL_DELIVERING;
// any other Cancel finds the cancel under way and leaves, so that no Cancel touches a control
// that a finished run may already have destroyed.
void JobControl::Cancel() {
    uint32_t state = State();
    for (;;) {
        switch (state) {
            case STATE_BEGIN:
                if (Move(state, STATE_CANCEL_SCHEDULED_WAIT_ALL)) {
                    return;  // the next Run is canceled before it performs
                }
                break;
            case STATE_PERFORMED:
                if (Move(state, STATE_CANCEL_DELIVERING)) {
                    if (const std::shared_ptr<Job> job = job_) {
                        job->Cancel();
                    }
                    state = State();
                    for (;;) {
                        if (state == STATE_CANCEL_DELIVERING) {
                            if (Move(state, STATE_CANCELING)) {
                                return;  // the job's completion finishes the run
                            }
                        } else if (state == STATE_COMPLETED_DURING_CANCEL) {
                            if (Move(state, StateAfterCanceledRun(result_))) {
                                FinishRun();
                                return;
                            }
                        } else {
                            COMMON_ASSERT(!"State logic broken.");
                            return;
                        }
                    }
                }
                break;
            case STATE_COMPLETED_DURING_PERFORM:
                if (Move(state, STATE_CANCEL_SCHEDULED_COMPLETED)) {
                    return;
                }
                break;
            case STATE_FINISHING:
                if (Move(state, STATE_CANCEL_SCHEDULED_WAIT_ALL)) {
                    return;  // the run being delivered keeps the cancel for the next one
                }
                break;
            default:
                return;  // a cancel is already pending or under way
        }
    }
}

// The control lets go of everything it holds for the run before it leaves FINISHING: from then
// on another run may start, and the handler may destroy the control.
void JobControl::FinishRun() {
    ActionHandler* const handler = std::exchange(handler_, nullptr);
    const Common::Error result = std::exchange(result_, InvalidResultError());
    std::shared_ptr<Job> job = std::move(job_);
    uint32_t state = STATE_FINISHING;
    if (!Move(state, STATE_BEGIN)) {
        COMMON_ASSERT(State() == STATE_CANCEL_SCHEDULED_WAIT_ALL && "State logic broken.");
    }
    if (handler != nullptr) {
        try {
            handler->Completed(result);
        } catch (...) {
            Common::TraceError(kUnreportedTraceLevel,
                               DescribeCurrentException(FinishExceptionDescription()));
        }
    } else {
        Common::TraceError(
            kUnreportedTraceLevel,
            Common::Error(COMMON_PLACE("Async::JobControl::FinishRun"), kNullFinalHandler,
                          Common::GetCatalogMessage(Common::kMsgAsyncNullFinalHandler)));
    }
    job.reset();
}

}  // namespace Async
