#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "enterprise/common/async/action_sequence.h"
#include "enterprise/common/async/cyclic_runner.h"
#include "enterprise/common/async/error/chain.h"
#include "enterprise/common/async/tests/async_support.h"
#include "platform/async_service/platform_service.h"

namespace {

// With a service each step arms the metronome listener and stops it at once.
TEST(MillionSteps, RunAsALoopOnAFlatStack) {
    constexpr int kSteps = 1000000;
    for (const int mode : {0, 1, 2, 3}) {  // bit 0: a sequence; bit 1: a service
        const bool sequence = (mode & 1) != 0;
        std::optional<AsyncService::ScopedAsyncService> service;
        if ((mode & 2) != 0)
            service.emplace(AsyncService::ServiceOptions{2, 0});
        std::mutex lock;
        std::map<std::thread::id, uintptr_t> firstFrames;
        uintptr_t deepest = 0;
        int runs = 0;  // one step at a time, whichever thread runs it
        const auto step = AsyncTest::Synchronous([&] {
            const auto frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
            std::lock_guard<std::mutex> hold(lock);
            const uintptr_t first =
                firstFrames.emplace(std::this_thread::get_id(), frame).first->second;
            deepest = std::max(deepest, first > frame ? first - frame : 0);
            return ++runs == kSteps ? AsyncTest::Failure(Async::kCycleFinished) : Common::Error();
        });
        AsyncTest::CyclicSequence cyclicSequence;
        cyclicSequence.Add(step);
        Async::Detail::CyclicRunAction cyclicRun(step);
        AsyncTest::RecordingHandler handler;
        const std::shared_ptr<Async::Job> job =
            sequence ? cyclicSequence.Perform(handler) : cyclicRun.Perform(handler);
        handler.Wait();  // a step that took a beat has moved the loop to a service thread
        std::lock_guard<std::mutex> hold(lock);
        EXPECT_EQ(runs, kSteps);
        EXPECT_EQ(handler.Calls(), 1);
        EXPECT_EQ(handler.Last().Reason().Code(), sequence ? 0u : Async::kCycleFinished);
        EXPECT_LT(deepest, 64u * 1024) << mode;
    }
}

}  // namespace
