#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "core/common/trace.h"
#include "core/common/win/event.h"
#include "core/common/win/mutex.h"
#include "core/common/win/semaphore.h"
#include "core/common/win/tls.h"

namespace {

using Common::Event;
using Common::Mutex;
using Common::MutexLock;
using Common::Semaphore;
using Common::Tls;
using testing::HasSubstr;

constexpr int kThreads = 4;

void RunThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(body, i);
    for (std::thread& thread : threads)
        thread.join();
}

TEST(MutexTest, ExcludesUnderContentionAndNestsPerThread) {
    Mutex mutex;
    int64_t counter = 0;
    RunThreads(kThreads, [&](int) {
        for (int i = 0; i < 20000; ++i) {
            MutexLock outer(mutex);
            MutexLock inner(mutex);
            ++counter;
        }
    });
    EXPECT_EQ(counter, kThreads * 20000);
    // Held until left as often as entered, and only by its owner.
    mutex.Enter();
    mutex.Enter();
    mutex.Leave();
    bool heldElsewhere = true;
    std::thread([&] { heldElsewhere = mutex.IsHeldByCurrentThread(); }).join();
    EXPECT_TRUE(mutex.IsHeldByCurrentThread());
    EXPECT_FALSE(heldElsewhere);
    mutex.Leave();
    EXPECT_FALSE(mutex.IsHeldByCurrentThread());
}

TEST(EventTest, ManualResetReleasesEveryWaiterAndStaysSignalled) {
    Event event(Event::ResetMode::Manual, false);
    std::atomic<int> arrived{0};
    std::atomic<int> released{0};
    RunThreads(kThreads + 1, [&](int index) {
        if (index == kThreads) {  // sets the event once every other thread is about to wait
            while (arrived.load() < kThreads)
                std::this_thread::yield();
            event.Set();
            return;
        }
        ++arrived;
        event.Wait();
        ++released;
    });
    EXPECT_EQ(released.load(), kThreads);
    event.Wait();  // still signalled
}

TEST(EventTest, EachSetLetsOneWaitThroughUntilReset) {
    // A Wait that got through without its Set would find the count of turns at the wrong parity.
    for (const auto mode : {Event::ResetMode::Auto, Event::ResetMode::Manual}) {
        const bool manual = mode == Event::ResetMode::Manual;
        Event ping(mode, false);
        Event pong(mode, false);
        std::atomic<int> turns{0};
        std::atomic<int> outOfTurn{0};
        constexpr int kRounds = 2000;
        std::thread partner([&] {
            for (int i = 0; i < kRounds; ++i) {
                ping.Wait();
                if (manual)
                    ping.Reset();
                outOfTurn += turns.fetch_add(1) % 2 != 1;
                pong.Set();
            }
        });
        for (int i = 0; i < kRounds; ++i) {
            outOfTurn += turns.fetch_add(1) % 2 != 0;
            ping.Set();
            pong.Wait();
            if (manual)
                pong.Reset();
        }
        partner.join();
        EXPECT_EQ(outOfTurn.load(), 0) << (manual ? "manual" : "auto");
    }
}

// `action` throws `code` from `function`, the system error's text in its reason.
template <typename Action>
void ExpectSemaphoreError(Action action, uint32_t code, const char* function, int systemError) {
    try {
        action();
        ADD_FAILURE() << function << " did not throw";
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), code);
        EXPECT_STREQ(error.Place().function, function);
        EXPECT_EQ(error.Reason().Code(), Common::kSystemCodeError);
        EXPECT_THAT(Common::ToUtf8(error.ToText()), HasSubstr(std::strerror(systemError)));
    }
}

// The wait is interrupted `gInterruptions` times, then fails with `gWaitError` if that is set.
std::atomic<int> gInterruptions{0}, gWaitCalls{0}, gWaitError{0};

int FaultyWait(sem_t* semaphore) {
    ++gWaitCalls;
    errno = gInterruptions-- > 0 ? EINTR : gWaitError.load();
    return errno != 0 ? -1 : sem_wait(semaphore);
}

constexpr Common::SemaphoreCalls kFaultyCalls{sem_init, sem_post, FaultyWait, sem_destroy};

TEST(SemaphoreTest, FailuresThrowTheirCodesAndInterruptedWaitsResume) {
    ExpectSemaphoreError([] { Semaphore semaphore(Semaphore::kMaximumCount + 1); }, 20,
                         "Semaphore::Semaphore", EINVAL);
    Semaphore full(Semaphore::kMaximumCount);
    ExpectSemaphoreError([&] { full.Signal(); }, 21, "Semaphore::Signal", EOVERFLOW);
    full.Wait();
    full.Signal();  // the count was kept

    gWaitError = EINVAL;
    Semaphore failing(1, kFaultyCalls);
    ExpectSemaphoreError([&] { failing.Wait(); }, 22, "Semaphore::Wait", EINVAL);
    gWaitError = 0;
    gInterruptions = 3;
    gWaitCalls = 0;
    Semaphore interrupted(0, kFaultyCalls);
    std::thread waiter([&] { interrupted.Wait(); });
    interrupted.Signal();
    waiter.join();
    EXPECT_EQ(gWaitCalls.load(), 4);
}

TEST(SemaphoreTest, CountsUnitsAcrossProducersAndConsumers) {
    Semaphore items(0);
    Semaphore slots(16);
    constexpr int kPerThread = 5000;
    std::atomic<int64_t> queued{0};
    std::atomic<int64_t> taken{0};
    RunThreads(2 * kThreads, [&](int index) {
        for (int i = 0; i < kPerThread; ++i) {
            if (index % 2 == 0) {
                slots.Wait();
                ++queued;
                items.Signal();
            } else {
                items.Wait();
                // Two statements: the arguments of one call are evaluated in no fixed order.
                const int64_t takenSoFar = taken.fetch_add(1) + 1;
                EXPECT_LE(takenSoFar, queued.load());
                slots.Signal();
            }
        }
    });
    EXPECT_EQ(taken.load(), int64_t{kThreads} * kPerThread);
}

std::mutex gCleanedLock;
std::vector<std::string> gCleaned;

void RecordCleanUp(void* value) {
    std::lock_guard<std::mutex> lock(gCleanedLock);
    gCleaned.emplace_back(static_cast<const char*>(value));
}

std::vector<std::string> TakeCleaned() {
    std::lock_guard<std::mutex> lock(gCleanedLock);
    std::vector<std::string> cleaned = std::move(gCleaned);
    gCleaned.clear();
    std::sort(cleaned.begin(), cleaned.end());
    return cleaned;
}

TEST(TlsTest, ValuesArePerThreadAndTheOneCallbackGetsEachEndingThreadsValue) {
    Tls::Key key = Tls::Allocate(&RecordCleanUp);
    ASSERT_NE(key, Tls::OUT_OF_INDEXES);
    static const char* const kNames[kThreads] = {"zero", "one", nullptr, "three"};
    RunThreads(kThreads, [&](int index) {
        EXPECT_EQ(Tls::GetValue(key), nullptr);
        Tls::SetValue(key, const_cast<char*>(kNames[index]));
        EXPECT_EQ(Tls::GetValue(key), kNames[index]);
    });
    EXPECT_EQ(TakeCleaned(), (std::vector<std::string>{"one", "three", "zero"}));

    char mine[] = "main";
    Tls::SetValue(key, mine);
    std::thread([&] {
        EXPECT_EQ(Tls::GetValue(key), nullptr);
        Tls::SetValue(key, const_cast<char*>("worker"));
    }).join();
    EXPECT_EQ(Tls::GetValue(key), mine);
    Tls::SetValue(key, nullptr);
    EXPECT_EQ(TakeCleaned(), std::vector<std::string>{"worker"});

    // Freeing the registered slot frees the registration.
    const Tls::Key plain = Tls::Allocate();
    EXPECT_NE(plain, Tls::OUT_OF_INDEXES);
    Tls::Free(plain);
    Tls::Free(key);
    key = Tls::Allocate(&RecordCleanUp);
    EXPECT_NE(key, Tls::OUT_OF_INDEXES);
    Tls::Free(key);
}

TEST(TlsProcessExit, CallbackGetsTheExitingThreadsValue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const Tls::Key key = Tls::Allocate([](void* value) {
                std::fprintf(stderr, "cleaned up %s\n", static_cast<const char*>(value));
                std::fflush(stderr);
            });
            Tls::SetValue(key, const_cast<char*>("at exit"));
            std::exit(0);
        },
        testing::ExitedWithCode(0), "cleaned up at exit");
}

// Traces from several threads while the sinks and the tracer change under them.
std::atomic<int> wrongCodes{0};

void Check(uint32_t, uint32_t, const Common::Error& error) noexcept {
    wrongCodes += error.Code() != 7;
}

class Quiet : public Common::Tracer {
  public:
    void OnText(uint32_t, uint32_t, uint32_t, uint32_t, std::u16string_view) noexcept override {}
    void OnError(uint32_t, uint32_t, const Common::Error&) noexcept override {}
};

TEST(TraceConcurrency, TracingWhileSinksAndTracersChange) {
    const Common::TraceErrorSink previous = Common::SetTraceErrorSink(&Check);
    const Common::Error error(COMMON_PLACE("Test::Shared"), 7);
    const auto tracer = std::make_shared<Quiet>();
    std::atomic<int> finished{0};
    RunThreads(kThreads + 1, [&](int index) {
        if (index == kThreads) {  // changes the sinks and the tracer until the others end
            for (int i = 0; finished.load() < kThreads; ++i) {
                Common::SetTracer(i % 2 == 0 ? tracer : nullptr);
                Common::SetTraceErrorSink(i % 3 == 0 ? nullptr : &Check);
            }
            return;
        }
        for (int i = 0; i < 2000; ++i) {
            Common::TraceError(4, error);
            Common::TraceText(0, 4, 0, 0, u"x");
        }
        ++finished;
    });
    Common::SetTracer(nullptr);
    Common::SetTraceErrorSink(previous);
    EXPECT_EQ(wrongCodes.load(), 0);
}

}  // namespace
