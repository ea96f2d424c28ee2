#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <latch>
#include <memory>
#include <optional>
#include <random>
#include <thread>

#include "enterprise/common/async/action_sequence.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/metronome_beat.h"
#include "enterprise/common/async/metronome_listener.h"
#include "enterprise/common/async/tests/async_support.h"
#include "enterprise/common/async/waiting_handler.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::JobControl;
using AsyncService::ScopedAsyncService;
using AsyncService::ServiceOptions;
using AsyncTest::Failure;
using AsyncTest::OnServiceThread;
using AsyncTest::RecordingHandler;
using Common::Event;

void Spin(uint32_t rounds) {
    std::atomic<uint32_t> counter{0};
    while (counter.fetch_add(1, std::memory_order_relaxed) < rounds) {
    }
}

// A synchronous call: runs `action` and blocks until its result.
Common::Error RunAndWait(Async::Action& action) {
    JobControl control;
    Async::Synchronizer synchronizer;
    control.Run(action, &synchronizer);
    return synchronizer.Wait();
}

// Run, Cancel and the completion race on three threads: one fitting result per run.
TEST(JobControlThreads, RunCancelAndCompletionRace) {
    std::mt19937 random(20240611);
    AsyncTest::ScopedTraceCapture trace;
    JobControl control;
    RecordingHandler handler;
    for (int run = 0; run < 2000; ++run) {
        AsyncTest::ManualAction action;
        Event performed(Event::ResetMode::Manual, false);
        const uint32_t linger = random() % 200, cancelDelay = random() % 400,
                       completeDelay = random() % 400;
        const Common::Error result = random() % 2 ? Common::Error() : Async::CanceledError();
        const bool cancelRacing = random() % 4 != 0;
        std::atomic<bool> claimed{false};
        const auto complete = [&](const Common::Error& error) {
            if (!claimed.exchange(true))
                action.job->Complete(error);
        };
        action.during = [&](AsyncTest::ManualJob&) {
            performed.Set();
            Spin(linger);
        };
        if (random() % 2 == 0)
            action.onCancel = [&](AsyncTest::ManualJob&) { complete(Async::CanceledError()); };
        if (random() % 10 == 0)
            control.Cancel();
        const bool pending = control.State() == JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL;
        std::latch start(3);
        std::thread completer([&] {
            start.arrive_and_wait();
            performed.Wait();
            Spin(completeDelay);
            if (action.job != nullptr)
                complete(result);
        });
        std::thread canceler([&] {
            start.arrive_and_wait();
            Spin(cancelDelay);
            if (cancelRacing)
                control.Cancel();
        });
        start.arrive_and_wait();
        const int callsBefore = handler.Calls();
        control.Run(action, &handler);
        performed.Set();  // releases the completer when Run did not perform
        handler.Wait();
        completer.join();
        canceler.join();
        ASSERT_EQ(handler.Calls(), callsBefore + 1) << run;
        const uint32_t heard = handler.Last().Code(), state = control.State();
        ASSERT_TRUE(action.performs == 0 ? pending || cancelRacing
                                         : heard == result.Code() || heard == Common::kCanceled);
        ASSERT_TRUE(state == JobControl::STATE_BEGIN ||
                    (state == JobControl::STATE_CANCEL_SCHEDULED_WAIT_ALL && cancelRacing))
            << run << state;
    }
    // Outcome counts are not asserted: a loaded machine may never schedule a kept cancel.
    EXPECT_EQ(trace.Assertions(), 0u);
}

// The handler owns the control and destroys it: nothing may touch the control afterwards.
TEST(JobControlThreads, TheHandlerMayDestroyTheControl) {
    auto control = std::make_unique<JobControl>();
    RecordingHandler handler;
    handler.then = [&](const Common::Error&) { control.reset(); };
    AsyncTest::ManualAction action;
    control->Run(action, &handler);
    std::thread completer([&] { action.job->Complete(Common::Error()); });
    handler.Wait();
    completer.join();
}

std::shared_ptr<Async::Action> Beat(const Async::MetronomeBeat& beat) {
    return Async::MakeAction([&beat](Async::ActionHandler& h) { return beat.Next(h); });
}

// The shutdown ends queued work and beats before it joins the running work, which waits for them.
TEST(ServiceJobs, CancelAndShutdownEndWorkNotStartedAndWaitingBeats) {
    JobControl blocker, queued[2], beats[2];
    RecordingHandler blockerHandler, queuedHandlers[2], beatHandlers[2];
    std::atomic<int> queuedRuns{0};
    std::latch shutdownEnded(2);
    queuedHandlers[1].then =
        beatHandlers[1].then = [&](const Common::Error&) { shutdownEnded.count_down(); };
    {
        ScopedAsyncService service(ServiceOptions{1, 0});
        const auto started = std::chrono::steady_clock::now();
        EXPECT_TRUE(RunAndWait(*Beat(Async::MetronomeBeat(60))).IsEmpty());
        EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(60));
        Event running(Event::ResetMode::Manual, false);
        blocker.Run(*OnServiceThread([&] {
            running.Set();
            shutdownEnded.wait();
        }),
                    &blockerHandler);
        running.Wait();
        const Async::MetronomeBeat hour(3600 * 1000);
        for (int i = 0; i < 2; ++i) {
            queued[i].Run(*OnServiceThread([&] { ++queuedRuns; }), &queuedHandlers[i]);
            beats[i].Run(*Beat(hour), &beatHandlers[i]);
        }
        queued[0].Cancel();
        beats[0].Cancel();
        EXPECT_EQ(queuedHandlers[0].Calls() + beatHandlers[0].Calls(), 2);
    }
    EXPECT_TRUE(blockerHandler.Last().IsEmpty());
    for (RecordingHandler* handler :
         {&queuedHandlers[0], &queuedHandlers[1], &beatHandlers[0], &beatHandlers[1]}) {
        EXPECT_EQ(handler->Results().size(), 1u);
        EXPECT_EQ(handler->Last().Code(), Common::kCanceled);
    }
    EXPECT_EQ(queuedRuns.load(), 0);
}

// The waits announce themselves, so the blocked workers get stand-ins.
TEST(ServiceJobs, HandlersOnEveryWorkerMayMakeSynchronousCalls) {
    ScopedAsyncService service(ServiceOptions{2, 2});
    std::latch bothOnThePool(2);
    Event bothRunning(Event::ResetMode::Manual, false);
    const auto outer = OnServiceThread([&] { bothRunning.Wait(); });
    JobControl controls[2];
    RecordingHandler handlers[2];
    std::atomic<uint32_t> inner{0};
    for (int i = 0; i < 2; ++i) {
        handlers[i].then = [&](const Common::Error&) {
            bothOnThePool.arrive_and_wait();  // both workers are taken from here on
            inner += RunAndWait(*OnServiceThread([] { throw Failure(0x41); })).Code();
        };
        controls[i].Run(*outer, &handlers[i]);
    }
    bothRunning.Set();
    handlers[0].Wait();
    handlers[1].Wait();
    EXPECT_EQ(inner.load(), 0x82u);
}

class FunctionListener : public Async::MetronomeListener {
  public:
    explicit FunctionListener(std::function<void()> onTick) : onTick_(std::move(onTick)) {}
    ~FunctionListener() override { Stop(); }

  private:
    void OnTick() override { onTick_(); }
    const std::function<void()> onTick_;
};

// Without a service no beat comes; a tick under way may throw (the job control traces it).
TEST(MetronomeListener, StopEndsTheWaitOrWaitsForATickUnderWay) {
    const Async::MetronomeBeat never(3600 * 1000), shortBeat(1);
    AsyncTest::ScopedTraceCapture trace;
    std::optional<ScopedAsyncService> service;
    std::atomic<int> ticks{0};
    for (int round = 0; round < 2; ++round) {
        FunctionListener listener([&] { ++ticks; });
        listener.Stop();  // never started: returns at once
        EXPECT_TRUE(listener.Start(never));
        listener.Stop();
        service.emplace(ServiceOptions{1, 0});
    }
    EXPECT_EQ(ticks.load(), 0);
    Event inTick(Event::ResetMode::Manual, false), release(Event::ResetMode::Manual, false);
    FunctionListener listener([&] {
        inTick.Set();
        release.Wait();
        ++ticks;
        throw Failure(0xA1);
    });
    listener.Start(shortBeat);
    inTick.Wait();
    std::thread releaser([&] { release.Set(); });
    listener.Stop();
    EXPECT_EQ(ticks.load(), 1);
    releaser.join();
    listener.Stop();  // fired already: returns at once
    EXPECT_EQ(trace.Assertions(), 0u);
}

// The first step's released job waits for the second step: without a fork the test hangs.
TEST(TailRecursion, AStepWaitingForTheNextStepOfItsSequenceIsFreedByAFork) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    for (const bool withPass : {true, false}) {
        Async::WaitingHandler secondRan(false);
        Event secondRanPlain(Event::ResetMode::Manual, false);
        Async::ActionSequence sequence;
        sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
            // The wait's result is the second step's success, which the handler hears too.
            return AsyncTest::CompleteWithReleaseHook(handler, [&] {
                if (withPass)
                    secondRan.Wait().Ignore();
                else
                    secondRanPlain.Wait();
            });
        }));
        sequence.Add(AsyncTest::Synchronous([&] {
            secondRan.Completed(Common::Error());
            secondRanPlain.Set();
            return Common::Error();
        }));
        RecordingHandler handler;
        const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
        handler.Wait();
        EXPECT_TRUE(handler.Last().IsEmpty());
    }
}

}  // namespace
