#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "core/common/win/event.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/action_sequence.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/synchronization_callback.h"
#include "enterprise/common/async/tests/job_support.h"
#include "enterprise/common/async/tests/sequence_support.h"
#include "enterprise/common/async/waiting_handler.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::ActionSequence;
using AsyncService::ScopedAsyncService;
using AsyncService::ServiceOptions;
using AsyncTest::CompleteWithReleaseHook;
using AsyncTest::Failure;
using AsyncTest::OnServiceThread;
using AsyncTest::RecordingHandler;

class CyclicSequence : public ActionSequence {
  public:
    bool IsCyclic() const override { return true; }
};

// The thread a step ran on.
struct StepThread {
    std::mutex lock;
    std::thread::id id;

    void Note() {
        std::lock_guard<std::mutex> hold(lock);
        id = std::this_thread::get_id();
    }
    std::thread::id Get() {
        std::lock_guard<std::mutex> hold(lock);
        return id;
    }
};

// The first step's job, let go on the loop's thread just after the step ended, waits in a
// waiting handler for the second step. Only the fork can run that step: the loop's thread is
// the one waiting.
TEST(TailRecursion, AStepWaitingForTheNextStepOfItsSequenceIsFreedByTheFork) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    Async::WaitingHandler secondRan(false);
    StepThread second;
    ActionSequence sequence;
    sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
        return CompleteWithReleaseHook(handler, [&] { EXPECT_TRUE(secondRan.Wait().IsEmpty()); });
    }));
    sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
        second.Note();
        secondRan.Completed(Common::Error());
        return Async::AlreadyCompletedJob(handler);
    }));
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
    handler.Wait();
    EXPECT_TRUE(handler.Last().IsEmpty());
    EXPECT_NE(second.Get(), std::this_thread::get_id());
}

// The same wait on a plain event runs no synchronisation pass; the loop moves when the beat of
// the metronome listener, armed by the synchronous first step, comes.
TEST(TailRecursion, AThreadThatBlocksWithoutAPassLosesTheLoopAtTheBeat) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    Common::Event secondRan(Common::Event::ResetMode::Manual, false);
    StepThread second;
    ActionSequence sequence;
    sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
        return CompleteWithReleaseHook(handler, [&] { secondRan.Wait(); });
    }));
    sequence.Add(Async::MakeAction([&](Async::ActionHandler& handler) {
        second.Note();
        secondRan.Set();
        return Async::AlreadyCompletedJob(handler);
    }));
    RecordingHandler handler;
    const std::shared_ptr<Async::Job> job = sequence.Perform(handler);
    handler.Wait();
    EXPECT_TRUE(handler.Last().IsEmpty());
    EXPECT_NE(second.Get(), std::this_thread::get_id());
}

// Steps completing on service threads, mixed with synchronous ones: every step runs exactly once
// and in order, whichever thread runs the loop.
TEST(TailRecursion, StepsCompletingOnServiceThreadsRunOnceEachInOrder) {
    ScopedAsyncService service(ServiceOptions{3, 0});
    constexpr int kRounds = 2000;
    std::atomic<int> next{0};
    std::atomic<int> outOfOrder{0};
    auto expect = [&](int parity) {
        const int seen = next.fetch_add(1);
        if (seen % 2 != parity) {
            outOfOrder.fetch_add(1);
        }
        return seen + 1 == 2 * kRounds ? Failure(Async::kCycleFinished) : Common::Error();
    };
    CyclicSequence sequence;
    sequence.Add(OnServiceThread([&] { return expect(0); }));
    sequence.Add(std::make_shared<AsyncTest::SynchronousAction>([&](int) { return expect(1); }));
    Async::Synchronizer synchronizer;
    const std::shared_ptr<Async::Job> job = sequence.Perform(synchronizer);
    EXPECT_TRUE(synchronizer.Wait().IsEmpty());
    EXPECT_EQ(next.load(), 2 * kRounds);
    EXPECT_EQ(outOfOrder.load(), 0);
}

// A callback of the waiting thread moves the operation it waits for to the service: the wait
// returns with the operation's result.
TEST(Synchronizer, ACallbackMayHandTheAwaitedWorkToTheService) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    Async::Synchronizer synchronizer;
    Async::JobControl control;
    auto work = OnServiceThread([] { return Failure(0x8181); });

    class StartOnWait : public Async::ScopedSynchronizationCallback {
      public:
        StartOnWait(Async::JobControl& control, Async::Action& action, Async::ActionHandler& h)
            : control_(control), action_(action), handler_(h) {}
        bool Synchronize(Async::SynchronizationContext) override {
            control_.Run(action_, &handler_);
            return true;
        }

      private:
        Async::JobControl& control_;
        Async::Action& action_;
        Async::ActionHandler& handler_;
    } startOnWait(control, *work, synchronizer);

    EXPECT_EQ(synchronizer.Wait().Code(), 0x8181u);
}

TEST(Synchronizer, WaitsForACompletionFromAServiceThreadWithNoCallbacks) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    ASSERT_EQ(Async::CurrentSynchronizationCallbackStorage()->Top(), nullptr);
    for (int i = 0; i < 200; ++i) {
        Async::JobControl control;
        Async::Synchronizer synchronizer;
        auto work = OnServiceThread([i] { return i % 2 ? Failure(0x8282) : Common::Error(); });
        control.Run(*work, &synchronizer);
        EXPECT_EQ(synchronizer.Wait().Code(), i % 2 ? 0x8282u : 0u);
    }
}

}  // namespace
