#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <mutex>
#include <thread>
#include <vector>

#include "core/common/trace.h"
#include "core/common/win/event.h"
#include "platform/async_service/tests/task_support.h"
#include "platform/async_service/thread_pool.h"

namespace {

using AsyncService::ThreadPool;
using AsyncServiceTest::AssertionTexts;
using AsyncServiceTest::Record;
using AsyncServiceTest::TaskRecord;
using Common::Event;

Event ManualEvent() {
    return Event(Event::ResetMode::Manual, false);
}

TEST(ThreadPool, OneWorkerRunsTasksInSubmissionOrder) {
    ThreadPool pool(1, 0);
    std::vector<int> order;  // written by the one worker only
    Event done(Event::ResetMode::Manual, false);
    constexpr int kTasks = 50;
    std::vector<TaskRecord> records(kTasks);
    for (int i = 0; i < kTasks; ++i) {
        pool.Submit(Record(records[i], [&, i] {
            order.push_back(i);
            if (i == kTasks - 1) {
                done.Set();
            }
        }));
    }
    done.Wait();
    ASSERT_EQ(order.size(), size_t{kTasks});
    for (int i = 0; i < kTasks; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(records[i].runs.load(), 1);
        EXPECT_NE(records[i].thread, std::this_thread::get_id());
    }
}

TEST(ThreadPool, TasksFromManyThreadsEachRunOnce) {
    ThreadPool pool(3, 0);
    constexpr int kThreads = 4;
    constexpr int kTasksPerThread = 500;
    std::vector<TaskRecord> records(kThreads * kTasksPerThread);
    std::latch finished(kThreads * kTasksPerThread);
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kTasksPerThread; ++i) {
                pool.Submit(Record(records[t * kTasksPerThread + i], [&] {
                    EXPECT_TRUE(pool.IsWorkerThread());
                    finished.count_down();
                }));
            }
        });
    }
    for (std::thread& submitter : submitters) {
        submitter.join();
    }
    finished.wait();
    for (const TaskRecord& record : records) {
        EXPECT_EQ(record.runs.load(), 1);
        EXPECT_EQ(record.abandons.load(), 0);
    }
    EXPECT_FALSE(pool.IsWorkerThread());
}

// Both workers block, each waiting for a task that only a free worker can run.
TEST(ThreadPool, BlockedWorkersGetStandInsSoTheWorkTheyWaitForRuns) {
    ThreadPool pool(2, 2);
    std::latch bothBusy(2);
    std::atomic<uint32_t> mostWorkersSeenByInner{0};
    std::vector<TaskRecord> outer(2), inner(2);
    Event outerDone[2] = {ManualEvent(), ManualEvent()};
    for (int i = 0; i < 2; ++i) {
        pool.Submit(Record(outer[i], [&, i] {
            bothBusy.arrive_and_wait();  // neither worker is free from here on
            Event innerDone(Event::ResetMode::Manual, false);
            pool.Submit(Record(inner[i], [&] {
                const uint32_t seen = pool.WorkerCount();
                uint32_t most = mostWorkersSeenByInner.load();
                while (seen > most && !mostWorkersSeenByInner.compare_exchange_weak(most, seen)) {
                }
                innerDone.Set();
            }));
            pool.BeginBlockingWait();
            innerDone.Wait();
            pool.EndBlockingWait();
            outerDone[i].Set();
        }));
    }
    outerDone[0].Wait();
    outerDone[1].Wait();
    EXPECT_EQ(inner[0].runs.load(), 1);
    EXPECT_EQ(inner[1].runs.load(), 1);
    // The first inner task to run cannot run on a base worker: both wait for their inner task.
    EXPECT_GE(mostWorkersSeenByInner.load(), 3u);
    EXPECT_LE(pool.WorkerCount(), 4u);
}

TEST(ThreadPool, StandInsAreBoundedAndQueuedWorkWaitsForAFreeWorker) {
    ThreadPool pool(1, 1);
    Event releaseFirst = ManualEvent(), releaseSecond = ManualEvent();
    Event secondBlocked = ManualEvent(), lastRan = ManualEvent();
    TaskRecord first, second, last;
    pool.Submit(Record(first, [&] {
        pool.BeginBlockingWait();
        releaseFirst.Wait();
        pool.EndBlockingWait();
    }));
    pool.Submit(Record(second, [&] {  // runs on the stand-in
        pool.BeginBlockingWait();
        secondBlocked.Set();
        releaseSecond.Wait();
        pool.EndBlockingWait();
    }));
    secondBlocked.Wait();
    EXPECT_EQ(pool.WorkerCount(), 2u);  // the base worker and one stand-in, no more
    pool.Submit(Record(last, [&] { lastRan.Set(); }));
    releaseFirst.Set();  // the first worker comes back and takes the queued task
    lastRan.Wait();
    EXPECT_EQ(last.runs.load(), 1);
    releaseSecond.Set();
    pool.Stop();
    EXPECT_EQ(pool.WorkerCount(), 0u);
}

TEST(ThreadPool, BlockingOutsideThePoolStartsNoWorker) {
    ThreadPool pool(1, 4);
    pool.BeginBlockingWait();
    EXPECT_EQ(pool.WorkerCount(), 1u);
    pool.EndBlockingWait();
    pool.EndBlockingWait();  // unmatched: ignored
    EXPECT_EQ(pool.WorkerCount(), 1u);
}

TEST(ThreadPool, NestedBlockingWaitsCountOnce) {
    ThreadPool pool(1, 4);
    Event done = ManualEvent();
    uint32_t during = 0;
    TaskRecord record;
    pool.Submit(Record(record, [&] {
        pool.BeginBlockingWait();
        pool.BeginBlockingWait();
        during = pool.WorkerCount();
        pool.EndBlockingWait();
        pool.EndBlockingWait();
        done.Set();
    }));
    done.Wait();
    EXPECT_EQ(during, 2u);
}

// Stop abandons what is queued before it waits for what runs: the running task here waits for
// the last queued task to be abandoned.
TEST(ThreadPool, StopAbandonsQueuedTasksThenJoinsRunningOnes) {
    ThreadPool pool(1, 0);
    Event running = ManualEvent(), allAbandoned = ManualEvent();
    TaskRecord blocker, lateSubmission;
    std::thread::id blockerThread;
    pool.Submit(Record(blocker, [&] {
        blockerThread = std::this_thread::get_id();
        running.Set();
        allAbandoned.Wait();
        pool.Submit(Record(lateSubmission));  // the pool is stopping: abandoned right here
    }));
    running.Wait();
    constexpr int kQueued = 3;
    std::vector<TaskRecord> queued(kQueued);
    std::vector<int> abandonOrder;
    for (int i = 0; i < kQueued; ++i) {
        pool.Submit(Record(queued[i], [&, i] {
            abandonOrder.push_back(i);
            if (i == kQueued - 1) {
                allAbandoned.Set();
            }
        }));
    }
    pool.Stop();
    EXPECT_EQ(blocker.runs.load(), 1);
    for (int i = 0; i < kQueued; ++i) {
        EXPECT_EQ(queued[i].runs.load(), 0);
        EXPECT_EQ(queued[i].abandons.load(), 1);
        EXPECT_EQ(queued[i].thread, std::this_thread::get_id());
    }
    EXPECT_EQ(abandonOrder, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(lateSubmission.abandons.load(), 1);
    EXPECT_EQ(lateSubmission.thread, blockerThread);

    TaskRecord afterStop;
    pool.Submit(Record(afterStop));
    EXPECT_EQ(afterStop.abandons.load(), 1);
    EXPECT_EQ(afterStop.thread, std::this_thread::get_id());
    pool.Stop();  // a second stop does nothing
}

TEST(ThreadPool, StoppingFromAWorkerIsRefused) {
    auto texts = std::make_shared<AssertionTexts>();
    const auto previous = Common::SetTracer(texts);
    {
        ThreadPool pool(1, 0);
        Event done = ManualEvent();
        TaskRecord record;
        pool.Submit(Record(record, [&] {
            pool.Stop();
            done.Set();
        }));
        done.Wait();
    }  // stopped here, from the test's thread
    Common::SetTracer(previous);
    EXPECT_EQ(texts->Count(u"stopped from one of its own threads"), 1);
}

}  // namespace
