// The call-job contract over the in-process transport: one ending per call, on a library thread;
// cancels and Deinit end held calls at once; handlers may call again and destroy everything from
// OnFinished. The library's worker pool never queues a task behind a blocked one.

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "platform/ipc_client/in_process_transport.h"
#include "platform/ipc_client/tests/call_test_support.h"
#include "platform/ipc_client/worker_pool.h"

namespace {

using namespace IpcClientTest;

TEST(CallJobContract, StartedCallsEndOnceOnLibraryThreadsWithTheReplysOutcome) {
    Library library;
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    const struct {
        uint32_t method;
        uint32_t code;  // 0: the call succeeds
    } cases[] = {{kEcho, 0},
                 {kFail, 0x9C0100},
                 {kGarbage, 0x9C0002},
                 {kThrowStd, Binding::kIpcClientUnexpectedException},
                 {kUnknownMethod, 0xB9000C}};
    for (const auto& [method, code] : cases) {
        StartedCall call;
        Start(*accessPoint, call, method, 0x9C0100);
        EXPECT_EQ(call.handler.WaitFinished(), code == 0 ? kSucceeded : kFailed);
        EXPECT_EQ(call.handler.failure.Code(), code);
        EXPECT_EQ(call.output, code == 0 ? 0x9C0101 : -1);  // a failure leaves it as it was
    }
}

// A held started call and a run in progress end at once, canceled, by their own Cancels or by
// Deinit: the component lets go only once the started call has heard its ending, and the late
// replies are dropped unread. Objects that outlive the library fail their calls cleanly.
TEST(CallJobContract, CancelOrDeinitEndsHeldCallsAndRunsAtOnce) {
    for (const bool deinit : {false, true}) {
        SCOPED_TRACE(deinit ? "by Deinit" : "by Cancel");
        Library library(std::make_shared<TestComponent>(/*hold=*/true));
        const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
        StartedCall started, run, late;
        started.handler.onFinished = [&] { library.component->Release(); };
        Start(*accessPoint, started, kEcho, 1);
        ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 2, run.output), run.job).IsEmpty());
        auto outcome = std::async(std::launch::async, [&] { return run.job->Run(); });
        library.component->WaitEntered(2);
        if (!deinit) {
            EXPECT_TRUE(run.job->Cancel().IsEmpty());
            EXPECT_TRUE(started.job->Cancel().IsEmpty());
        }
        ASSERT_TRUE(library.Deinit().IsEmpty());
        EXPECT_EQ(outcome.get().Code(), Common::kCanceled);
        EXPECT_EQ(started.handler.WaitFinished(), kFailed);
        EXPECT_EQ(started.handler.failure.Code(), Common::kCanceled);
        EXPECT_TRUE(started.job->Cancel().IsEmpty()) << "a cancel after the end changes nothing";
        EXPECT_EQ(started.output + run.output, -2) << "no late reply is read";
        ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 3, late.output), late.job).IsEmpty());
        EXPECT_EQ(late.job->Start(late.handler).Code(), Binding::kIpcClientNotInitialized);
    }
}

// A connection closed while a call is still inside the component stays known until it leaves;
// its later calls must fail rather than reach the component (a Send that skipped the closed mark
// went unseen once), while the call inside still ends by its reply. The library's transport
// forgets a closed connection at once, so the in-process transport is checked on its own.
TEST(InProcessTransport, ACloseWithACallInsideFailsTheLaterCalls) {
    IPCClient::WorkerPool pool(4);
    IPCClient::InProcessTransport transport(pool);
    const auto component = std::make_shared<TestComponent>(/*hold=*/true);
    const Binding::ScopedLocalComponent registration(kService, component);
    uint32_t connection = 0;
    ASSERT_TRUE(transport.Connect(kService, connection).IsEmpty());
    std::promise<std::string> inside;
    const auto heard = [&](const Common::Error&, std::vector<uint8_t> reply) {
        inside.set_value(std::string(reply.begin(), reply.end()));
    };
    ASSERT_TRUE(transport.Send(connection, kComponent, kEcho, {'5'}, heard).IsEmpty());
    component->WaitEntered(1);
    transport.CloseConnection(connection);
    EXPECT_EQ(transport.Send(connection, kComponent, kEcho, {'1'}, heard).Code(),
              Binding::kIpcClientConnectionClosed);
    component->Release();
    EXPECT_EQ(inside.get_future().get(), "ok:6");
    pool.Stop();
}

// Threads call at once on one connection, each hearing its own replies, while cancels from the
// caller and another thread race each started call's reply: either the reply or a cancel wins,
// never both, never neither, and never on the caller's thread.
TEST(CallJobContract, CallsFromManyThreadsEndOnceWhetherTheirReplyOrACancelWins) {
    Library library;
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int round = t * 1000; round < t * 1000 + 50; ++round) {
                StartedCall call;
                Start(*accessPoint, call, kEcho, round);
                std::thread canceler([&] { EXPECT_TRUE(call.job->Cancel().IsEmpty()); });
                int output = -1;
                EXPECT_TRUE(RunCall(*accessPoint, kEcho, -round, output).IsEmpty());
                EXPECT_EQ(output, 1 - round);
                EXPECT_TRUE(call.job->Cancel().IsEmpty());
                const std::vector<std::string> slots = call.handler.WaitFinished();
                canceler.join();
                const bool replied = slots == kSucceeded;
                ASSERT_TRUE(replied || slots == kFailed) << round;
                EXPECT_EQ(call.output, replied ? round + 1 : -1);
                EXPECT_EQ(call.handler.failure.Code(), replied ? 0u : Common::kCanceled);
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
}

// Inside OnFinished a handler may call again, synchronously and started, and destroy its job and
// its access point; a Deinit there would join its own thread: it is refused and the library stays.
TEST(CallJobContract, HandlerMayCallAgainAndDestroyButNotDeinitFromOnFinished) {
    Library library;
    std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    const std::unique_ptr<Binding::AccessPoint> other = library.Connect();
    StartedCall first, chained;
    first.handler.onFinished = [&] {
        EXPECT_EQ(IPCClient_Deinit().Code(), Binding::kIpcClientDeinitOnLibraryThread);
        int output = -1;
        EXPECT_TRUE(RunCall(*accessPoint, kEcho, 10, output).IsEmpty());
        EXPECT_EQ(output, 11);
        Start(*other, chained, kEcho, 20);
        first.job.reset();
        accessPoint.reset();
    };
    Start(*accessPoint, first, kEcho, 1);
    EXPECT_EQ(first.handler.WaitFinished(), kSucceeded);
    EXPECT_EQ(chained.handler.WaitFinished(), kSucceeded);
    EXPECT_EQ(chained.output, 21);
    EXPECT_TRUE(library.Deinit().IsEmpty());  // the handler's thread has returned
    EXPECT_EQ(first.output, 2);
    EXPECT_EQ(accessPoint, nullptr);
}

// A task that arrives while the one idle thread has been woken for another, blocking task must
// get a thread of its own: queued behind the blocked task, a canceled call's ending would wait
// for a component that may never let go. Once stopped, the pool refuses work.
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
        pool.Stop();
        ASSERT_FALSE(pool.Submit([] {}).IsEmpty()) << "work after Stop is refused";
    }
}

}  // namespace
