// The call-job contract of our IPC client library over the in-process transport: handlers hear
// exactly one ending on a library thread, cancels end held calls at once and drop their late
// replies, handlers may destroy everything or call again from OnFinished, and Deinit ends and
// joins everything in flight.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/ipc_client/library_errors.h"
#include "platform/ipc_client/tests/call_test_support.h"

namespace {

using namespace IpcClientTest;

TEST(CallJobContract, StartedCallsEndOnceOnLibraryThreadsWithTheReplysOutcome) {
    Library library;
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    StartedCall echo, fail, garbage, standard, unknown;
    int outputSeenBySucceeded = 0;
    echo.handler.onSucceeded = [&] { outputSeenBySucceeded = echo.output; };
    Start(*accessPoint, echo, kEcho, 41);
    Start(*accessPoint, fail, kFail, 0x9C0100);
    Start(*accessPoint, garbage, kGarbage, 1);
    Start(*accessPoint, standard, kThrowStd, 1);
    Start(*accessPoint, unknown, kUnknownMethod, 1);

    EXPECT_EQ(echo.handler.WaitFinished(), kSucceeded);
    EXPECT_EQ(outputSeenBySucceeded, 42);
    for (StartedCall* call : {&fail, &garbage, &standard, &unknown}) {
        EXPECT_EQ(call->handler.WaitFinished(), kFailed);
        EXPECT_EQ(call->output, -1) << "a failed call leaves its output as it was";
    }
    EXPECT_EQ(fail.handler.Failure().Code(), 0x9C0100u);
    EXPECT_EQ(garbage.handler.Failure().Code(), 0x9C0002u);
    EXPECT_EQ(standard.handler.Failure().Code(), Binding::kIpcClientUnexpectedException);
    EXPECT_EQ(unknown.handler.Failure().Code(), 0xB9000Cu);
    for (StartedCall* call : {&echo, &fail, &garbage, &standard, &unknown}) {
        EXPECT_TRUE(call->handler.NeverOn(std::this_thread::get_id()));
    }
}

TEST(CallJobContract, CancelEndsAHeldCallOrRunAtOnceAndDropsTheLateReplies) {
    Library library(std::make_shared<TestComponent>(/*hold=*/true));
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    const auto reads = std::make_shared<ReadCounter>();
    StartedCall call;
    Start(*accessPoint, call, kEcho, 1, reads);
    library.component->WaitEntered(1);

    EXPECT_TRUE(call.job->Cancel().IsEmpty());
    // The component still holds the call: the ending cannot have waited for its reply.
    EXPECT_EQ(call.handler.WaitFinished(), kFailed);
    EXPECT_EQ(call.handler.Failure().Code(), Common::kCanceled);
    EXPECT_TRUE(call.job->Cancel().IsEmpty()) << "a cancel after the end changes nothing";
    // So does a run in progress.
    int output = -1;
    std::unique_ptr<Binding::CallJob> job;
    ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 1, output, reads), job).IsEmpty());
    Common::Error outcome;
    std::thread runner([&] { outcome = job->Run(); });
    library.component->WaitEntered(2);
    EXPECT_TRUE(job->Cancel().IsEmpty());
    runner.join();
    EXPECT_EQ(outcome.Code(), Common::kCanceled);

    library.component->Release();
    ASSERT_TRUE(library.Deinit().IsEmpty());  // joins the thread that got the late reply
    EXPECT_EQ(*reads, 0);
    EXPECT_EQ(call.output, -1);
    EXPECT_EQ(output, -1);
    EXPECT_EQ(call.handler.WaitFinished(), kFailed);
}

// A connection closed while one of its calls is still inside the component stays known until that
// call leaves; its later calls must fail rather than reach the component.
TEST(CallJobContract, ACloseWithACallInsideFailsTheConnectionsLaterCalls) {
    Library library(std::make_shared<TestComponent>(/*hold=*/true));
    std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    StartedCall inside, later;
    Start(*accessPoint, inside, kEcho, 1);
    library.component->WaitEntered(1);
    EXPECT_TRUE(accessPoint->Call(MakeRequest(kEcho, 1, later.output), later.job).IsEmpty());
    accessPoint.reset();
    EXPECT_EQ(later.job->Start(later.handler).Code(), Binding::kIpcClientConnectionClosed);
    library.component->Release();
    EXPECT_EQ(inside.handler.WaitFinished(), kSucceeded);
    EXPECT_EQ(later.output, -1);
}

TEST(CallJobContract, CancelsRacingTheReplyGiveExactlyOneEnding) {
    Library library;
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    for (int round = 0; round < 200; ++round) {
        StartedCall call;
        Start(*accessPoint, call, kEcho, round);
        std::vector<std::thread> cancelers;
        for (int i = 0; i < 3; ++i) {
            cancelers.emplace_back([&] { EXPECT_TRUE(call.job->Cancel().IsEmpty()); });
        }
        const std::vector<std::string> slots = call.handler.WaitFinished();
        for (std::thread& canceler : cancelers) {
            canceler.join();
        }
        // Either the reply or a cancel won; never both, never neither.
        ASSERT_TRUE(slots == kSucceeded || slots == kFailed) << round;
        if (slots == kSucceeded) {
            EXPECT_EQ(call.output, round + 1);
        } else {
            EXPECT_EQ(call.handler.Failure().Code(), Common::kCanceled);
            EXPECT_EQ(call.output, -1);
        }
    }
}

TEST(CallJobContract, HandlerMayDestroyJobAndAccessPointInsideOnFinished) {
    Library library;
    std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    auto call = std::make_unique<StartedCall>();
    std::atomic<bool> destroyed{false};
    call->handler.onFinished = [&] {
        call->job.reset();
        accessPoint.reset();
        destroyed = true;
    };
    Start(*accessPoint, *call, kEcho, 1);
    EXPECT_EQ(call->handler.WaitFinished(), kSucceeded);
    ASSERT_TRUE(library.Deinit().IsEmpty());  // the handler's thread has returned
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(call->output, 2);
}

TEST(CallJobContract, HandlerMayCallAgainButNotDeinitFromOnFinished) {
    Library library;
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    StartedCall first, chained;
    int syncOutput = -1;
    Common::Error syncOutcome, deinit;
    first.handler.onFinished = [&] {
        // Deinit here would join its own thread: it is refused and the library stays.
        deinit = IPCClient_Deinit();
        std::unique_ptr<Binding::CallJob> job;
        syncOutcome = accessPoint->Call(MakeRequest(kEcho, 10, syncOutput), job);
        if (syncOutcome.IsEmpty()) {
            syncOutcome = job->Run();
        }
        Start(*accessPoint, chained, kEcho, 20);
    };
    Start(*accessPoint, first, kEcho, 1);
    EXPECT_EQ(first.handler.WaitFinished(), kSucceeded);
    EXPECT_EQ(chained.handler.WaitFinished(), kSucceeded);
    EXPECT_TRUE(syncOutcome.IsEmpty());
    EXPECT_EQ(syncOutput, 11);
    EXPECT_EQ(chained.output, 21);
    EXPECT_EQ(deinit.Code(), Binding::kIpcClientDeinitOnLibraryThread);
    EXPECT_TRUE(library.Deinit().IsEmpty());
}

TEST(CallJobContract, DeinitCancelsStartedAndRunningCallsAndJoinsEveryThread) {
    Library library(std::make_shared<TestComponent>(/*hold=*/true));
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    const auto reads = std::make_shared<ReadCounter>();
    StartedCall started;
    // The held component is released only once the started call has heard its ending, which
    // Deinit must deliver while the component still holds both calls.
    started.handler.onFinished = [&] { library.component->Release(); };
    Start(*accessPoint, started, kEcho, 1, reads);
    int runOutput = -1;
    std::unique_ptr<Binding::CallJob> runJob;
    ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 2, runOutput, reads), runJob).IsEmpty());
    Common::Error runOutcome;
    std::thread runner([&] { runOutcome = runJob->Run(); });
    library.component->WaitEntered(2);

    ASSERT_TRUE(library.Deinit().IsEmpty());
    runner.join();
    EXPECT_EQ(started.handler.WaitFinished(), kFailed);
    EXPECT_EQ(started.handler.Failure().Code(), Common::kCanceled);
    EXPECT_EQ(runOutcome.Code(), Common::kCanceled);
    EXPECT_EQ(*reads, 0);

    // The objects outlive the library; their calls fail cleanly.
    StartedCall late;
    ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 3, late.output), late.job).IsEmpty());
    EXPECT_EQ(late.job->Start(late.handler).Code(), Binding::kIpcClientNotInitialized);
}

TEST(CallJobContract, ManyThreadsCallingAtOnceEachHearTheirOwnReply) {
    Library library;
    const std::unique_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    constexpr int kThreads = 6;
    constexpr int kCalls = 40;
    std::atomic<int> wrong{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            std::vector<std::unique_ptr<StartedCall>> calls;
            for (int i = 0; i < kCalls; ++i) {
                calls.push_back(std::make_unique<StartedCall>());
                Start(*accessPoint, *calls.back(), kEcho, t * 1000 + i);
                int syncOutput = -1;
                std::unique_ptr<Binding::CallJob> job;
                if (!accessPoint->Call(MakeRequest(kEcho, -i, syncOutput), job).IsEmpty() ||
                    !job->Run().IsEmpty() || syncOutput != 1 - i) {
                    ++wrong;
                }
            }
            for (int i = 0; i < kCalls; ++i) {
                if (calls[i]->handler.WaitFinished() != kSucceeded ||
                    calls[i]->output != t * 1000 + i + 1) {
                    ++wrong;
                }
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(wrong, 0);
}

}  // namespace
