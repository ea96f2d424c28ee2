#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "core/common/win/event.h"
#include "enterprise/common/async/metronome_beat.h"
#include "enterprise/common/async/metronome_listener.h"
#include "enterprise/common/async/tests/job_support.h"
#include "platform/async_service/platform_service.h"

namespace {

using AsyncService::ScopedAsyncService;
using AsyncService::ServiceOptions;

class FunctionListener : public Async::MetronomeListener {
  public:
    explicit FunctionListener(std::function<void()> onTick) : onTick_(std::move(onTick)) {}
    ~FunctionListener() override { Stop(); }

  protected:
    void OnTick() override { onTick_(); }

  private:
    const std::function<void()> onTick_;
};

const Async::MetronomeBeat kShortBeat(1);

TEST(MetronomeListener, TheBeatCallsOnTickOnceOnAServiceThread) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    Common::Event ticked(Common::Event::ResetMode::Manual, false);
    std::atomic<int> ticks{0};
    std::thread::id tickThread;
    FunctionListener listener([&] {
        tickThread = std::this_thread::get_id();
        ticks.fetch_add(1);
        ticked.Set();
    });
    listener.Start(kShortBeat);
    ticked.Wait();
    listener.Stop();  // fired already: returns at once
    EXPECT_EQ(ticks.load(), 1);
    EXPECT_NE(tickThread, std::this_thread::get_id());
}

// Stop returns only after a tick under way has finished; after Stop no tick starts.
TEST(MetronomeListener, StopWaitsForATickUnderWay) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    Common::Event inTick(Common::Event::ResetMode::Manual, false);
    Common::Event release(Common::Event::ResetMode::Manual, false);
    std::atomic<bool> tickFinished{false};
    FunctionListener listener([&] {
        inTick.Set();
        release.Wait();
        tickFinished.store(true);
    });
    listener.Start(kShortBeat);
    inTick.Wait();
    std::thread releaser([&] { release.Set(); });
    listener.Stop();
    EXPECT_TRUE(tickFinished.load());
    releaser.join();
}

// A tick that throws still ends the wait (the job control traces the throw): Stop returns.
TEST(MetronomeListener, ATickThatThrowsStillEndsTheWait) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    AsyncTest::ScopedTraceCapture trace;
    Common::Event inTick(Common::Event::ResetMode::Manual, false);
    FunctionListener listener([&] {
        inTick.Set();
        throw Common::Error(COMMON_PLACE("Test::OnTick"), 0xA1A1);
    });
    listener.Start(kShortBeat);
    inTick.Wait();
    listener.Stop();
    EXPECT_EQ(trace->AssertionCount(), 0);
}

TEST(MetronomeListener, StopRacingTheBeatEitherPreventsTheTickOrWaitsForIt) {
    ScopedAsyncService service(ServiceOptions{2, 0});
    std::atomic<int> ticks{0};
    std::atomic<int> ticksAfterStop{0};
    for (int i = 0; i < 300; ++i) {
        std::atomic<bool> stopped{false};
        {
            FunctionListener listener([&] {
                if (stopped.load()) {
                    ticksAfterStop.fetch_add(1);
                }
                ticks.fetch_add(1);
            });
            listener.Start(kShortBeat);
            if (i % 3 == 0) {
                std::this_thread::yield();
            }
            listener.Stop();
            stopped.store(true);
        }
    }
    EXPECT_EQ(ticksAfterStop.load(), 0);
    EXPECT_LE(ticks.load(), 300);
}

}  // namespace
