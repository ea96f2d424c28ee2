#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "core/common/win/event.h"
#include "enterprise/common/async/cyclic_runner.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/job_control.h"
#include "enterprise/common/async/tests/sequence_support.h"
#include "enterprise/common/async/waiting_handler.h"
#include "platform/async_service/platform_service.h"

namespace {

using AsyncService::ScopedAsyncService;
using AsyncService::ServiceOptions;
using AsyncTest::Failure;
using AsyncTest::OnServiceThread;

// Listening as the dump tool does it: a cyclic job of runs on service threads, canceled from the
// waiting thread at whatever point the runs have reached. However the cancel meets the job (a
// run on its way, or between two runs), the job ends as canceled and runs nothing afterwards.
TEST(CyclicRun, CanceledFromAnotherThreadWhileRunsGoOnOnServiceThreads) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    for (int round = 0; round < 100; ++round) {
        std::atomic<int> runs{0};
        Common::Event running(Common::Event::ResetMode::Manual, false);
        const int cancelAfter = 1 + round % 7;
        auto run = OnServiceThread([&] {
            if (runs.fetch_add(1) + 1 == cancelAfter) {
                running.Set();
            }
            return Common::Error();
        });
        Async::Detail::CyclicRunAction cyclic(run);
        Async::Synchronizer synchronizer;
        Async::JobControl control;
        control.Run(cyclic, &synchronizer);
        running.Wait();
        control.Cancel();
        const Common::Error result = synchronizer.Wait();
        EXPECT_TRUE(Async::IsCanceled(result)) << round;
        const int ended = runs.load();
        EXPECT_GE(ended, cancelAfter);
        // The runner is done: a further cancel and the service's threads start nothing more.
        control.Cancel();
        Async::Synchronizer flush;
        Async::JobControl flushControl;
        flushControl.Run(*OnServiceThread([] { return Common::Error(); }), &flush);
        EXPECT_TRUE(flush.Wait().IsEmpty());
        EXPECT_EQ(runs.load(), ended);
    }
}

TEST(CyclicRun, AFailureOnAServiceThreadEndsTheRunAfterExactlyThatRun) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    std::atomic<int> runs{0};
    auto run = OnServiceThread(
        [&] { return runs.fetch_add(1) + 1 == 3 ? Failure(0x9191) : Common::Error(); });
    Async::Detail::CyclicRunAction cyclic(run);
    Async::Synchronizer synchronizer;
    Async::JobControl control;
    control.Run(cyclic, &synchronizer);
    const Common::Error result = synchronizer.Wait();
    EXPECT_EQ(result.Reason().Code(), 0x9191u);
    EXPECT_EQ(runs.load(), 3);
}

}  // namespace
