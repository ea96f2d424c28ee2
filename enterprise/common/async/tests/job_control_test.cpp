#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/tests/job_support.h"

namespace {

using Async::JobControl;
using AsyncTest::ManualAction;
using AsyncTest::ManualJob;
using AsyncTest::RecordingHandler;
using AsyncTest::ScopedTraceCapture;

const Common::Error kOk;

Common::Error Failure(uint32_t code = 0x1234) {
    return Common::Error(COMMON_PLACE("Test::Failure"), code);
}

bool IsCanceled(const Common::Error& error) {
    return error.Code() == Common::kCanceled;
}

// --- Orderings of Run, Cancel and the job's completion on one thread -----------------------

TEST(JobControlOrder, CancelBeforeRunEndsTheRunWithoutPerforming) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    control.Cancel();
    EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
    control.Cancel();  // a second cancel changes nothing
    control.Run(action, &handler);
    EXPECT_EQ(action.performs, 0);
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_EQ(handler.Last().Code(), Common::kCanceled);
    EXPECT_STREQ(handler.Last().Place().function, "Async::JobControl::PreventiveCancel");
    EXPECT_EQ(handler.Last().Message(), u"ASYNC: The operation has been canceled.");
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);

    control.Run(action, &handler);  // the cancel was used up: this run performs
    EXPECT_EQ(action.performs, 1);
    action.job->Complete(kOk);
    EXPECT_EQ(handler.Calls(), 2);
    EXPECT_TRUE(handler.Last().IsEmpty());
}

TEST(JobControlOrder, CompletionAfterPerformReturned) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    control.Run(action, &handler);
    EXPECT_EQ(control.State(), JobControl::STATE_PERFORMED);
    EXPECT_EQ(handler.Calls(), 0);
    action.job->Complete(Failure());
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_EQ(handler.Last().Code(), 0x1234u);
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(JobControlOrder, CompletionInsidePerformIsDeliveredWhenPerformReturns) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.during = [&](ManualJob& job) {
        job.Complete(kOk);
        EXPECT_EQ(control.State(), JobControl::STATE_COMPLETED_DURING_PERFORM);
        EXPECT_EQ(handler.Calls(), 0);
    };
    control.Run(action, &handler);
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(handler.Last().IsEmpty());
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(JobControlOrder, CancelWhileTheJobRunsThenCanceledCompletion) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.onCancel = [&](ManualJob&) {
        EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_DELIVERING);
        control.Cancel();  // a cancel already under way: nothing more happens
    };
    control.Run(action, &handler);
    control.Cancel();
    EXPECT_EQ(action.job->cancels.load(), 1);
    EXPECT_EQ(control.State(), JobControl::STATE_CANCELING);
    control.Cancel();
    EXPECT_EQ(action.job->cancels.load(), 1);
    action.job->Complete(Async::CanceledError());
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(IsCanceled(handler.Last()));
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(JobControlOrder, CancelWhileTheJobRunsThenSuccessKeepsTheCancelForTheNextRun) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    control.Run(action, &handler);
    control.Cancel();
    action.job->Complete(kOk);
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(handler.Last().IsEmpty());
    EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);

    control.Run(action, &handler);  // canceled preventively
    EXPECT_EQ(action.performs, 1);
    ASSERT_EQ(handler.Calls(), 2);
    EXPECT_TRUE(IsCanceled(handler.Last()));
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(JobControlOrder, TheJobCompletesInsideItsCancel) {
    for (const bool canceled : {true, false}) {
        JobControl control;
        ManualAction action;
        RecordingHandler handler;
        action.onCancel = [&](ManualJob& job) {
            job.Complete(canceled ? Async::CanceledError() : kOk);
            EXPECT_EQ(control.State(), JobControl::STATE_COMPLETED_DURING_CANCEL);
            EXPECT_EQ(handler.Calls(), 0);  // delivered once Cancel is back from the job
        };
        control.Run(action, &handler);
        control.Cancel();
        ASSERT_EQ(handler.Calls(), 1);
        EXPECT_EQ(IsCanceled(handler.Last()), canceled);
        EXPECT_EQ(control.State(),
                  canceled ? JobControl::STATE_BEGIN : JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
    }
}

TEST(JobControlOrder, CancelInsidePerformCancelsTheJobWhenPerformReturns) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.during = [&](ManualJob& job) {
        control.Cancel();
        EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
        EXPECT_EQ(job.cancels.load(), 0);
    };
    action.onCancel = [&](ManualJob&) {
        EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_DELIVERING_AFTER_PERFORM);
    };
    control.Run(action, &handler);
    EXPECT_EQ(action.job->cancels.load(), 1);
    EXPECT_EQ(control.State(), JobControl::STATE_CANCELING);
    action.job->Complete(Async::CanceledError());
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(IsCanceled(handler.Last()));
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

// The job is held by the control alone: it completes inside the Cancel that Run delivers, the
// run finishes and lets go of it, and Run's own reference keeps it alive until Run returns.
TEST(JobControlOrder, CancelInsidePerformAndTheJobCompletesInsideItsCancel) {
    for (const bool canceled : {true, false}) {
        JobControl control;
        ManualAction action;
        RecordingHandler handler;
        action.during = [&](ManualJob&) { control.Cancel(); };
        action.onCancel = [&](ManualJob& job) {
            job.Complete(canceled ? Async::CanceledError() : kOk);
            EXPECT_EQ(control.State(), JobControl::STATE_COMPLETED_DURING_CANCEL_AFTER_PERFORM);
            action.job.reset();
        };
        control.Run(action, &handler);
        ASSERT_EQ(handler.Calls(), 1);
        EXPECT_EQ(IsCanceled(handler.Last()), canceled);
        EXPECT_EQ(control.State(),
                  canceled ? JobControl::STATE_BEGIN : JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
    }
}

// A completion inside Perform that meets a cancel (either order) is delivered as it came, and
// the cancel stays pending for the next run, whatever the result.
TEST(JobControlOrder, CompletionAndCancelBothInsidePerform) {
    for (const bool cancelFirst : {true, false}) {
        for (const bool canceled : {true, false}) {
            JobControl control;
            ManualAction action;
            RecordingHandler handler;
            action.during = [&](ManualJob& job) {
                if (cancelFirst) {
                    control.Cancel();
                }
                job.Complete(canceled ? Async::CanceledError() : kOk);
                if (!cancelFirst) {
                    control.Cancel();
                }
                EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_SCHEDULED_COMPLETED);
            };
            control.Run(action, &handler);
            EXPECT_EQ(action.job->cancels.load(), 0);
            ASSERT_EQ(handler.Calls(), 1);
            EXPECT_EQ(IsCanceled(handler.Last()), canceled);
            EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
        }
    }
}

TEST(JobControlOrder, PerformReturningNoJob) {
    {  // canceled inside Perform: nothing to tell, the completion finishes the run
        JobControl control;
        ManualAction action;
        RecordingHandler handler;
        action.returnNull = true;
        action.during = [&](ManualJob&) { control.Cancel(); };
        control.Run(action, &handler);
        EXPECT_EQ(control.State(), JobControl::STATE_CANCELING);
        action.job->Complete(Async::CanceledError());
        EXPECT_TRUE(IsCanceled(handler.Last()));
        EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
    }
    {  // canceled after Perform: there is no job to tell
        JobControl control;
        ManualAction action;
        RecordingHandler handler;
        action.returnNull = true;
        control.Run(action, &handler);
        control.Cancel();
        EXPECT_EQ(action.job->cancels.load(), 0);
        EXPECT_EQ(control.State(), JobControl::STATE_CANCELING);
        action.job->Complete(kOk);
        EXPECT_TRUE(handler.Last().IsEmpty());
        EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
    }
}

TEST(JobControlOrder, CancelWhileTheResultIsDeliveredKeepsItForTheNextRun) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    handler.then = [&](const Common::Error&) {
        EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
        control.Cancel();
    };
    control.Run(action, &handler);
    action.job->Complete(kOk);
    EXPECT_EQ(handler.Calls(), 1);
    EXPECT_EQ(control.State(), JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL);
}

// The handler may start the next run of the same control (as a repeating runner does).
TEST(JobControlOrder, TheHandlerRunsTheControlAgain) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.during = [](ManualJob& job) { job.Complete(kOk); };
    handler.then = [&](const Common::Error&) {
        if (handler.Calls() < 3) {
            control.Run(action, &handler);
        }
    };
    control.Run(action, &handler);
    EXPECT_EQ(action.performs, 3);
    EXPECT_EQ(handler.Calls(), 3);
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

// --- Perform throwing ----------------------------------------------------------------------

TEST(JobControlPerformFailure, AThrownErrorBecomesTheReasonOfAPerformError) {
    ScopedTraceCapture trace;
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.fail = [] { throw Failure(0x77); };
    control.Run(action, &handler);
    ASSERT_EQ(handler.Calls(), 1);
    const Common::Error result = handler.Last();
    EXPECT_EQ(result.Code(), Async::kExceptionDuringOperation);
    EXPECT_EQ(result.Message(), u"ASYNC: Exception has occurred during operation 'Perform'.");
    EXPECT_STREQ(result.FieldNames(), "TraceLevel,$module");
    EXPECT_EQ(result.NumberField("TraceLevel"), 1);
    EXPECT_STREQ(result.Place().function,
                 "Async::JobControl::PerformExceptionDescription::DescribeException");
    EXPECT_EQ(result.Reason().Code(), 0x77u);
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
    const auto traced = trace->Errors();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0].level, 4u);
    EXPECT_EQ(traced[0].error.Code(), Async::kExceptionDuringOperation);
}

TEST(JobControlPerformFailure, StandardAndUnknownExceptions) {
    ScopedTraceCapture trace;
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.fail = [] { throw std::runtime_error("disk \xC3\xA9tait full"); };
    control.Run(action, &handler);
    EXPECT_EQ(handler.Last().Code(), Async::kStdExceptionDuringOperation);
    EXPECT_EQ(
        handler.Last().Message(),
        u"ASYNC: STD exception 'disk \u00e9tait full' has occurred during operation 'Perform'.");
    EXPECT_EQ(handler.Last().NumberField("TraceLevel"), 1);

    action.fail = [] { throw 42; };
    control.Run(action, &handler);
    EXPECT_EQ(handler.Last().Code(), Async::kUnknownExceptionDuringOperation);
    EXPECT_EQ(handler.Last().Message(),
              u"ASYNC: Unknown exception has occurred during operation 'Perform'.");
    EXPECT_EQ(handler.Calls(), 2);
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

// The failure of Perform wins over whatever happened inside it.
TEST(JobControlPerformFailure, AfterACompletionOrACancelInsidePerform) {
    struct Case {
        bool complete;
        bool cancel;
    };
    for (const Case c : {Case{true, false}, Case{false, true}, Case{true, true}}) {
        ScopedTraceCapture trace;
        JobControl control;
        ManualAction action;
        RecordingHandler handler;
        action.during = [&](ManualJob& job) {
            if (c.cancel) {
                control.Cancel();
            }
            if (c.complete) {
                job.Complete(kOk);
            }
        };
        action.fail = [] { throw Failure(); };
        control.Run(action, &handler);
        ASSERT_EQ(handler.Calls(), 1);
        EXPECT_EQ(handler.Last().Code(), Async::kExceptionDuringOperation);
        EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
        EXPECT_EQ(trace->AssertionCount(), 0);
    }
}

// --- Descriptions, handlers and what is traced ---------------------------------------------

class NamedOperation : public Async::DescriptiveEntity {
  public:
    explicit NamedOperation(bool fails = false) : fails_(fails) {}
    Async::JobDescription Describe() const override {
        if (fails_) {
            throw Failure(0x99);
        }
        return {COMMON_PLACE("Test::NamedOperation::Describe"), u"Reading the store"};
    }

  private:
    const bool fails_;
};

TEST(JobControlResult, ADescriptionWrapsFailuresOnly) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    const NamedOperation description;
    control.Run(action, &handler, &description);
    action.job->Complete(Failure(0x55));
    const Common::Error failed = handler.Last();
    EXPECT_EQ(failed.Code(), Async::kJobDescriptionError);
    EXPECT_EQ(failed.Message(), u"Reading the store");
    EXPECT_STREQ(failed.Place().function, "Test::NamedOperation::Describe");
    EXPECT_EQ(failed.Reason().Code(), 0x55u);

    control.Run(action, &handler, &description);
    action.job->Complete(kOk);
    EXPECT_TRUE(handler.Last().IsEmpty());

    // A wrapped canceled error still counts as canceled.
    control.Run(action, &handler, &description);
    control.Cancel();
    action.job->Complete(Async::CanceledError());
    EXPECT_EQ(handler.Last().Code(), Async::kJobDescriptionError);
    EXPECT_TRUE(Async::ChainContains(handler.Last(), Common::kCanceled));
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(JobControlResult, ADescriptionThatThrowsLeavesTheFailureAsItCame) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    const NamedOperation description(true);
    control.Run(action, &handler, &description);
    action.job->Complete(Failure(0x55));
    EXPECT_EQ(handler.Last().Code(), 0x55u);
}

TEST(JobControlResult, ARunWithoutAHandlerIsTraced) {
    ScopedTraceCapture trace;
    JobControl control;
    ManualAction action;
    control.Run(action, nullptr);
    action.job->Complete(kOk);
    const auto traced = trace->Errors();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0].level, 4u);
    EXPECT_EQ(traced[0].error.Code(), Async::kNullFinalHandler);
    EXPECT_EQ(traced[0].error.Message(),
              u"Can't perform JobControl::SafeFinishRun with null handler.");
    EXPECT_STREQ(traced[0].error.Place().function, "Async::JobControl::FinishRun");
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(JobControlResult, AHandlerThatThrowsIsTracedAsAFinalizeRunFailure) {
    ScopedTraceCapture trace;
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    handler.then = [](const Common::Error&) { throw Failure(0x66); };
    control.Run(action, &handler);
    action.job->Complete(kOk);
    handler.then = [](const Common::Error&) { throw std::logic_error("bad"); };
    control.Run(action, &handler);
    action.job->Complete(kOk);
    EXPECT_EQ(handler.Calls(), 2);
    const auto traced = trace->Errors();
    ASSERT_EQ(traced.size(), 2u);
    EXPECT_EQ(traced[0].level, 4u);
    EXPECT_EQ(traced[0].error.Code(), Async::kExceptionDuringOperation);
    EXPECT_EQ(traced[0].error.Message(),
              u"ASYNC: Exception has occurred during operation 'Finalize run'.");
    EXPECT_EQ(traced[0].error.Reason().Code(), 0x66u);
    EXPECT_EQ(traced[1].error.Code(), Async::kStdExceptionDuringOperation);
    EXPECT_EQ(traced[1].error.Message(),
              u"ASYNC: STD exception 'bad' has occurred during operation 'Finalize run'.");
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

// --- Logic errors --------------------------------------------------------------------------

TEST(JobControlLogic, ASecondCompletionIsAnAssertion) {
    ScopedTraceCapture trace;
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    action.during = [](ManualJob& job) {
        job.Complete(kOk);
        job.Complete(kOk);  // state 2
    };
    control.Run(action, &handler);
    EXPECT_EQ(trace->Assertions(u"State logic broken. Second Completed() called."), 1);
    EXPECT_EQ(handler.Calls(), 1);
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(JobControlLogic, ASecondRunWhileOneIsInProgressIsRefused) {
    ScopedTraceCapture trace;
    JobControl control;
    ManualAction first, second;
    RecordingHandler firstHandler, secondHandler;
    control.Run(first, &firstHandler);
    control.Run(second, &secondHandler);
    EXPECT_EQ(trace->Assertions(u"State logic broken. Second Perform() called."), 1);
    EXPECT_EQ(second.performs, 0);
    first.job->Complete(kOk);
    EXPECT_EQ(firstHandler.Calls(), 1);
    EXPECT_EQ(secondHandler.Calls(), 0);
}

TEST(JobControlLogic, DestroyingARunningControlIsAnAssertion) {
    ScopedTraceCapture trace;
    ManualAction action;
    RecordingHandler handler;
    {
        JobControl control;
        control.Run(action, &handler);
        EXPECT_EQ(control.State(), JobControl::STATE_PERFORMED);
    }
    EXPECT_EQ(trace->Assertions(u"Premature JobControl destruction."), 1);
    EXPECT_EQ(handler.Calls(), 0);
}

TEST(JobControlLogic, DestroyingWithACancelPendingIsAllowed) {
    ScopedTraceCapture trace;
    {
        JobControl control;
        control.Cancel();
    }
    EXPECT_EQ(trace->AssertionCount(), 0);
}

// --- Ids -------------------------------------------------------------------------------------

// Each case runs in a fresh process, so that the counters start from the beginning.
TEST(JobControlIdsDeathTest, ControlsAndJobsCountFromOneEachOnTheirOwn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            RecordingHandler handler;
            ManualAction action;
            JobControl first;
            first.Run(action, &handler);  // makes job 1
            JobControl second;
            const bool ok = first.GetId() == 1 && second.GetId() == 2 && action.job->GetId() == 1;
            action.job->Complete(kOk);
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
