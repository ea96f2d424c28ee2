#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string_view>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/tests/async_support.h"

namespace {

using Async::JobControl;
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
    {"", "c", "sd", "", "", 1, 1, 1, "ss", W},
    {"", "cs", "", "", "", 1, 0, 1, "ss", W},  // both inside Perform, either order
    {"", "ck", "", "", "", 1, 0, 1, "kk", W},
    {"", "sc", "", "", "", 1, 0, 1, "ss", W},
    {"", "kc", "", "", "", 1, 0, 1, "kk", W},
    {"", "cn", "", "", "k", 1, 0, 1, "kk", B},  // no job to tell
    {"", "n", "", "", "cs", 1, 0, 1, "ss", W},
    {"", "s", "", "c", "", 1, 0, 1, "ss", W},  // canceled while delivered
    {"", "s", "", "r", "", 2, 0, 2, "ss", B},  // the handler runs the control again
    {"", "x", "", "", "", 1, 0, 1, "xx", B},   // Perform's failure wins
    {"", "sx", "", "", "", 1, 0, 1, "xx", B},
    {"", "cx", "", "", "", 1, 0, 1, "xx", B},
    {"", "csx", "", "", "", 1, 0, 1, "xx", B},
};

void ExpectResult(char kind, const Common::Error& result) {
    const uint32_t codes[] = {0, Common::kCanceled, 0x1234, Async::kExceptionDuringOperation};
    EXPECT_EQ(result.Code(), codes[std::string_view("skfx").find(kind == 'p' ? 'k' : kind)]);
    if (kind == 'p' || kind == 'k') {  // the shared canceled error, or the preventive cancel's
        EXPECT_EQ(result.Message(), u"ASYNC: The operation has been canceled.");
        EXPECT_EQ(kind == 'p', result.Place().function ==
                                   std::string_view("Async::JobControl::PreventiveCancel"));
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
                else
                    *s == 'n' ? void(action.returnNull = true) : throw Failure(0x77);
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
        EXPECT_EQ(trace.Assertions(), 0);
    }
}

// What Perform or the handler throws becomes the result (Perform) and a trace at level 4, in the
// texts users read.
TEST(JobControl, ExceptionsBecomeDescribedErrors) {
    const struct {
        bool inHandler;
        std::function<void()> thrower;
        uint32_t code;
        std::u16string message;
    } cases[] = {
        {false, [] { throw Failure(0x77); }, Async::kExceptionDuringOperation,
         u"ASYNC: Exception has occurred during operation 'Perform'."},
        {false, [] { throw std::runtime_error("disk \xC3\xA9tait full"); },
         Async::kStdExceptionDuringOperation,
         u"ASYNC: STD exception 'disk \u00e9tait full' has occurred during operation 'Perform'."},
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
            c.inHandler ? void() : c.thrower();
        };
        handler.then = [&](const Common::Error&) { c.inHandler ? c.thrower() : void(); };
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

// A description wraps failures only, and a wrapped cancel still counts as the cancel's outcome;
// a description that cannot describe leaves the failure as it came.
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

TEST(JobControl, MisuseIsAnAssertionOrATrace) {
    ScopedTraceCapture trace;
    ManualAction first, second;
    RecordingHandler handler;
    {
        JobControl control;
        control.Run(first, nullptr);  // nobody to hear the result: traced
        first.job->Complete(Common::Error());
        first.during = [](ManualJob& job) {
            job.Complete(Common::Error());
            job.Complete(Common::Error());
        };
        control.Run(first, &handler);
        first.during = nullptr;
        control.Run(first, &handler);
        control.Run(second, &handler);  // refused: a run is in progress
    }                                   // destroyed while running
    EXPECT_EQ(second.performs, 0);
    EXPECT_EQ(handler.Calls(), 1);
    const auto traced = trace.Errors();
    ASSERT_EQ(traced.size(), 1u);
    EXPECT_EQ(traced[0].first, 4u);
    EXPECT_EQ(traced[0].second.Code(), Async::kNullFinalHandler);
    EXPECT_EQ(traced[0].second.Message(),
              u"Can't perform JobControl::SafeFinishRun with null handler.");
    EXPECT_EQ(trace.Assertions(u"State logic broken. Second Perform() called."), 1);
    EXPECT_EQ(trace.Assertions(u"State logic broken. Second Completed() called."), 1);
    EXPECT_EQ(trace.Assertions(u"Premature JobControl destruction."), 1);
    const int assertions = trace.Assertions();
    JobControl().Cancel();  // destroying with a cancel pending is allowed
    EXPECT_EQ(trace.Assertions(), assertions);
}

}  // namespace
