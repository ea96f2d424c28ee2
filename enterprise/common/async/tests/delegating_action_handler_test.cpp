#include <gtest/gtest.h>

#include "core/common/error/error.h"
#include "enterprise/common/async/delegating_action_handler.h"
#include "enterprise/common/async/result_accumulator.h"
#include "enterprise/common/async/tests/job_support.h"
#include "enterprise/common/async/tests/sequence_support.h"

namespace {

using AsyncTest::Failure;
using AsyncTest::RecordingHandler;
using AsyncTest::ScopedTraceCapture;

class ThrowingFilter : public Async::DelegatingActionHandler {
  public:
    using DelegatingActionHandler::DelegatingActionHandler;

  protected:
    Common::Error Filter(const Common::Error& error) override {
        if (error.IsEmpty()) {
            return Failure(0x7171);  // a filter may turn success into failure
        }
        throw Failure(0x7272);
    }
};

TEST(DelegatingActionHandler, PassesEachCompletionOnUnchanged) {
    RecordingHandler target;
    Async::DelegatingActionHandler delegating(&target);
    delegating.Completed(Common::Error());
    EXPECT_TRUE(target.Last().IsEmpty());
    delegating.Completed(Failure(0x7070));
    EXPECT_EQ(target.Last().Code(), 0x7070u);
    EXPECT_EQ(target.Calls(), 2);
}

TEST(DelegatingActionHandler, AFilterThatThrowsHandsOnTheThrownErrorWithTheResultAsReason) {
    RecordingHandler target;
    ThrowingFilter delegating(&target);
    delegating.Completed(Common::Error());
    EXPECT_EQ(target.Last().Code(), 0x7171u);
    delegating.Completed(Failure(0x7373));
    EXPECT_EQ(target.Last().Code(), 0x7272u);
    EXPECT_EQ(target.Last().Reason().Code(), 0x7373u);
}

TEST(DelegatingActionHandler, ANullTargetIsAnAssertionAndDropsTheResult) {
    ScopedTraceCapture trace;
    Async::DelegatingActionHandler delegating(nullptr);
    delegating.Completed(Failure(0x7474));
    EXPECT_EQ(trace->Assertions(u"Invalid Delegating Action Handler state."), 1);
}

TEST(CustomActionFailureHandler, RunsItsFunctionOnFailureOnlyAndHandsOnTheSameError) {
    RecordingHandler target;
    int cleanUps = 0;
    Async::Detail::CustomActionFailureHandler onFailure(&target, [&] { ++cleanUps; });
    onFailure.Completed(Common::Error());
    EXPECT_EQ(cleanUps, 0);
    EXPECT_TRUE(target.Last().IsEmpty());
    const Common::Error failure = Failure(0x7575);
    onFailure.Completed(failure);
    EXPECT_EQ(cleanUps, 1);
    EXPECT_EQ(target.Last().Head(), failure.Head());  // the very same error
}

TEST(BarrierDebugTracer, TracesFailuresAtLevelOneAndNothingForSuccess) {
    ScopedTraceCapture trace;
    Async::BarrierDebugTracer tracer;
    tracer.Accumulate(Common::Error());
    EXPECT_TRUE(trace->Errors().empty());
    tracer.Accumulate(Failure(0x7878));
    ASSERT_EQ(trace->Errors().size(), 1u);
    EXPECT_EQ(trace->Errors()[0].level, 1u);
    EXPECT_EQ(trace->Errors()[0].error.Code(), 0x7878u);
}

}  // namespace
