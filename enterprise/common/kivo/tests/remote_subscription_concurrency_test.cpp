#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/common/win/event.h"
#include "enterprise/common/kivo/client/remote_subscription.h"
#include "enterprise/common/kivo/tests/remote_subscription_support.h"

namespace {

using namespace KivoTest;
using Kivo::Client::RemoteSubscriptionDispatcher;

// A put and a cancel race for each checkout: each is heard once, and every update reaches the
// reader once, in order, through that checkout or a later one.
TEST(RemoteSubscriptionConcurrencyTest, PutsRacingCancelsCompleteEachCheckoutOnce) {
    Kivo::Client::InMemoryUpdateCache cache;
    Reading reading;
    std::string heard, expected;
    const auto keep = [&](const std::string& told) {
        const std::string part = told.substr(0, told.rfind(": "));
        heard += (heard.empty() || part.empty() ? "" : ", ") + part;
    };
    for (uint32_t round = 0; round < 300; ++round) {
        const std::shared_ptr<Async::Job> checkout = cache.CheckOut(reading, reading);
        std::atomic<bool> ready{false};
        std::thread canceler([&] {
            ready = true;
            checkout->Cancel();
        });
        while (!ready)
            std::this_thread::yield();
        cache.Consume({Change(round)});
        canceler.join();
        const std::string told = reading.Ended();
        ASSERT_TRUE(told.ends_with(": 0") || told.ends_with(": f90002")) << told;
        keep(told);
        expected += (round == 0 ? "created " : ", created ") + std::to_string(round);
    }
    cache.CheckOut(reading, reading);
    cache.Consume({});
    keep(reading.Ended());
    EXPECT_EQ(heard, expected);
}

// Channels read on threads of their own while the cycle feeds them; the dispatcher then goes
// while its next ReadSubscription waits in the service.
TEST(RemoteSubscriptionConcurrencyTest, TheCycleFeedsChannelsReadConcurrentlyUntilTheEnd) {
    constexpr uint32_t kChannels = 3;
    constexpr uint32_t kReplies = 40;
    InProcessService service(2);
    std::string expected;
    for (uint32_t reply = 0; reply < kReplies; ++reply) {
        std::vector<ViewUpdate> updates;
        for (uint32_t channel = 1; channel <= kChannels; ++channel)
            updates.push_back(ChannelChange((channel + reply) % kChannels + 1, reply));
        service.views->QueueContent({updates});
        expected += (reply == 0 ? "created " : ", created ") + std::to_string(reply);
    }
    auto dispatcher = std::make_unique<RemoteSubscriptionDispatcher>(service.accessPoint);
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
    ASSERT_TRUE(WaitCalls(*service.views, 7, kReplies + 1));
    dispatcher.reset();
    for (std::thread& thread : readers)
        thread.join();
    for (const std::string& ending : endings)
        EXPECT_EQ(ending, expected + ": fc000b");
    EXPECT_EQ(service.views->Calls(8), kChannels);
    EXPECT_EQ(service.views->Calls(9), 1u);
}

// A reader's handler drops the last reference to the dispatcher while the cycle delivers on a
// library thread: the dispatcher goes there, not waiting for its own cycle, which then stops.
TEST(RemoteSubscriptionConcurrencyTest, TheDispatcherMayGoInsideItsOwnDelivery) {
    InProcessService service(2);
    service.views->QueueContent({{ChannelChange(1, 1)}});
    auto dispatcher = std::make_shared<RemoteSubscriptionDispatcher>(service.accessPoint);
    auto channel = dispatcher->MakeChannel(1);
    Reading reading;
    Common::Event released(Common::Event::ResetMode::Manual, false);
    std::thread::id deliveredOn;
    reading.then = [&, last = dispatcher]() mutable {
        released.Wait();
        deliveredOn = std::this_thread::get_id();
        last.reset();
    };
    EXPECT_EQ(reading.Read(*channel), ": waits");
    ASSERT_TRUE(dispatcher->EnsureSubscriber().IsEmpty());
    dispatcher.reset();
    released.Set();
    EXPECT_EQ(reading.Ended(), "created 1: 0");
    EXPECT_NE(deliveredOn, std::this_thread::get_id());
    reading.then = nullptr;
    EXPECT_EQ(reading.Read(*channel), ": fc000b");
    EXPECT_EQ(service.views->Calls(9), 1u);
    EXPECT_EQ(service.views->Calls(7), 1u);
}

}  // namespace
