// Units, the pattern registry and static instances shared by threads.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <thread>
#include <vector>

#include "enterprise/common/zaph/match.h"
#include "enterprise/common/zaph/static_instance.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using namespace ZaphTest;

// Threads that start together race on the first lookup of the pattern registry, then match the
// same shared units; every thread must see the answers a single thread sees.
TEST(Match, ThreadsShareUnitsAndTheRegistry) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<UnitPtr> sources;
    for (uint32_t i = 0; i < 8; ++i) {
        sources.push_back(WithTrait(Composite(Prop{"age", DWord(i * 10)},
                                              Prop{"name", Str(i % 2 == 0 ? u"Olsen" : u"Berg")}),
                                    "Is", Str(i % 3 == 0 ? u"Car" : u"Person")));
    }
    const UnitPtr pattern = WithTrait(
        Composite(Prop{"age", WithTrait(DWord(0), "Between",
                                        Composite(Prop{"From", DWord(20)}, Prop{"To", DWord(60)}))},
                  Prop{"name", WithTrait(Str(u""), "Like", Str(u"%sen"))}),
        "Is", Str(u"Person"));
    // i = 2 and 4: age 20 and 40, "Olsen", not a multiple of three.
    const std::vector<bool> expected = {false, false, true, false, true, false, false, false};

    std::barrier start(kThreads);
    std::vector<int> wrong(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round) {
                for (size_t i = 0; i < sources.size(); ++i) {
                    wrong[t] += Zaph::Util::Match(*sources[i], *pattern) != expected[i] ? 1 : 0;
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

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
