#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/common/win/event.h"
#include "platform/async_service/metronome.h"
#include "platform/async_service/tests/task_support.h"

namespace {

using AsyncService::Metronome;
using AsyncService::ThreadPool;
using AsyncServiceTest::Record;
using AsyncServiceTest::TaskRecord;
using Common::Event;
using std::chrono::milliseconds;

TEST(Metronome, ATaskRunsOnThePoolOnceItsDelayHasPassed) {
    ThreadPool pool(1, 0);
    Metronome metronome(pool);
    Event ran(Event::ResetMode::Manual, false);
    TaskRecord record;
    bool onPool = false;
    std::chrono::steady_clock::duration elapsed{};
    const auto start = std::chrono::steady_clock::now();
    auto handle = metronome.Schedule(milliseconds(60), Record(record, [&] {
                                         elapsed = std::chrono::steady_clock::now() - start;
                                         onPool = pool.IsWorkerThread();
                                         ran.Set();
                                     }));
    ASSERT_NE(handle, nullptr);
    ran.Wait();
    EXPECT_GE(elapsed, milliseconds(60));
    EXPECT_TRUE(onPool);
    EXPECT_EQ(record.runs.load(), 1);
    EXPECT_FALSE(handle->Cancel());  // too late: it ran
    EXPECT_EQ(record.Calls(), 1);
}

TEST(Metronome, TasksRunInTheOrderTheirTimesCome) {
    ThreadPool pool(1, 0);
    Metronome metronome(pool);
    std::vector<int> order;  // written by the one worker
    Event last(Event::ResetMode::Manual, false);
    TaskRecord records[3];
    const int delays[3] = {30, 10, 20};
    std::vector<std::shared_ptr<AsyncService::TimerHandle>> handles;
    for (int i = 0; i < 3; ++i) {
        handles.push_back(metronome.Schedule(milliseconds(delays[i]), Record(records[i], [&, i] {
                                                 order.push_back(delays[i]);
                                                 if (delays[i] == 30) {
                                                     last.Set();
                                                 }
                                             })));
    }
    last.Wait();
    EXPECT_EQ(order, (std::vector<int>{10, 20, 30}));
}

TEST(Metronome, CancelBeforeTheTimeAbandonsAtOnceOnTheCancelingThread) {
    ThreadPool pool(1, 0);
    Metronome metronome(pool);
    TaskRecord record;
    auto handle = metronome.Schedule(std::chrono::hours(1), Record(record));
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(handle->Cancel());
    EXPECT_EQ(record.abandons.load(), 1);
    EXPECT_EQ(record.thread, std::this_thread::get_id());
    EXPECT_FALSE(handle->Cancel());
    metronome.Stop();
    EXPECT_EQ(record.Calls(), 1);
}

TEST(Metronome, StopAbandonsWaitingTasksAndLaterOnesAtOnce) {
    ThreadPool pool(1, 0);
    auto metronome = std::make_unique<Metronome>(pool);
    TaskRecord waiting[2], rescheduled, late;
    // Abandoning the first task schedules again: that one is abandoned at once too.
    auto first = metronome->Schedule(
        std::chrono::hours(1), Record(waiting[0], [&] {
            EXPECT_EQ(metronome->Schedule(milliseconds(1), Record(rescheduled)), nullptr);
        }));
    auto second = metronome->Schedule(std::chrono::hours(2), Record(waiting[1]));
    metronome->Stop();
    for (const TaskRecord& record : waiting) {
        EXPECT_EQ(record.abandons.load(), 1);
        EXPECT_EQ(record.thread, std::this_thread::get_id());
    }
    EXPECT_EQ(rescheduled.abandons.load(), 1);
    EXPECT_EQ(metronome->Schedule(milliseconds(1), Record(late)), nullptr);
    EXPECT_EQ(late.abandons.load(), 1);
    metronome.reset();
    EXPECT_FALSE(first->Cancel());  // the handle outlives the metronome
    EXPECT_FALSE(second->Cancel());
}

// Timers come due while other threads cancel them: every task gets exactly one call.
TEST(Metronome, CancelRacingTheTimeGivesEachTaskOneCall) {
    ThreadPool pool(2, 0);
    Metronome metronome(pool);
    constexpr int kThreads = 3;
    constexpr int kTasksPerThread = 300;
    std::vector<TaskRecord> records(kThreads * kTasksPerThread);
    std::latch called(kThreads * kTasksPerThread);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::minstd_rand random(t + 1);
            for (int i = 0; i < kTasksPerThread; ++i) {
                TaskRecord& record = records[t * kTasksPerThread + i];
                auto handle = metronome.Schedule(milliseconds(random() % 3),
                                                 Record(record, [&] { called.count_down(); }));
                if (random() % 2 == 0) {
                    handle->Cancel();
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    called.wait();
    for (const TaskRecord& record : records) {
        EXPECT_EQ(record.Calls(), 1);
    }
}

}  // namespace
