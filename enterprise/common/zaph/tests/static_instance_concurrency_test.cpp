#include "enterprise/common/zaph/static_instance.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

namespace {

std::atomic<int> created{0};
std::atomic<int> destroyed{0};

struct Counted {
    Counted() { ++created; }
    ~Counted() { ++destroyed; }
};

std::unique_ptr<Counted> MakeCounted() {
    return std::make_unique<Counted>();
}

TEST(StaticInstance, RacingFirstCallsShareOneObject) {
    constexpr int kThreads = 8;
    created = 0;
    destroyed = 0;
    {
        Zaph::Util::StaticInstance<Counted> instance(MakeCounted);
        std::vector<Counted*> seen(kThreads);
        std::barrier start(kThreads);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                seen[i] = &instance.Get();
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (Counted* object : seen) {
            EXPECT_EQ(object, seen[0]);
        }
        EXPECT_EQ(&instance.Get(), seen[0]);
        // Every object that lost the race is already gone.
        EXPECT_EQ(created - destroyed, 1);
    }
    EXPECT_EQ(created, destroyed.load());
}

TEST(StaticInstance, ACreatorWithoutObjectRaises) {
    Zaph::Util::StaticInstance<Counted> instance([]() { return std::unique_ptr<Counted>(); });
    EXPECT_THROW(instance.Get(), Common::Error);
}

}  // namespace
