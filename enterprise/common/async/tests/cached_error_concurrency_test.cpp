#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <vector>

#include "core/common/text.h"
#include "enterprise/common/async/error/cached_error.h"

namespace {

TEST(CachedError, FirstUsersRaceAndAllSeeOneError) {
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<const Common::Error*> seen(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            start.arrive_and_wait();
            seen[i] = (i % 2 == 0) ? &Async::CanceledError() : &Async::InvalidResultError();
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(seen[i], seen[i % 2]);
    }
    EXPECT_EQ(Async::CanceledError().Code(), Common::kCanceled);
    EXPECT_EQ(Async::CanceledError().Message(), u"ASYNC: The operation has been canceled.");
    EXPECT_EQ(Async::InvalidResultError().Code(), Async::kInvalidResult);
    EXPECT_EQ(Async::InvalidResultError().Message(), u"ASYNC: The operation result is invalid.");
    EXPECT_STREQ(Async::CanceledError().Place().function, "Async::CachedError::Get");
    EXPECT_EQ(Async::CanceledError().Place().tag, 0x67df8f2f6f61640fu);
}

}  // namespace
