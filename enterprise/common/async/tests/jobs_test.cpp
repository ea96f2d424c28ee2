#include <gtest/gtest.h>

#include <cctype>
#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "enterprise/common/async/action_sequence.h"
#include "enterprise/common/async/cyclic_runner.h"
#include "enterprise/common/async/delegating_action_handler.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/operation_description.h"
#include "enterprise/common/async/result_accumulator.h"
#include "enterprise/common/async/synchronization_callback.h"
#include "enterprise/common/async/tests/async_support.h"
#include "enterprise/common/async/waiting_handler.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::JobControl;
using AsyncTest::CyclicSequence;
using AsyncTest::Failure;
using AsyncTest::ManualAction;
using AsyncTest::ManualJob;
using AsyncTest::RecordingHandler;
using AsyncTest::ScopedTraceCapture;

// One ordering of Run, Cancel and the job's completion on one thread. Each step is a letter:
// c Cancel, s/k/f the job completes with success/canceled/failure 0x1234, x Perform throws, n
// Perform returns no job, r Run again, d the test lets go of its job. Results: s k f x as above,
// p the preventive cancel.
struct Ordering {
    const char *before, *during, *onCancel, *inHandler, *after;  // inHandler: first delivery only
    int performs, jobCancels, calls;
    const char* results;  // the first and the last
    uint32_t state;
};

constexpr uint32_t B = JobControl::STATE_BEGIN;
constexpr uint32_t W = JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL;

const Ordering kOrderings[] = {
    {"cc", "", "", "", "rs", 1, 0, 2, "ps", B},  // a cancel before Run is used once
    {"", "", "", "", "f", 1, 0, 1, "ff", B},
    {"", "s", "", "", "", 1, 0, 1, "ss", B},
    {"", "", "c", "", "cck", 1, 1, 1, "kk", B},  // a cancel under way: only one tells the job
    {"", "", "", "", "csr", 1, 1, 2, "sp", B},   // success despite the cancel keeps it
    {"", "", "k", "", "c", 1, 1, 1, "kk", B},    // completed inside its Cancel
    {"", "", "s", "", "c", 1, 1, 1, "ss", W},
    {"", "c", "", "", "k", 1, 1, 1, "kk", B},   // told once Perform returned
    {"", "c", "kd", "", "", 1, 1, 1, "kk", B},  // Run's own reference keeps the job
    {"", "cs", "", "", "", 1, 0, 1, "ss", W},   // both inside Perform, either order
    {"", "kc", "", "", "", 1, 0, 1, "kk", W},
    {"", "cn", "", "", "k", 1, 0, 1, "kk", B},  // no job to tell
    {"", "n", "", "", "cs", 1, 0, 1, "ss", W},
    {"", "s", "", "c", "", 1, 0, 1, "ss", W},  // canceled while delivered
    {"", "s", "", "r", "", 2, 0, 2, "ss", B},  // the handler runs the control again
    {"", "x", "", "", "", 1, 0, 1, "xx", B},   // Perform's failure wins
    {"", "csx", "", "", "", 1, 0, 1, "xx", B},
};

void ExpectResult(char kind, const Common::Error& result) {
    const uint32_t codes[] = {0, Common::kCanceled, 0x1234, Async::kExceptionDuringOperation};
    EXPECT_EQ(result.Code(), codes[std::string_view("skfx").find(kind == 'p' ? 'k' : kind)]);
    if (kind == 'p' || kind == 'k') {  // the shared canceled error, or the preventive cancel's
        EXPECT_EQ(result.Message(), u"ASYNC: The operation has been canceled.");
        const char* function = result.Place().function;  // null where the run succeeded
        EXPECT_EQ(kind == 'p', function != nullptr && std::string_view(function) ==
                                                          "Async::JobControl::PreventiveCancel");
    }
}

TEST(JobControl, OrderingsOnOneThread) {
    const Common::Error kResults[] = {Common::Error(), Async::CanceledError(), Failure(0x1234)};
    int row = 0;
    for (const Ordering& o : kOrderings) {
        SCOPED_TRACE(testing::Message() << "row " << row++);
        ScopedTraceCapture trace;
        JobControl control;
        ManualAction action;
        RecordingHandler handler;
        // Steps outside the job's own calls act on the last job made.
        const std::function<void(const char*, ManualJob*)> steps = [&](const char* s,
                                                                       ManualJob* j) {
            for (; *s != '\0'; ++s) {
                const size_t completion = std::string_view("skf").find(*s);
                if (completion != std::string_view::npos)
                    (j != nullptr ? j : action.job.get())->Complete(kResults[completion]);
                else if (*s == 'c')
                    control.Cancel();
                else if (*s == 'r')
                    control.Run(action, &handler);
                else if (*s == 'd')
                    action.job.reset();
                else if (*s == 'n')
                    action.returnNull = true;
                else
                    throw Failure(0x77);
            }
        };
        action.during = [&](ManualJob& job) { steps(action.performs == 1 ? o.during : "s", &job); };
        action.onCancel = [&](ManualJob& job) { steps(o.onCancel, &job); };
        handler.then = [&](const Common::Error&) {
            steps(handler.Calls() == 1 ? o.inHandler : "", nullptr);
        };
        steps(o.before, nullptr);
        control.Run(action, &handler);
        steps(o.after, nullptr);
        EXPECT_EQ(action.performs, o.performs);
        EXPECT_EQ(action.cancels.load(), o.jobCancels);
        ASSERT_EQ(handler.Calls(), o.calls);
        ExpectResult(o.results[0], handler.Results().front());
        ExpectResult(o.results[1], handler.Last());
        EXPECT_EQ(control.State(), o.state);
        EXPECT_EQ(trace.Assertions(), 0u);
    }
}

// A standard exception's text is put in as it is, not read as a pattern.
TEST(JobControl, ExceptionsBecomeDescribedErrors) {
    const struct {
        bool inHandler;
        std::function<void()> thrower;
        uint32_t code;
        std::u16string message;
    } cases[] = {
        {false, [] { throw Failure(0x77); }, Async::kExceptionDuringOperation,
         u"ASYNC: Exception has occurred during operation 'Perform'."},
        {false, [] { throw std::runtime_error("disk {0} \xC3\xA9tait full"); },
         Async::kStdExceptionDuringOperation,
         u"ASYNC: STD exception 'disk {0} \u00e9tait full' has occurred during operation "
         u"'Perform'."},
        {true, [] { throw 42; }, Async::kUnknownExceptionDuringOperation,
         u"ASYNC: Unknown exception has occurred during operation 'Finalize run'."},
    };
    for (const auto& c : cases) {
        ScopedTraceCapture trace;
        JobControl control;
        ManualAction action;
        RecordingHandler handler;
        action.during = [&](ManualJob& job) {
            job.Complete(Common::Error());
            if (!c.inHandler)
                c.thrower();
        };
        handler.then = [&](const Common::Error&) {
            if (c.inHandler)
                c.thrower();
        };
        control.Run(action, &handler);
        const auto traced = trace.Errors();
        ASSERT_EQ(traced.size(), 1u);
        EXPECT_EQ(traced[0].first, 4u);
        const Common::Error error = traced[0].second;
        EXPECT_EQ(error.Code(), c.code);
        EXPECT_EQ(error.Message(), c.message);
        EXPECT_STREQ(error.FieldNames(), "TraceLevel,$module");
        EXPECT_EQ(error.NumberField("TraceLevel"), 1);
        EXPECT_EQ(error.Reason().Code(), c.code == Async::kExceptionDuringOperation ? 0x77u : 0u);
        EXPECT_EQ(handler.Last().Code(), c.inHandler ? 0u : c.code);
        EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
    }
}

struct NamedOperation : Async::DescriptiveEntity {
    explicit NamedOperation(bool broken) : broken(broken) {}
    Async::JobDescription Describe() const override {
        if (broken)
            throw Failure(0x99);
        return {COMMON_PLACE("Test::NamedOperation::Describe"), u"Reading the store"};
    }
    const bool broken;
};

// A wrapped cancel still counts as canceled; a description that throws leaves the failure alone.
TEST(JobControl, ADescriptionWrapsFailures) {
    JobControl control;
    ManualAction action;
    RecordingHandler handler;
    const NamedOperation description(false), broken(true);
    const auto run = [&](const NamedOperation& named, bool cancel, const Common::Error& result) {
        control.Run(action, &handler, &named);
        if (cancel)
            control.Cancel();
        action.job->Complete(result);
        return handler.Last();
    };
    const Common::Error failed = run(description, false, Failure(0x55));
    EXPECT_EQ(failed.Code(), Async::kJobDescriptionError);
    EXPECT_EQ(failed.Message(), u"Reading the store");
    EXPECT_EQ(failed.Reason().Code(), 0x55u);
    EXPECT_TRUE(run(description, false, Common::Error()).IsEmpty());
    EXPECT_EQ(run(description, true, Async::CanceledError()).Reason().Code(), Common::kCanceled);
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
    EXPECT_EQ(run(broken, false, Failure(0x55)).Code(), 0x55u);
}

// The upper-case step throws `code` on every `every`th run; without a service work runs at once.
TEST(ActionSequence, RunsItsStepsInOrderUntilOneFails) {
    const struct {
        bool cyclic;
        std::string steps;
        uint32_t code;
        int every;
        std::string ran;
        uint32_t head, reason;  // 0, 0: success
    } cases[] = {
        {false, "abc", 0, 1, "abc", 0, 0},
        {false, "aBc", 0x51, 1, "ab", Async::kJobDescriptionError, 0x51},
        {false, "Ab", Async::kSequenceFinished, 1, "a", 0, 0},
        {false, "A", Async::kCycleFinished, 1, "a", Async::kJobDescriptionError,
         Async::kCycleFinished},
        {true, "xY", Async::kCycleFinished, 3, "xyxyxy", 0, 0},
        {true, "X", Async::kSequenceFinished, 2, "xx", 0, 0},
    };
    for (const auto& c : cases) {
        std::string ran;
        Async::ActionSequence plain;
        CyclicSequence cyclic;
        Async::ActionSequence& sequence = c.cyclic ? cyclic : plain;
        for (const char step : c.steps) {
            sequence.Add(AsyncTest::OnServiceThread([&ran, &c, step, run = 0]() mutable {
                ran += static_cast<char>(std::tolower(step));
                if (std::isupper(step) && ++run % c.every == 0)
                    throw Failure(c.code);
            }));
        }
        RecordingHandler handler;
        const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
        EXPECT_EQ(ran, c.ran);
        ASSERT_EQ(handler.Calls(), 1) << c.ran;
        EXPECT_EQ(handler.Last().Code(), c.head) << c.ran;
        EXPECT_EQ(handler.Last().Reason().Code(), c.reason) << c.ran;
        if (c.head != 0) {
            EXPECT_EQ(handler.Last().Message(), u"ASYNC: Unidentified job.");
        }
    }
    Async::ActionSequence empty;
    RecordingHandler handler;
    EXPECT_EQ(empty.Perform(handler), nullptr);
    EXPECT_EQ(handler.Calls(), 1);
}

// Canceled during a step: the step's canceled result; between steps: the plain canceled error.
TEST(ActionSequence, Cancel) {
    for (const bool betweenSteps : {false, true}) {
        std::shared_ptr<Async::Job> job;
        auto manual = std::make_shared<ManualAction>();
        manual->onCancel = [](ManualJob& job) { job.Complete(Async::CanceledError()); };
        Async::ActionSequence sequence;
        sequence.Add(manual);
        sequence.Add(betweenSteps ? Async::MakeAction([&](Async::ActionHandler& handler) {
            return AsyncTest::CompleteWithReleaseHook(handler, [&] { job->Cancel(); });
        })
                                  : manual);
        const auto last = std::make_shared<ManualAction>();
        sequence.Add(last);
        RecordingHandler handler;
        job = sequence.Perform(handler);
        manual->job->Complete(Common::Error());
        job->Cancel();
        job->Cancel();  // after the end: nothing more
        EXPECT_EQ(last->performs, 0);
        ASSERT_EQ(handler.Calls(), 1);
        EXPECT_EQ(handler.Last().Code(),
                  betweenSteps ? Common::kCanceled : Async::kJobDescriptionError);
        EXPECT_TRUE(Async::IsCanceled(handler.Last()));
        EXPECT_EQ(manual->cancels.load(), betweenSteps ? 0 : 1);
    }
}

// A cancel ends the runner as canceled: the run's canceled result, or the plain canceled error.
TEST(CyclicRun, RunsUntilARunFailsOrIsCanceled) {
    for (const char* script : {"sSf", "K", "s"}) {  // s/f: a run ends; K: the run ends canceled
        auto action = std::make_shared<ManualAction>();
        action->during = [&](ManualJob& run) {
            if (script[action->performs - 1] == 'S')
                run.Complete(Common::Error());
        };
        if (script[0] != 's')
            action->onCancel = [](ManualJob& job) { job.Complete(Async::CanceledError()); };
        Async::Detail::CyclicRunAction cyclic(action);
        RecordingHandler handler;
        const std::shared_ptr<Async::Job> job = cyclic.Perform(handler);
        const bool failing = script[1] != '\0';
        if (failing) {
            action->job->Complete(Common::Error());
            action->job->Complete(Failure(0x61));
        } else {
            job->Cancel();
            if (script[0] == 's')
                action->job->Complete(Common::Error());
        }
        job->Cancel();  // after the end: nothing more runs
        EXPECT_EQ(action->performs, failing ? 3 : 1);
        ASSERT_EQ(handler.Calls(), 1);
        const Common::Error result = handler.Last();
        EXPECT_EQ(result.Code(),
                  script[0] == 's' && !failing ? Common::kCanceled : Async::kJobDescriptionError);
        EXPECT_EQ(Async::IsCanceled(result), !failing) << script;
        if (result.Code() == Async::kJobDescriptionError) {
            EXPECT_EQ(result.Message(), u"ASYNC: Cyclic action execution job.");
            EXPECT_STREQ(result.Place().function,
                         "Async::CyclicRunnerImpl::CyclicRunner::Describe");
            EXPECT_EQ(result.Reason().Code(), failing ? 0x61u : Common::kCanceled);
        }
    }
}

TEST(ActionAdaptors, KeepTheirDataWhileTheActionLives) {
    RecordingHandler handler;
    auto life = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = life;
    auto withData = Async::MakeAction(
        [](std::pair<int, std::shared_ptr<int>>& data, Async::ActionHandler& h) {
            return Async::AlreadyFailedJob(h, Failure(static_cast<uint32_t>(++data.first)));
        },
        std::make_pair(0, std::move(life)));
    withData->Perform(handler);
    withData->Perform(handler);
    EXPECT_EQ(handler.Last().Code(), 2u);
    withData.reset();
    EXPECT_TRUE(watch.expired());
}

// A description that throws yields the caught error, or the out-of-memory error for other kinds.
TEST(FailurePaths, DescriptionsFiltersAndFailureHandlers) {
    struct ThrowingDescription : Async::OperationDescription {
        Common::Error DescribeException(const Common::Error&) const override { throw Failure(1); }
        Common::Error DescribeStdException(std::string_view) const override {
            throw std::bad_alloc();
        }
        Common::Error DescribeUnknownException() const override { throw 7; }
    };
    for (const auto& [thrown, code] :
         {std::pair(std::make_exception_ptr(Failure(0x30)), 0x30u),
          std::pair(std::make_exception_ptr(std::runtime_error("x")), Common::kOutOfMemoryError),
          std::pair(std::make_exception_ptr(1.5), Common::kOutOfMemoryError)}) {
        try {
            std::rethrow_exception(thrown);
        } catch (...) {
            EXPECT_EQ(Async::DescribeCurrentException(ThrowingDescription()).Code(), code);
        }
    }
    ScopedTraceCapture trace;
    struct Throwing : Async::DelegatingActionHandler {
        using DelegatingActionHandler::DelegatingActionHandler;
        Common::Error Filter(const Common::Error& error) override {
            throw Failure(error.Code() + 1);
        }
    };
    RecordingHandler target;
    Throwing(&target).Completed(Failure(0x72));
    EXPECT_EQ(target.Last().Code(), 0x73u);
    EXPECT_EQ(target.Last().Reason().Code(), 0x72u);
    int cleanUps = 0;
    Async::Detail::CustomActionFailureHandler onFailure(&target, [&] { ++cleanUps; });
    onFailure.Completed(Common::Error());
    EXPECT_EQ(cleanUps, 0);
    onFailure.Completed(Failure(0x75));
    EXPECT_EQ(cleanUps, 1);
    EXPECT_EQ(target.Last().Code(), 0x75u);
    EXPECT_EQ(target.Calls(), 3);
    Async::BarrierDebugTracer tracer;
    tracer.Accumulate(Common::Error());
    tracer.Accumulate(Failure(0x78));
    ASSERT_EQ(trace.Errors().size(), 1u);
    EXPECT_EQ(trace.Errors()[0].first, 1u);
    EXPECT_EQ(trace.Errors()[0].second.Code(), 0x78u);
}

using Async::ScopedSynchronizationHold;
using Async::SynchronizationContext;

// Notes "<name><context>," in a shared log; `stop` is what Synchronize returns.
struct LoggingCallback : Async::ScopedSynchronizationCallback {
    LoggingCallback(char n, std::string& l, bool s = false) : name(n), log(l), stop(s) {}
    bool Synchronize(SynchronizationContext context) override {
        log += name + std::to_string(context) + ",";
        if (then)
            then();
        return stop;
    }
    const char name;
    std::string& log;
    const bool stop;
    std::function<void()> then;
};

void Pass(SynchronizationContext context) {
    Async::CurrentSynchronizationCallbackStorage()->Synchronize(context);
}

// A callback popped out of nesting order is unlinked where it is.
TEST(SynchronizationPass, RunsFromTheTopDownUntilACallbackStopsIt) {
    std::string log;
    {
        LoggingCallback bottom('b', log);
        auto middle = std::make_unique<LoggingCallback>('m', log, /*stop=*/true);
        LoggingCallback top('t', log);
        top.then = [&] { LoggingCallback nested('n', log); };
        Pass(7);
        EXPECT_EQ(log, "t7,m7,");
        EXPECT_EQ(bottom.CallCount(), 0u);
        middle.reset();
        Pass(0);
    }
    Pass(1);  // an empty stack: nothing to call
    EXPECT_EQ(log, "t7,m7,t0,b0,");
}

// A deferred pass runs from where it stopped with context 0.
TEST(SynchronizationHold, DefersPassesAndTravelsWithTheTop) {
    std::string log;
    {
        ScopedSynchronizationHold onEmpty;  // nothing to hold yet, nor later
        LoggingCallback callback('c', log);
        EXPECT_EQ(callback.HoldCount(), 0);
    }
    LoggingCallback below('b', log);
    { ScopedSynchronizationHold metNoPass; }  // runs no pass: the log stays empty below
    std::optional<ScopedSynchronizationHold> hold(std::in_place);
    {
        LoggingCallback above('a', log);
        EXPECT_EQ(above.HoldCount(), 1);
        Pass(9);
        EXPECT_EQ(log, "");
        EXPECT_EQ(above.CallCount(), 1u);
        hold.reset();  // the hold on the top ends: the pass runs from it, and stops below
        EXPECT_EQ(log, "a0,");
        EXPECT_EQ(below.HoldCount(), 1);  // still held where the hold was taken
        Pass(4);
        EXPECT_EQ(log, "a0,a4,");
    }
    EXPECT_EQ(below.HoldCount(), 0);  // the pop hands the ended hold down: the deferred pass runs
    EXPECT_EQ(log, "a0,a4,b0,");
}

// The stack lives in the service's slot while a service is registered.
TEST(WaitingHandler, WaitRunsThePassThenReturnsTheResult) {
    std::string log;
    LoggingCallback before('b', log);  // on the thread-local storage
    Async::WaitingHandler waiting(false);
    {
        AsyncService::ScopedAsyncService service(AsyncService::ServiceOptions{1, 0});
        LoggingCallback callback('c', log);
        EXPECT_EQ(service.Get().TopSynchronizationCallback(), &callback);
        callback.then = [&] { waiting.Completed(AsyncTest::Failure(0x21)); };
        EXPECT_EQ(waiting.Wait(42).Code(), 0x21u);
    }
    EXPECT_EQ(Async::CurrentSynchronizationCallbackStorage()->Top(), &before);
    EXPECT_EQ(log, "c42,");
    EXPECT_EQ(waiting.Wait().Code(), 0x21u);
    waiting.Completed(AsyncTest::Failure(0x24));
    EXPECT_EQ(waiting.Wait().Code(), 0x24u);
    EXPECT_EQ(log, "c42,b0,b0,");
}

}  // namespace
