#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "core/async_service_api/async_service.h"
#include "core/common/win/event.h"
#include "enterprise/common/async/action_adaptors.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/metronome_beat.h"
#include "enterprise/common/async/tests/job_support.h"
#include "enterprise/common/async/work.h"
#include "platform/async_service/platform_service.h"

namespace {

using Async::JobControl;
using AsyncService::ScopedAsyncService;
using AsyncService::ServiceOptions;
using AsyncTest::RecordingHandler;
using Common::Event;

// Work that runs a function; counts its runs.
class FunctionWork : public Async::Work {
  public:
    explicit FunctionWork(std::function<Common::Error()> function)
        : function_(std::move(function)) {}
    Common::Error Execute() override {
        executions.fetch_add(1);
        return function_();
    }
    std::atomic<int> executions{0};

  private:
    const std::function<Common::Error()> function_;
};

std::shared_ptr<FunctionWork> MakeWork(std::function<Common::Error()> function) {
    return std::make_shared<FunctionWork>(std::move(function));
}

std::shared_ptr<Async::Action> WorkAction(std::shared_ptr<Async::Work> work) {
    return Async::MakeAction(
        [work](Async::ActionHandler& handler) { return Async::ExecuteWork(work, handler); });
}

// A synchronous call: runs `action` and blocks until its result, announcing the wait.
Common::Error RunAndWait(Async::Action& action) {
    JobControl control;
    RecordingHandler handler;
    control.Run(action, &handler);
    AsyncService::ScopedBlockingWait blocking;
    handler.Wait();
    return handler.Last();
}

TEST(ExecuteWork, RunsOnAServiceThreadAndReportsWhatItReturns) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    std::thread::id ranOn;
    auto work = MakeWork([&] {
        ranOn = std::this_thread::get_id();
        return Common::Error(COMMON_PLACE("Test::Work"), 0x3131);
    });
    const Common::Error result = RunAndWait(*WorkAction(work));
    EXPECT_EQ(result.Code(), 0x3131u);
    EXPECT_NE(ranOn, std::this_thread::get_id());
    EXPECT_EQ(work->executions.load(), 1);
}

TEST(ExecuteWork, AThrownErrorIsTheResult) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    auto work = MakeWork(
        []() -> Common::Error { throw Common::Error(COMMON_PLACE("Test::Work"), 0x3232); });
    EXPECT_EQ(RunAndWait(*WorkAction(work)).Code(), 0x3232u);
}

TEST(ExecuteWork, WithoutAServiceTheWorkRunsAtOnceOnTheCallingThread) {
    ASSERT_EQ(AsyncService::GetAsyncService(), nullptr);
    std::thread::id ranOn;
    auto work = MakeWork([&] {
        ranOn = std::this_thread::get_id();
        return Common::Error();
    });
    RecordingHandler handler;
    const auto job = Async::ExecuteWork(work, handler);
    EXPECT_EQ(handler.Calls(), 1);
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    job->Cancel();
    EXPECT_EQ(handler.Calls(), 1);
}

TEST(ExecuteWork, CancelBeforeTheWorkStartsEndsAtOnceWithoutRunningIt) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    Event blockerRunning(Event::ResetMode::Manual, false), release(Event::ResetMode::Manual, false);
    auto blocker = MakeWork([&] {
        blockerRunning.Set();
        release.Wait();
        return Common::Error();
    });
    JobControl blockerControl, queuedControl;
    RecordingHandler blockerHandler, queuedHandler;
    blockerControl.Run(*WorkAction(blocker), &blockerHandler);
    blockerRunning.Wait();
    auto queued = MakeWork([] { return Common::Error(); });
    queuedControl.Run(*WorkAction(queued), &queuedHandler);
    queuedControl.Cancel();
    ASSERT_EQ(queuedHandler.Calls(), 1);  // at once, on this thread
    EXPECT_EQ(queuedHandler.Last().Code(), Common::kCanceled);
    EXPECT_EQ(queuedHandler.Thread(), std::this_thread::get_id());
    EXPECT_EQ(queuedControl.State(), JobControl::STATE_BEGIN);
    release.Set();
    blockerHandler.Wait();
    // The pool has run everything queued before the blocker's result came: the canceled work
    // was skipped, not run.
    EXPECT_TRUE(RunAndWait(*WorkAction(MakeWork([] { return Common::Error(); }))).IsEmpty());
    EXPECT_EQ(queued->executions.load(), 0);
}

TEST(MetronomeBeat, ABeatCompletesAfterItsPeriod) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    const Async::MetronomeBeat beat(60);
    const auto action =
        Async::MakeAction([&](Async::ActionHandler& handler) { return beat.Next(handler); });
    const auto start = std::chrono::steady_clock::now();
    JobControl control;
    RecordingHandler handler;
    control.Run(*action, &handler);
    handler.Wait();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_TRUE(handler.Last().IsEmpty());
}

TEST(MetronomeBeat, CancelingABeatEndsItAtOnceWithTheCanceledError) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    const Async::MetronomeBeat beat(60);
    const auto action =
        Async::MakeAction([&](Async::ActionHandler& handler) { return beat.Next(handler); });
    JobControl control;
    RecordingHandler handler;
    control.Run(*action, &handler);
    control.Cancel();
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_EQ(handler.Last().Code(), Common::kCanceled);
    EXPECT_EQ(handler.Thread(), std::this_thread::get_id());
    EXPECT_EQ(control.State(), JobControl::STATE_BEGIN);
}

TEST(MetronomeBeat, WithoutAServiceThereAreNoBeats) {
    ASSERT_EQ(AsyncService::GetAsyncService(), nullptr);
    RecordingHandler handler;
    Async::MetronomeBeat(60).Next(handler);
    ASSERT_EQ(handler.Calls(), 1);
    EXPECT_EQ(handler.Last().Code(), Common::kCanceled);
}

// Work still queued, and a beat still waiting, when the service shuts down end with the canceled
// error before the running work is joined: the running work waits for the last of them here.
TEST(ServiceShutdown, QueuedWorkAndWaitingBeatsEndCanceled) {
    constexpr int kQueued = 3;
    JobControl blockerControl, beatControl;
    JobControl queuedControls[kQueued];
    RecordingHandler blockerHandler, beatHandler;
    RecordingHandler queuedHandlers[kQueued];
    std::shared_ptr<FunctionWork> queued[kQueued];
    Event blockerRunning(Event::ResetMode::Manual, false);
    std::latch allCanceled(kQueued);
    const Async::MetronomeBeat beat(60000);
    {
        ScopedAsyncService service(ServiceOptions{1, 0});
        auto blocker = MakeWork([&] {
            blockerRunning.Set();
            allCanceled.wait();
            return Common::Error();
        });
        blockerControl.Run(*WorkAction(blocker), &blockerHandler);
        blockerRunning.Wait();
        for (int i = 0; i < kQueued; ++i) {
            queued[i] = MakeWork([] { return Common::Error(); });
            queuedHandlers[i].then = [&](const Common::Error&) { allCanceled.count_down(); };
            queuedControls[i].Run(*WorkAction(queued[i]), &queuedHandlers[i]);
        }
        const auto beatAction =
            Async::MakeAction([&](Async::ActionHandler& handler) { return beat.Next(handler); });
        beatControl.Run(*beatAction, &beatHandler);
    }
    EXPECT_TRUE(blockerHandler.Last().IsEmpty());
    for (int i = 0; i < kQueued; ++i) {
        ASSERT_EQ(queuedHandlers[i].Calls(), 1);
        EXPECT_EQ(queuedHandlers[i].Last().Code(), Common::kCanceled);
        EXPECT_EQ(queuedHandlers[i].Thread(), std::this_thread::get_id());
        EXPECT_EQ(queued[i]->executions.load(), 0);
    }
    ASSERT_EQ(beatHandler.Calls(), 1);
    EXPECT_EQ(beatHandler.Last().Code(), Common::kCanceled);
    EXPECT_EQ(AsyncService::GetAsyncService(), nullptr);
}

// Two handlers on the pool's only two workers each make a synchronous call that needs a worker:
// the blocked workers get stand-ins and both calls finish.
TEST(PoolStarvation, TwoHandlersOnThePoolEachMakeASynchronousCall) {
    ScopedAsyncService service(ServiceOptions{2, 2});
    std::latch bothOnThePool(2);
    struct CallingHandler : public Async::ActionHandler {
        void Completed(const Common::Error&) override {
            onPool = service->Get().Pool().IsWorkerThread();
            bothOnThePool->arrive_and_wait();  // both workers are taken from here on
            inner = RunAndWait(*WorkAction(
                MakeWork([] { return Common::Error(COMMON_PLACE("Test::Inner"), 0x4141); })));
            done.Set();
        }
        ScopedAsyncService* service = nullptr;
        std::latch* bothOnThePool = nullptr;
        bool onPool = false;
        Common::Error inner;
        Event done{Event::ResetMode::Manual, false};
    };
    CallingHandler handlers[2];
    JobControl controls[2];
    // The outer work ends only once both runs are under way, so that each run finishes, and
    // calls its handler, on the pool thread that completes it.
    Event bothRunning(Event::ResetMode::Manual, false);
    const auto outer = WorkAction(MakeWork([&] {
        bothRunning.Wait();
        return Common::Error();
    }));
    for (int i = 0; i < 2; ++i) {
        handlers[i].service = &service;
        handlers[i].bothOnThePool = &bothOnThePool;
        controls[i].Run(*outer, &handlers[i]);
    }
    bothRunning.Set();
    for (CallingHandler& handler : handlers) {
        handler.done.Wait();
        EXPECT_TRUE(handler.onPool);
        EXPECT_EQ(handler.inner.Code(), 0x4141u);
    }
}

}  // namespace
