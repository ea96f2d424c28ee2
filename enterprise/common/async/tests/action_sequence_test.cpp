#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/common/catalog.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/action_sequence.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job.h"
#include "enterprise/common/async/tests/job_support.h"
#include "enterprise/common/async/tests/sequence_support.h"
#include "enterprise/common/async/waiting_handler.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::ActionSequence;
using AsyncTest::Failure;
using AsyncTest::ManualAction;
using AsyncTest::RecordingHandler;
using AsyncTest::StackProbe;
using AsyncTest::SynchronousAction;

class CyclicSequence : public ActionSequence {
  public:
    bool IsCyclic() const override { return true; }
};

// An action that notes its name and ends inside Perform with `result`.
std::shared_ptr<Async::Action> Named(std::vector<std::string>& log, std::string name,
                                     Common::Error result = {}) {
    return Async::MakeAction([&log, name, result](Async::ActionHandler& handler) {
        log.push_back(name);
        return Async::AlreadyFailedJob(handler, result);
    });
}

// A cyclic job of one million steps must not grow the stack by more than a few frames.
constexpr uintptr_t kFlatStack = 64 * 1024;

TEST(ActionSequence, AnEmptySequenceSucceedsAtOnceWithoutAJob) {
    ActionSequence sequence;
    RecordingHandler handler;
    EXPECT_EQ(sequence.Perform(handler), nullptr);
    EXPECT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(handler.Last().IsEmpty());
}

TEST(ActionSequence, RunsItsActionsInOrderAndEndsWithSuccess) {
    std::vector<std::string> log;
    ActionSequence sequence;
    sequence.Add(Named(log, "a"));
    sequence.Add(Named(log, "b"));
    sequence.Add(Named(log, "c"));
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(handler.Last().IsEmpty());

    // The sequence can run again; each run is a job of its own.
    RecordingHandler again;
    EXPECT_NE(sequence.Perform(again)->GetId(), job->GetId());
    EXPECT_EQ(log.size(), 6u);
    EXPECT_EQ(again.Calls(), 1);
}

TEST(ActionSequence, TheFirstFailureEndsItWrappedInTheJobDescription) {
    std::vector<std::string> log;
    ActionSequence sequence;
    sequence.Add(Named(log, "a"));
    sequence.Add(Named(log, "b", Failure(0x5151)));
    sequence.Add(Named(log, "c"));
    RecordingHandler handler;
    sequence.Perform(handler);
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(handler.Calls(), 1);
    const Common::Error result = handler.Last();
    EXPECT_EQ(result.Code(), Async::kJobDescriptionError);
    EXPECT_EQ(result.Message(), Common::GetCatalogMessage(Common::kMsgAsyncUnidentifiedJob));
    EXPECT_EQ(result.Reason().Code(), 0x5151u);
}

TEST(ActionSequence, SequenceFinishedEndsAnySequenceAsASuccess) {
    std::vector<std::string> log;
    ActionSequence sequence;
    sequence.Add(Named(log, "a", Failure(Async::kSequenceFinished)));
    sequence.Add(Named(log, "b"));
    RecordingHandler handler;
    sequence.Perform(handler);
    EXPECT_EQ(log, (std::vector<std::string>{"a"}));
    EXPECT_TRUE(handler.Last().IsEmpty());
}

TEST(ActionSequence, CycleFinishedIsASuccessOnlyForACyclicSequence) {
    std::vector<std::string> log;
    ActionSequence plain;
    plain.Add(Named(log, "a", Failure(Async::kCycleFinished)));
    RecordingHandler plainHandler;
    plain.Perform(plainHandler);
    EXPECT_TRUE(Async::ChainContains(plainHandler.Last(), Async::kCycleFinished));

    // A cyclic sequence starts again after its last action, until a step says the cycle is done.
    CyclicSequence cyclic;
    auto counter = std::make_shared<SynchronousAction>(
        [](int run) { return run == 3 ? Failure(Async::kCycleFinished) : Common::Error(); });
    cyclic.Add(Named(log, "x"));
    cyclic.Add(counter);
    RecordingHandler cyclicHandler;
    cyclic.Perform(cyclicHandler);
    EXPECT_EQ(counter->runs.load(), 3);
    EXPECT_EQ(log, (std::vector<std::string>{"a", "x", "x", "x"}));
    EXPECT_EQ(cyclicHandler.Calls(), 1);
    EXPECT_TRUE(cyclicHandler.Last().IsEmpty());
}

TEST(ActionSequence, AStepThatCompletesLaterGoesOnOnTheCompletingCall) {
    std::vector<std::string> log;
    auto manual = std::make_shared<ManualAction>();
    ActionSequence sequence;
    sequence.Add(manual);
    sequence.Add(Named(log, "after"));
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
    EXPECT_EQ(handler.Calls(), 0);
    EXPECT_TRUE(log.empty());
    manual->job->Complete(Common::Error());
    EXPECT_EQ(log, (std::vector<std::string>{"after"}));
    EXPECT_TRUE(handler.Last().IsEmpty());
}

TEST(ActionSequence, CancelEndsTheRunningStepAndSkipsTheRest) {
    std::vector<std::string> log;
    auto manual = std::make_shared<ManualAction>();
    manual->onCancel = [](AsyncTest::ManualJob& job) { job.Complete(Async::CanceledError()); };
    ActionSequence sequence;
    sequence.Add(manual);
    sequence.Add(Named(log, "after"));
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
    job->Cancel();
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_TRUE(Async::IsCanceled(handler.Last()));
    job->Cancel();  // after the end: nothing more
    EXPECT_EQ(handler.Calls(), 1);
}

TEST(ActionSequence, CancelBetweenStepsCancelsTheNextBeforeItIsPerformed) {
    std::vector<std::string> log;
    auto first = std::make_shared<ManualAction>();
    std::shared_ptr<Async::Job> job;
    ActionSequence sequence;
    sequence.Add(first);
    // This step's job is let go just after its end was delivered, before the next step starts.
    sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
        return AsyncTest::CompleteWithReleaseHook(handler, [&] { job->Cancel(); });
    }));
    sequence.Add(Named(log, "third"));
    RecordingHandler handler;
    job = sequence.Perform(handler);
    first->job->Complete(Common::Error());
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(handler.Calls(), 1);
    // Canceled before it was performed: the plain canceled error, no step to describe.
    EXPECT_EQ(handler.Last().Code(), Common::kCanceled);
}

// The first step's job, let go just after the step ended, waits for the second step. With no
// service to fork to, the waiting thread's synchronisation pass runs the next step itself.
TEST(ActionSequence, WithoutAServiceAWaitingStepRunsTheNextStepInsideItsWait) {
    std::vector<std::string> log;
    Async::WaitingHandler secondRan(false);
    ActionSequence sequence;
    sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
        return AsyncTest::CompleteWithReleaseHook(handler, [&] {
            log.push_back("first waits");
            EXPECT_TRUE(secondRan.Wait().IsEmpty());
            log.push_back("first wait over");
        });
    }));
    sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
        log.push_back("second");
        secondRan.Completed(Common::Error());
        return Async::AlreadyCompletedJob(handler);
    }));
    RecordingHandler handler;
    handler.then = [&](const Common::Error&) { log.push_back("end"); };
    sequence.Perform(handler);
    EXPECT_EQ(log, (std::vector<std::string>{"first waits", "second", "end", "first wait over"}));
    EXPECT_TRUE(handler.Last().IsEmpty());
}

TEST(ActionSequence, AMillionSynchronousStepsDoNotGrowTheStack) {
    StackProbe probe;
    constexpr int kSteps = 1000000;
    auto step = std::make_shared<SynchronousAction>(
        [](int run) { return run == kSteps ? Failure(Async::kCycleFinished) : Common::Error(); },
        &probe);
    CyclicSequence sequence;
    sequence.Add(step);
    RecordingHandler handler;
    sequence.Perform(handler);
    EXPECT_EQ(step->runs.load(), kSteps);
    EXPECT_TRUE(handler.Last().IsEmpty());
    EXPECT_LT(probe.Deepest(), kFlatStack);
}

// With a service, every synchronous step arms its metronome listener; each is stopped as soon as
// the step returns, so the run does not wait a beat per step.
TEST(ActionSequence, AMillionSynchronousStepsWithTheMetronomeArmedOnEach) {
    AsyncService::ScopedAsyncService service(AsyncService::ServiceOptions{2, 0});
    StackProbe probe;
    constexpr int kSteps = 1000000;
    auto step = std::make_shared<SynchronousAction>(
        [](int run) { return run == kSteps ? Failure(Async::kCycleFinished) : Common::Error(); },
        &probe);
    CyclicSequence sequence;
    sequence.Add(step);
    RecordingHandler handler;
    const auto started = std::chrono::steady_clock::now();
    const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
    handler.Wait();  // a step that took a beat has moved the loop to a service thread
    const auto elapsed = std::chrono::steady_clock::now() - started;
    // A beat per step would take 60,000 s; the bound leaves room for slow sanitizer builds.
    EXPECT_EQ(step->runs.load(), kSteps);
    EXPECT_TRUE(handler.Last().IsEmpty());
    EXPECT_LT(probe.Deepest(), kFlatStack);
    EXPECT_LT(elapsed, std::chrono::seconds(200));
}

}  // namespace
