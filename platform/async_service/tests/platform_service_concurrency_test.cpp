#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/common/trace.h"
#include "core/common/win/event.h"
#include "platform/async_service/platform_service.h"
#include "platform/async_service/tests/task_support.h"

namespace {

using AsyncService::GetAsyncService;
using AsyncService::ScopedAsyncService;
using AsyncServiceTest::AssertionTexts;
using AsyncServiceTest::Record;
using AsyncServiceTest::TaskRecord;
using Common::Event;

Async::SynchronizationCallback* FakeCallback(uintptr_t value) {
    return reinterpret_cast<Async::SynchronizationCallback*>(value);
}

TEST(PlatformService, TheScopeRegistersItsServiceAndRestoresThePreviousOne) {
    EXPECT_EQ(GetAsyncService(), nullptr);
    {
        ScopedAsyncService outer(AsyncService::ServiceOptions{1, 0});
        EXPECT_EQ(GetAsyncService().get(), &outer.Get());
        {
            ScopedAsyncService inner(AsyncService::ServiceOptions{1, 0});
            EXPECT_EQ(GetAsyncService().get(), &inner.Get());
        }
        EXPECT_EQ(GetAsyncService().get(), &outer.Get());
    }
    EXPECT_EQ(GetAsyncService(), nullptr);
}

TEST(PlatformService, DefaultOptionsStartAtLeastTwoWorkers) {
    ScopedAsyncService scope;
    EXPECT_GE(scope.Get().Pool().WorkerCount(), 2u);
}

TEST(PlatformService, BlockingWaitsWithoutAServiceAreHarmless) {
    ASSERT_EQ(GetAsyncService(), nullptr);
    AsyncService::ScopedBlockingWait wait;
}

TEST(PlatformService, EachThreadHasItsOwnCallbackSlot) {
    ScopedAsyncService scope(AsyncService::ServiceOptions{1, 0});
    AsyncService::Service& service = scope.Get();
    service.SetTopSynchronizationCallback(FakeCallback(0x10));
    Async::SynchronizationCallback* seenOnWorker = FakeCallback(1);
    Event done(Event::ResetMode::Manual, false);
    TaskRecord record;
    service.Submit(Record(record, [&] {
        seenOnWorker = service.TopSynchronizationCallback();
        done.Set();
    }));
    done.Wait();
    EXPECT_EQ(seenOnWorker, nullptr);
    EXPECT_EQ(service.TopSynchronizationCallback(), FakeCallback(0x10));
    service.SetTopSynchronizationCallback(nullptr);
}

// A task that leaves a callback registered would hand a stale stack to the next task.
TEST(PlatformService, ATaskThatLeavesACallbackRegisteredIsReportedAndCleared) {
    auto texts = std::make_shared<AssertionTexts>();
    const auto previous = Common::SetTracer(texts);
    ScopedAsyncService scope(AsyncService::ServiceOptions{1, 0});
    AsyncService::Service& service = scope.Get();
    TaskRecord leaking, next;
    Async::SynchronizationCallback* seenByNext = FakeCallback(1);
    Event done(Event::ResetMode::Manual, false);
    service.Submit(
        Record(leaking, [&] { service.SetTopSynchronizationCallback(FakeCallback(8)); }));
    service.Submit(Record(next, [&] {
        seenByNext = service.TopSynchronizationCallback();
        done.Set();
    }));
    done.Wait();
    Common::SetTracer(previous);
    EXPECT_EQ(seenByNext, nullptr);
    EXPECT_EQ(texts->Count(u"A task returned with a synchronisation callback registered."), 1);
}

// The order of the scope's end: waiting timers, then queued tasks, are abandoned before the
// running task is joined; the running task waits for the last of them here.
TEST(PlatformService, ShutdownAbandonsTimersThenQueuedTasksThenJoins) {
    std::vector<std::string> order;  // appended on the test's thread only, after `running`
    TaskRecord blocker, queued, timer;
    Event running(Event::ResetMode::Manual, false),
        queuedAbandoned(Event::ResetMode::Manual, false);
    {
        ScopedAsyncService scope(AsyncService::ServiceOptions{1, 0});
        AsyncService::Service& service = scope.Get();
        service.Submit(Record(blocker, [&] {
            running.Set();
            queuedAbandoned.Wait();
        }));
        running.Wait();
        service.Submit(Record(queued, [&] {
            order.push_back("queued");
            queuedAbandoned.Set();
        }));
        EXPECT_NE(service.Schedule(std::chrono::hours(1),
                                   Record(timer, [&] { order.push_back("timer"); })),
                  nullptr);
    }
    EXPECT_EQ(order, (std::vector<std::string>{"timer", "queued"}));
    EXPECT_EQ(blocker.runs.load(), 1);
    EXPECT_EQ(queued.abandons.load(), 1);
    EXPECT_EQ(timer.abandons.load(), 1);
    EXPECT_EQ(GetAsyncService(), nullptr);
}

}  // namespace
