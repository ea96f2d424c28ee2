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

constexpr int kThreads = 4;

template <typename Action>
std::string StandardErrorOf(Action action) {
    testing::internal::CaptureStderr();
    action();
    return testing::internal::GetCapturedStderr();
}

void RunThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i) {
        threads.emplace_back(body, i);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// ---- Mutex ----

TEST(MutexTest, ExcludesUnderContentionAndNests) {
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
    EXPECT_FALSE(mutex.IsHeldByCurrentThread());
}

TEST(MutexTest, StaysHeldUntilLeftAsOftenAsEntered) {
    Mutex mutex;
    mutex.Enter();
    mutex.Enter();
    mutex.Leave();
    EXPECT_TRUE(mutex.IsHeldByCurrentThread());
    bool heldElsewhere = true;
    std::thread([&] { heldElsewhere = mutex.IsHeldByCurrentThread(); }).join();
    EXPECT_FALSE(heldElsewhere);
    mutex.Leave();
    EXPECT_FALSE(mutex.IsHeldByCurrentThread());
    std::thread([&] {
        MutexLock lock(mutex);
        heldElsewhere = mutex.IsHeldByCurrentThread();
    }).join();
    EXPECT_TRUE(heldElsewhere);
}

TEST(MutexTest, LeavingFromAnotherThreadAssertsAndKeepsTheOwner) {
    Mutex mutex;
    MutexLock lock(mutex);
    const std::string report = StandardErrorOf([&] { std::thread([&] { mutex.Leave(); }).join(); });
    EXPECT_NE(report.find("Assertion failed: *reinterpret_cast<DWORD*>(&MUTEX_DATA.OwningThread) "
                          "== GetCurrentThreadId()"),
              std::string::npos)
        << report;
    EXPECT_TRUE(mutex.IsHeldByCurrentThread());
}

TEST(MutexTest, DestroyingWhileOwnedAssertsAndReleases) {
    auto mutex = std::make_unique<Mutex>();
    mutex->Enter();
    mutex->Enter();
    const std::string report = StandardErrorOf([&] { mutex.reset(); });
    EXPECT_NE(report.find("Assertion failed: MUTEX_DATA.OwningThread == 0"), std::string::npos)
        << report;
}

// ---- Event ----

TEST(EventTest, ManualResetReleasesEveryWaiterAndStaysSignalled) {
    Event event(Event::ResetMode::Manual, false);
    std::atomic<int> released{0};
    std::thread setter([&] { event.Set(); });
    RunThreads(kThreads, [&](int) {
        event.Wait();
        ++released;
    });
    setter.join();
    EXPECT_EQ(released.load(), kThreads);
    event.Wait();  // still signalled

    event.Reset();
    std::thread waiter([&] { event.Wait(); });
    event.Set();
    waiter.join();
}

TEST(EventTest, AutoResetHandsOverOneWaiterAtATime) {
    // Two threads take turns through a pair of auto-reset events; the unguarded counter is safe
    // only if each Set releases exactly one Wait.
    Event ping(Event::ResetMode::Auto, false);
    Event pong(Event::ResetMode::Auto, false);
    int turns = 0;
    constexpr int kRounds = 5000;
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            ping.Wait();
            ++turns;
            pong.Set();
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        ++turns;
        ping.Set();
        pong.Wait();
    }
    partner.join();
    EXPECT_EQ(turns, 2 * kRounds);
}

TEST(EventTest, AutoResetKeepsASetForTheNextWaiter) {
    Event event(Event::ResetMode::Auto, true);
    event.Wait();
    event.Set();
    event.Set();  // a second Set on a signalled event adds nothing
    std::atomic<int> released{0};
    std::thread first([&] {
        event.Wait();
        ++released;
    });
    first.join();
    EXPECT_EQ(released.load(), 1);
    std::thread second([&] {
        event.Wait();
        ++released;
    });
    event.Set();
    second.join();
    EXPECT_EQ(released.load(), 2);
}

// ---- Semaphore ----

void ExpectSemaphoreError(const Common::Error& error, uint32_t code, const char* function,
                          int systemError) {
    EXPECT_EQ(error.Code(), code);
    EXPECT_STREQ(error.Place().function, function);
    const Common::Error reason = error.Reason();
    EXPECT_EQ(reason.Code(), Common::kSystemCodeError);
    const std::string text = Common::ToUtf8(error.ToText());
    EXPECT_NE(text.find(std::strerror(systemError)), std::string::npos) << text;
}

TEST(SemaphoreTest, CountAboveTheMaximumFailsCreation) {
    try {
        Semaphore semaphore(Semaphore::kMaximumCount + 1);
        FAIL() << "created";
    } catch (const Common::Error& error) {
        ExpectSemaphoreError(error, 20, "Semaphore::Semaphore", EINVAL);
    }
}

TEST(SemaphoreTest, SignalAtTheMaximumFailsAndKeepsTheCount) {
    Semaphore semaphore(Semaphore::kMaximumCount);
    try {
        semaphore.Signal();
        FAIL() << "signalled";
    } catch (const Common::Error& error) {
        ExpectSemaphoreError(error, 21, "Semaphore::Signal", EOVERFLOW);
    }
    semaphore.Wait();
    semaphore.Signal();
}

// Fault injection: a wait that is interrupted `gInterruptions` times, then fails with
// `gWaitError` if that is set, and otherwise waits for real.
std::atomic<int> gInterruptions{0};
std::atomic<int> gWaitCalls{0};
std::atomic<int> gWaitError{0};

int FaultyWait(sem_t* semaphore) {
    ++gWaitCalls;
    if (gInterruptions > 0) {
        --gInterruptions;
        errno = EINTR;
        return -1;
    }
    if (gWaitError != 0) {
        errno = gWaitError;
        return -1;
    }
    return sem_wait(semaphore);
}

constexpr Common::SemaphoreCalls kFaultyCalls{sem_init, sem_post, FaultyWait, sem_destroy};

TEST(SemaphoreTest, FailedWaitThrowsCode22) {
    gInterruptions = 0;
    gWaitError = EINVAL;
    Semaphore semaphore(1, kFaultyCalls);
    try {
        semaphore.Wait();
        FAIL() << "waited";
    } catch (const Common::Error& error) {
        ExpectSemaphoreError(error, 22, "Semaphore::Wait", EINVAL);
    }
    gWaitError = 0;
}

TEST(SemaphoreTest, InterruptedWaitIsResumed) {
    gWaitError = 0;
    gInterruptions = 3;
    gWaitCalls = 0;
    Semaphore semaphore(0, kFaultyCalls);
    std::thread waiter([&] { semaphore.Wait(); });
    semaphore.Signal();
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

// ---- Thread-local slots ----

std::mutex gCleanedLock;
std::vector<std::string> gCleaned;

void RecordCleanUp(void* value) {
    std::lock_guard<std::mutex> lock(gCleanedLock);
    gCleaned.emplace_back(static_cast<const char*>(value));
}

void OtherCleanUp(void*) {}

std::vector<std::string> TakeCleaned() {
    std::lock_guard<std::mutex> lock(gCleanedLock);
    return std::move(gCleaned);
}

// A slot carrying RecordCleanUp for one test.
class TlsTest : public testing::Test {
  protected:
    void SetUp() override {
        TakeCleaned();
        key_ = Tls::Allocate(&RecordCleanUp);
        ASSERT_NE(key_, Tls::OUT_OF_INDEXES);
    }
    void TearDown() override {
        if (key_ != Tls::OUT_OF_INDEXES)
            Tls::Free(key_);
    }

    Tls::Key key_ = Tls::OUT_OF_INDEXES;
};

TEST_F(TlsTest, CallbackGetsEachEndingThreadsValue) {
    static const char* const kNames[kThreads] = {"zero", "one", nullptr, "three"};
    RunThreads(kThreads, [&](int index) {
        EXPECT_EQ(Tls::GetValue(key_), nullptr);
        Tls::SetValue(key_, const_cast<char*>(kNames[index]));
        EXPECT_EQ(Tls::GetValue(key_), kNames[index]);
    });
    std::vector<std::string> cleaned = TakeCleaned();
    std::sort(cleaned.begin(), cleaned.end());
    EXPECT_EQ(cleaned, (std::vector<std::string>{"one", "three", "zero"}));
}

TEST_F(TlsTest, ValuesArePerThread) {
    char mine[] = "main";
    Tls::SetValue(key_, mine);
    std::thread([&] {
        EXPECT_EQ(Tls::GetValue(key_), nullptr);
        Tls::SetValue(key_, const_cast<char*>("worker"));
    }).join();
    EXPECT_EQ(Tls::GetValue(key_), mine);
    Tls::SetValue(key_, nullptr);
    EXPECT_EQ(TakeCleaned(), std::vector<std::string>{"worker"});
}

TEST_F(TlsTest, OneCallbackPerProcess) {
    Tls::Key second = 0;
    const std::string report = StandardErrorOf([&] { second = Tls::Allocate(&OtherCleanUp); });
    EXPECT_EQ(second, Tls::OUT_OF_INDEXES);
    EXPECT_NE(report.find("Assertion failed: _Callback == 0"), std::string::npos) << report;

    // A slot without a callback is always to be had, and freeing the registered slot frees the
    // registration.
    const Tls::Key plain = Tls::Allocate();
    EXPECT_NE(plain, Tls::OUT_OF_INDEXES);
    Tls::Free(plain);
    Tls::Free(key_);
    key_ = Tls::Allocate(&RecordCleanUp);
    EXPECT_NE(key_, Tls::OUT_OF_INDEXES);
}

TEST_F(TlsTest, InvalidSlotAssertsAndDoesNothing) {
    void* value = &value;
    const std::string report = StandardErrorOf([&] {
        value = Tls::GetValue(Tls::OUT_OF_INDEXES);
        Tls::SetValue(Tls::OUT_OF_INDEXES, &value);
        Tls::Free(Tls::OUT_OF_INDEXES);
    });
    EXPECT_EQ(value, nullptr);
    size_t count = 0;
    for (size_t at = report.find("key != Common::Tls::OUT_OF_INDEXES"); at != std::string::npos;
         at = report.find("key != Common::Tls::OUT_OF_INDEXES", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 3u) << report;
}

void PrintCleanUp(void* value) {
    std::fprintf(stderr, "cleaned up %s\n", static_cast<const char*>(value));
    std::fflush(stderr);
}

TEST(TlsProcessExit, CallbackGetsTheExitingThreadsValue) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const Tls::Key key = Tls::Allocate(&PrintCleanUp);
            Tls::SetValue(key, const_cast<char*>("at exit"));
            std::exit(0);
        },
        testing::ExitedWithCode(0), "cleaned up at exit");
}

}  // namespace
