#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/common/trace.h"

namespace {

std::mutex receivedLock;
std::vector<uint32_t> received;

void Collect(uint32_t, uint32_t, const Common::Error& error) noexcept {
    std::lock_guard<std::mutex> hold(receivedLock);
    received.push_back(error.Code());
}

class TraceConcurrency : public testing::Test {
  protected:
    TraceConcurrency() {
        received.clear();
        previous_ = Common::SetTraceErrorSink(&Collect);
    }
    ~TraceConcurrency() override { Common::SetTraceErrorSink(previous_); }
    Common::TraceErrorSink previous_;
};

TEST_F(TraceConcurrency, AnErrorTracedOnAWorkerThreadReachesTheSink) {
    std::thread worker(
        [] { Common::TraceError(4, Common::Error(COMMON_PLACE("Test::Worker"), 0xF90006)); });
    worker.join();
    std::lock_guard<std::mutex> hold(receivedLock);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], 0xF90006u);
}

TEST_F(TraceConcurrency, TracingWhileSinksAndTracersChange) {
    class Quiet : public Common::Tracer {
      public:
        void OnText(uint32_t, uint32_t, uint32_t, uint32_t, std::u16string_view) noexcept override {
            texts.fetch_add(1);
        }
        void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override {}
        std::atomic<int> texts{0};
    };
    constexpr int kThreads = 4;
    constexpr int kCalls = 2000;
    const Common::Error error(COMMON_PLACE("Test::Shared"), 7);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kCalls; ++i) {
                Common::TraceError(4, error);
                Common::TraceText(0, 4, 0, 0, u"x");
            }
        });
    }
    auto tracer = std::make_shared<Quiet>();
    go.store(true);
    for (int i = 0; i < 200; ++i) {
        Common::SetTracer(i % 2 == 0 ? tracer : nullptr);
        Common::SetTraceErrorSink(i % 3 == 0 ? nullptr : &Collect);
    }
    Common::SetTraceErrorSink(&Collect);
    for (std::thread& thread : threads) {
        thread.join();
    }
    Common::SetTracer(nullptr);
    std::lock_guard<std::mutex> hold(receivedLock);
    EXPECT_LE(received.size(), size_t{kThreads} * kCalls);
    for (const uint32_t code : received) {
        EXPECT_EQ(code, 7u);
    }
}

}  // namespace
