#include "platform/ipc_client/worker_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

namespace {

// A task that arrives while the one idle thread has been woken for another, blocking task must
// get a thread of its own: queued behind the blocked task, a canceled call's ending would wait
// for a component that may never let go.
TEST(WorkerPool, ATaskNeverWaitsBehindABlockedOneWhileThreadsAreLeft) {
    for (int round = 0; round < 50; ++round) {
        IPCClient::WorkerPool pool(64);
        // One thread, about to be idle.
        std::promise<void> warmed;
        ASSERT_TRUE(pool.Submit([&warmed] { warmed.set_value(); }).IsEmpty());
        warmed.get_future().wait();

        std::promise<void> unblock;
        std::shared_future<void> unblocked = unblock.get_future().share();
        std::promise<void> ran;
        ASSERT_TRUE(pool.Submit([unblocked] { unblocked.wait(); }).IsEmpty());
        ASSERT_TRUE(pool.Submit([&ran] { ran.set_value(); }).IsEmpty());
        const bool ranWhileBlocked =
            ran.get_future().wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        unblock.set_value();
        ASSERT_TRUE(ranWhileBlocked) << "round " << round;
    }
}

TEST(WorkerPool, AfterStopWorkIsRefusedAndOwnThreadsAreKnown) {
    IPCClient::WorkerPool pool(2);
    std::promise<bool> own;
    ASSERT_TRUE(pool.Submit([&] { own.set_value(pool.IsOwnThread()); }).IsEmpty());
    EXPECT_TRUE(own.get_future().get());
    EXPECT_FALSE(pool.IsOwnThread());
    pool.Stop();
    EXPECT_FALSE(pool.Submit([] {}).IsEmpty());
}

}  // namespace
