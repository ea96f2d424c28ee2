#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "core/common/catalog.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/cyclic_runner.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job.h"
#include "enterprise/common/async/tests/job_support.h"
#include "enterprise/common/async/tests/sequence_support.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::Detail::CyclicRunAction;
using AsyncTest::Failure;
using AsyncTest::ManualAction;
using AsyncTest::ManualJob;
using AsyncTest::RecordingHandler;
using AsyncTest::ScopedTraceCapture;
using AsyncTest::StackProbe;
using AsyncTest::SynchronousAction;

constexpr uintptr_t kFlatStack = 64 * 1024;

std::u16string CyclicJobText() {
    return Common::GetCatalogMessage(Common::kMsgAsyncCyclicJob);
}

TEST(CyclicRun, AnActionFailingOnItsThirdRunEndsAfterExactlyThreeRuns) {
    auto action = std::make_shared<SynchronousAction>(
        [](int run) { return run == 3 ? Failure(0x6161) : Common::Error(); });
    CyclicRunAction cyclic(action);
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = cyclic.Perform(handler);
    EXPECT_EQ(action->runs.load(), 3);
    ASSERT_EQ(handler.Calls(), 1);
    const Common::Error result = handler.Last();
    EXPECT_EQ(result.Code(), Async::kJobDescriptionError);
    EXPECT_EQ(result.Message(), CyclicJobText());
    EXPECT_STREQ(result.Place().function, "Async::CyclicRunnerImpl::CyclicRunner::Describe");
    EXPECT_EQ(result.Reason().Code(), 0x6161u);
    EXPECT_FALSE(Async::IsCanceled(result));

    job->Cancel();  // after the end: nothing more runs
    EXPECT_EQ(action->runs.load(), 3);
    EXPECT_EQ(handler.Calls(), 1);
}

TEST(CyclicRun, RunsThatCompleteLaterStartTheNextOnTheCompletingCall) {
    auto action = std::make_shared<ManualAction>();
    CyclicRunAction cyclic(action);
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = cyclic.Perform(handler);
    EXPECT_EQ(job->Describe().text, CyclicJobText());
    EXPECT_EQ(action->performs, 1);
    action->job->Complete(Common::Error());
    EXPECT_EQ(action->performs, 2);
    action->job->Complete(Common::Error());
    EXPECT_EQ(action->performs, 3);
    action->job->Complete(Failure(0x6262));
    EXPECT_EQ(action->performs, 3);
    EXPECT_EQ(handler.Last().Reason().Code(), 0x6262u);
}

// The canceled step is a failure of the cyclic job like any other: the caller sees the job's
// description with the canceled error as its reason.
TEST(CyclicRun, CanceledDuringARun) {
    auto action = std::make_shared<ManualAction>();
    action->onCancel = [](ManualJob& job) { job.Complete(Async::CanceledError()); };
    CyclicRunAction cyclic(action);
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = cyclic.Perform(handler);
    action->job->Complete(Common::Error());
    job->Cancel();
    EXPECT_EQ(action->performs, 2);
    EXPECT_EQ(action->job->cancels.load(), 1);
    ASSERT_EQ(handler.Calls(), 1);
    const Common::Error result = handler.Last();
    EXPECT_EQ(result.Code(), Async::kJobDescriptionError);
    EXPECT_EQ(result.Reason().Code(), Common::kCanceled);
    EXPECT_TRUE(Async::IsCanceled(result));
}

// A step that ignores the cancel and succeeds: the pending cancel stops the next run before it is
// performed.
TEST(CyclicRun, ARunThatSucceedsDespiteTheCancelIsTheLast) {
    auto action = std::make_shared<ManualAction>();
    CyclicRunAction cyclic(action);
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = cyclic.Perform(handler);
    job->Cancel();
    EXPECT_EQ(handler.Calls(), 0);
    action->job->Complete(Common::Error());
    EXPECT_EQ(action->performs, 1);
    EXPECT_EQ(handler.Last().Code(), Common::kCanceled);
}

// Canceled after a run ended and before the next is performed: that run never starts, and the
// plain canceled error ends the cyclic job.
TEST(CyclicRun, CanceledBetweenRuns) {
    std::shared_ptr<Async::Job> job;
    std::shared_ptr<ManualJob> first;
    int runs = 0;
    auto action =
        Async::MakeAction([&](Async::ActionHandler& handler) -> std::shared_ptr<Async::Job> {
            const int run = ++runs;
            if (run == 1) {  // still running when Perform returns, so the job is handed out
                first = std::make_shared<ManualJob>(handler);
                return first;
            }
            // Each later run's job is let go just after its end was delivered.
            return AsyncTest::CompleteWithReleaseHook(handler, [&job, run] {
                if (run == 5) {
                    job->Cancel();
                }
            });
        });
    CyclicRunAction cyclic(action);
    RecordingHandler handler;
    job = cyclic.Perform(handler);
    first->Complete(Common::Error());
    EXPECT_EQ(runs, 5);
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_EQ(handler.Last().Code(), Common::kCanceled);
    EXPECT_TRUE(Async::IsCanceled(handler.Last()));
}

TEST(CyclicRun, AMillionSynchronousCyclesDoNotGrowTheStack) {
    StackProbe probe;
    constexpr int kCycles = 1000000;
    auto action = std::make_shared<SynchronousAction>(
        [](int run) { return run == kCycles ? Failure(0x6363) : Common::Error(); }, &probe);
    CyclicRunAction cyclic(action);
    RecordingHandler handler;
    cyclic.Perform(handler);
    EXPECT_EQ(action->runs.load(), kCycles);
    EXPECT_EQ(handler.Last().Reason().Code(), 0x6363u);
    EXPECT_LT(probe.Deepest(), kFlatStack);
}

TEST(CyclicRun, AMillionSynchronousCyclesWithTheMetronomeArmedOnEach) {
    AsyncService::ScopedAsyncService service(AsyncService::ServiceOptions{2, 0});
    StackProbe probe;
    constexpr int kCycles = 1000000;
    auto action = std::make_shared<SynchronousAction>(
        [](int run) { return run == kCycles ? Failure(0x6464) : Common::Error(); }, &probe);
    CyclicRunAction cyclic(action);
    RecordingHandler handler;
    const auto started = std::chrono::steady_clock::now();
    const std::shared_ptr<Async::Job> job = cyclic.Perform(handler);
    handler.Wait();  // a step that took a beat has moved the loop to a service thread
    const auto elapsed = std::chrono::steady_clock::now() - started;
    // A beat per step would take 60,000 s; the bound leaves room for slow sanitizer builds.
    EXPECT_EQ(action->runs.load(), kCycles);
    EXPECT_EQ(handler.Last().Reason().Code(), 0x6464u);
    EXPECT_LT(probe.Deepest(), kFlatStack);
    EXPECT_LT(elapsed, std::chrono::seconds(200));
}

TEST(CyclicRun, ANullActionIsAnAssertionAndEndsAtOnce) {
    ScopedTraceCapture trace;
    CyclicRunAction cyclic(nullptr);
    RecordingHandler handler;
    cyclic.Perform(handler);
    EXPECT_EQ(trace->Assertions(u"A cyclic run takes no null action."), 1);
    EXPECT_EQ(handler.Last().Code(), Async::kInvalidResult);
}

// --- Telling a cancellation from a failure ---------------------------------------------------

TEST(IsCanceled, FindsTheCanceledCodeAnywhereInTheChain) {
    EXPECT_FALSE(Async::IsCanceled(Common::Error()));
    EXPECT_FALSE(Async::IsCanceled(Failure(0x6565)));
    EXPECT_TRUE(Async::IsCanceled(Async::CanceledError()));

    Common::Error wrapped = Failure(Async::kJobDescriptionError);
    wrapped.Add(Async::CanceledError());
    EXPECT_TRUE(Async::IsCanceled(wrapped));

    Common::Error deep = Failure(0x6666);
    deep.Add(wrapped);
    EXPECT_TRUE(Async::IsCanceled(deep));

    Common::Error failedForOtherReasons = Failure(Async::kJobDescriptionError);
    failedForOtherReasons.Add(Failure(0x6767));
    EXPECT_FALSE(Async::IsCanceled(failedForOtherReasons));
}

}  // namespace
