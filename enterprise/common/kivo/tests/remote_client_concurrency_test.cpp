// The client under concurrency: queries finishing while canceled, update caches put to while
// canceled, and subscription dispatchers fed, read and destroyed across threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include "core/common/win/event.h"
#include "enterprise/common/kivo/client/remote_subscription.h"
#include "enterprise/common/kivo/tests/remote_client_support.h"

namespace {

using namespace KivoTest;
using Kivo::Client::RemoteSubscriptionDispatcher;

// Queries finishing on the library's threads race with cancels from another thread: every caller
// hears exactly once, a success or the cancellation, and nothing once the library is gone.
TEST(RequestRunnerConcurrencyTest, FinishAndCancelRaceYetEachCallerHearsOnce) {
    constexpr int kRuns = 200;
    std::vector<Reading> readings(kRuns);
    {
        InProcessService service(2);
        std::vector<std::shared_ptr<Async::Job>> jobs(kRuns);
        std::atomic<int> started{0};
        std::thread canceler([&] {
            for (int i = 0; i < kRuns; ++i) {
                while (started.load() <= i)
                    std::this_thread::yield();
                jobs[i]->Cancel();
            }
        });
        for (int i = 0; i < kRuns; ++i) {
            jobs[i] =
                service.postOffice->Report(kCaller, {DWord(7), nullptr}, nullptr, readings[i]);
            started.store(i + 1);
        }
        canceler.join();
        for (Reading& reading : readings)
            EXPECT_THAT(reading.End(), testing::AnyOf("0", "f90002"));
    }
    for (Reading& reading : readings)
        EXPECT_EQ(reading.End(false), "waits");
}

// A put and a cancel race for each checkout: each is heard once, and every update reaches the
// reader once, in order, through that checkout or a later one.
TEST(RemoteSubscriptionConcurrencyTest, PutsRacingCancelsCompleteEachCheckoutOnce) {
    Kivo::Client::InMemoryUpdateCache cache;
    Reading reading;
    std::string expected;
    for (uint32_t round = 0; round < 300; ++round) {
        const std::shared_ptr<Async::Job> checkout = cache.CheckOut(reading, reading);
        std::latch start(2);
        std::thread canceler([&] {
            start.arrive_and_wait();
            checkout->Cancel();
        });
        start.arrive_and_wait();
        cache.Consume({Change(round)});
        canceler.join();
        ASSERT_THAT(reading.End(), testing::AnyOf("0", "f90002"));
        expected += (round == 0 ? "created " : ", created ") + std::to_string(round);
    }
    cache.CheckOut(reading, reading);
    cache.Consume({});
    EXPECT_EQ(reading.Ended(), expected + ": 0");
}

// Channels read on threads of their own while the cycle feeds them. The last reply goes to a
// channel whose reader drops the last reference to the dispatcher inside the delivery, on a
// library thread: the dispatcher goes there, not waiting for its own cycle, which then stops, and
// every channel hears all its updates, then that the view is being closed.
TEST(RemoteSubscriptionConcurrencyTest,
     TheCycleFeedsChannelsReadConcurrentlyUntilTheDispatcherGoes) {
    constexpr uint32_t kChannels = 3, kReplies = 40;
    InProcessService service(2);
    std::string expected;
    for (uint32_t reply = 0; reply < kReplies; ++reply) {
        std::vector<ViewUpdate> updates;
        for (uint32_t channel = 1; channel <= kChannels; ++channel)
            updates.push_back(ChannelChange((channel + reply) % kChannels + 1, reply));
        service.views->contents.push_back({updates});
        expected += (reply == 0 ? "created " : ", created ") + std::to_string(reply);
    }
    service.views->contents.push_back({{ChannelChange(kChannels + 1, 99)}});
    auto dispatcher = std::make_shared<RemoteSubscriptionDispatcher>(service.accessPoint);
    const auto last = dispatcher->MakeChannel(kChannels + 1);
    Reading reading;
    Common::Event released(Common::Event::ResetMode::Manual, false);
    std::thread::id deliveredOn;
    reading.then = [&, held = dispatcher]() mutable {
        released.Wait();
        deliveredOn = std::this_thread::get_id();
        held.reset();
    };
    EXPECT_EQ(reading.Read(*last), ": waits");
    ASSERT_TRUE(dispatcher->EnsureSubscriber().IsEmpty());
    std::vector<std::unique_ptr<Kivo::Client::RemoteChannel>> channels;
    std::vector<std::string> endings(kChannels);
    std::vector<std::thread> readers;
    for (uint32_t channel = 0; channel < kChannels; ++channel) {
        channels.push_back(dispatcher->MakeChannel(channel + 1));
        readers.emplace_back([&endings, channel, read = channels.back().get()] {
            endings[channel] = Reading().ToTheEnd(*read);
        });
    }
    dispatcher.reset();
    released.Set();
    EXPECT_EQ(reading.Ended(), "created 99: 0");
    EXPECT_NE(deliveredOn, std::this_thread::get_id());
    reading.then = nullptr;
    EXPECT_EQ(reading.Read(*last), ": fc000b");
    for (std::thread& thread : readers)
        thread.join();
    for (const std::string& ending : endings)
        EXPECT_EQ(ending, expected + ": fc000b");
    EXPECT_EQ((std::vector<size_t>{service.views->Calls(7), service.views->Calls(8),
                                   service.views->Calls(9)}),
              (std::vector<size_t>{kReplies + 1, kChannels + 1, 1}));
}

// Threads that subscribe at the same moment share the connection's one subscriber.
TEST(RemoteSubscriptionConcurrencyTest, SubscriptionsAtOnceShareOneSubscriber) {
    InProcessService service(2);
    service.views->topic.Content = {DWord(1)};
    std::vector<std::unique_ptr<Kivo::Subscription>> holders(4);
    std::vector<std::string> told(holders.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < holders.size(); ++i)
        threads.emplace_back([&, i] { told[i] = service.Run(&holders[i]); });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(told, std::vector<std::string>(holders.size(), "1: 0"));
    EXPECT_EQ(service.views->Calls(5), 1u);
    EXPECT_EQ(service.views->Calls(6), holders.size());
    EXPECT_EQ(service.views->receivedTopicSpec.Subscription, 17u);
}

}  // namespace
