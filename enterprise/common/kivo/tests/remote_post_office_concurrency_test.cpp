// Subscriptions through one channeled post office from several threads at once.

#include <gtest/gtest.h>

#include <thread>

#include "enterprise/common/kivo/tests/remote_post_office_support.h"

namespace {

using namespace PostOfficeTest;

// Threads that subscribe at the same moment share the connection's one subscriber; each gets
// an interest of its own.
TEST(ChanneledRemotePostOfficeConcurrencyTest, SubscriptionsAtOnceShareOneSubscriber) {
    constexpr uint32_t kThreads = 4;
    InProcessService service(2);
    for (uint32_t interest = 1; interest <= kThreads; ++interest)
        service.views->QueueTopic(Topic{{17, interest}, {Named(u"match")}});
    std::vector<std::shared_ptr<Objects>> readers;
    for (uint32_t i = 0; i < kThreads; ++i)
        readers.push_back(std::make_shared<Objects>());
    std::vector<std::unique_ptr<Kivo::Subscription>> holders(kThreads);
    std::vector<Common::Error> ends(kThreads);
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < kThreads; ++i) {
        threads.emplace_back(
            [&, i] { ends[i] = service.Run(Operation::kAddInterest, readers[i], holders[i]); });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (uint32_t i = 0; i < kThreads; ++i) {
        EXPECT_TRUE(ends[i].IsEmpty()) << ends[i].Code();
        EXPECT_NE(holders[i], nullptr);
        EXPECT_EQ(readers[i]->heard.size(), 1u);
    }
    EXPECT_EQ(service.views->Calls(5), 1u);
    EXPECT_EQ(service.views->Calls(6), kThreads);
}

}  // namespace
