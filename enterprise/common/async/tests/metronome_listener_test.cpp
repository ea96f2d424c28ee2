#include <gtest/gtest.h>

#include <atomic>

#include "enterprise/common/async/metronome_beat.h"
#include "enterprise/common/async/metronome_listener.h"
#include "enterprise/common/async/tests/job_support.h"
#include "platform/async_service/platform_service.h"

namespace {

using AsyncService::ScopedAsyncService;
using AsyncService::ServiceOptions;
using AsyncTest::ScopedTraceCapture;

class CountingListener : public Async::MetronomeListener {
  public:
    ~CountingListener() override { Stop(); }
    std::atomic<int> ticks{0};

  protected:
    void OnTick() override { ticks.fetch_add(1); }
};

// A period that no test waits for.
const Async::MetronomeBeat kNeverDuringATest(3600 * 1000);

TEST(MetronomeListener, StopOnAListenerNeverStartedReturnsAtOnce) {
    ScopedTraceCapture trace;
    CountingListener listener;
    listener.Stop();
    listener.Stop();
    EXPECT_EQ(listener.ticks.load(), 0);
    EXPECT_EQ(trace->AssertionCount(), 0);
}

TEST(MetronomeListener, WithoutAServiceNoBeatComesAndTheListenerIsSpent) {
    ScopedTraceCapture trace;
    CountingListener listener;
    EXPECT_TRUE(listener.Start(kNeverDuringATest));
    listener.Stop();  // the wait already ended: nothing to stop
    EXPECT_EQ(listener.ticks.load(), 0);
    EXPECT_EQ(trace->AssertionCount(), 0);
}

TEST(MetronomeListener, StartingTwiceIsAnAssertion) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    ScopedTraceCapture trace;
    CountingListener listener;
    EXPECT_TRUE(listener.Start(kNeverDuringATest));
    EXPECT_FALSE(listener.Start(kNeverDuringATest));
    EXPECT_EQ(trace->Assertions(u"Metronome logic broken."), 1);
    listener.Stop();
    // A listener serves one beat: stopped, it cannot start again either.
    EXPECT_FALSE(listener.Start(kNeverDuringATest));
    EXPECT_EQ(trace->Assertions(u"Metronome logic broken."), 2);
}

TEST(MetronomeListener, StopCancelsTheWaitWithoutATick) {
    ScopedAsyncService service(ServiceOptions{1, 0});
    ScopedTraceCapture trace;
    CountingListener listener;
    listener.Start(kNeverDuringATest);
    listener.Stop();  // returns long before the beat
    listener.Stop();
    EXPECT_EQ(listener.ticks.load(), 0);
    EXPECT_EQ(trace->AssertionCount(), 0);
}

}  // namespace
