#include "enterprise/common/kivo/client/remote_subscription.h"

#include <gtest/gtest.h>

#include "enterprise/common/kivo/tests/remote_subscription_support.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"

namespace {

using namespace KivoTest;
using Kivo::Client::RemoteSubscriptionDispatcher;
using ZaphTest::DWord;
using ZaphTest::WithTrait;

Zaph::Construction::UnitPtr ErrorUnit(uint32_t code) {
    return ZaphTest::Factory().CreateError(code == 0 ? Common::Error() : Fault(code));
}

// What pending updates, failures and waiting reads do is tested through the dispatcher.
TEST(UpdateCacheTest, ASecondCheckoutIsRefusedAndACanceledOneIsHeardOnceLeavingThePutPending) {
    auto cache = std::make_shared<Kivo::Client::InMemoryUpdateCache>();
    Kivo::Client::RemoteChannel channel(nullptr, {17, 1}, cache);
    Reading reading, second;
    for (int twice = 0; twice < 2; ++twice) {
        auto waiting = cache->CheckOut(reading, reading);
        EXPECT_EQ(second.Read(channel), ": fc000c");
        waiting->Cancel();
        waiting->Cancel();
        EXPECT_EQ(reading.Ended(), ": f90002");
    }
    cache->Consume({Change(6)});
    cache->Fail(Fault(0x51));
    EXPECT_EQ(reading.Read(channel), "created 6: 0");
    EXPECT_EQ(reading.Read(channel), ": 51");

    // A handler handed over lives until it has been called.
    auto owned = std::make_shared<Reading>();
    const std::weak_ptr<Reading> watched = owned;
    cache->Consume({});
    auto job = cache->CheckOut(reading, std::move(owned));
    cache->Fail(Fault(0x54));
    EXPECT_EQ(watched.lock()->Ended(), ": 54");
    job.reset();
    EXPECT_TRUE(watched.expired());
}

// The dispatcher's routing, fed directly: no subscriber, no access point.
TEST(DispatcherTest, RunsReachTheirChannelsInOrderHoweverTheRepliesCut) {
    const std::vector<ViewUpdate> updates{ChannelChange(1, 1), ChannelChange(1, 2),
                                          ChannelChange(2, 3), ChannelChange(1, 4)};
    for (const size_t cut : {size_t{4}, size_t{2}}) {
        Reading a, b;
        RemoteSubscriptionDispatcher dispatcher(nullptr);
        auto one = dispatcher.MakeChannel(1);
        EXPECT_EQ(a.Read(*one), ": waits");
        dispatcher.Consume({updates.begin(), updates.begin() + cut});
        dispatcher.Consume({updates.begin() + cut, updates.end()});
        EXPECT_EQ(a.Ended(), "created 1, created 2: 0");
        EXPECT_EQ(a.Read(*one), "created 4: 0");
        EXPECT_EQ(b.Read(*dispatcher.MakeChannel(2)), "created 3: 0");
    }
    // Creation gives nothing; updates before the channel wait for it, sharing their Keys.
    Reading a, b;
    RemoteSubscriptionDispatcher dispatcher(nullptr);
    ViewUpdate early = ChannelChange(4, 7, 1);
    const std::weak_ptr<const Zaph::View::Unit> key = early.Key;
    dispatcher.Consume({Marker(3, "ChannelCreation", ZaphTest::Nil()), std::move(early)});
    EXPECT_FALSE(key.expired());
    const auto created = dispatcher.MakeChannel(3);
    EXPECT_EQ(a.Read(*created), ": waits");
    EXPECT_EQ(b.Read(*dispatcher.MakeChannel(4)), "updated 7: 0");
}

TEST(DispatcherTest, MarkersHandOverTheRunThenEndTheInterest) {
    const std::tuple<const char*, Zaph::Construction::UnitPtr (*)(), const char*> cases[] = {
        {"ChannelError", [] { return ErrorUnit(0x61); }, ": 61"},
        {"ChannelError", [] { return ErrorUnit(0); }, ": fc0019"},
        {"ChannelError", [] { return DWord(3); }, ": fc0019"},
        {"ChannelRemoval", [] { return ErrorUnit(0x62); }, ": 62"},
        {"ChannelRemoval", [] { return ZaphTest::Str(u"gone"); }, ": fc0019"},
    };
    for (const auto& [marker, value, ending] : cases) {
        SCOPED_TRACE(marker + std::string(ending));
        Reading reading, other;
        RemoteSubscriptionDispatcher dispatcher(nullptr);
        auto channel = dispatcher.MakeChannel(1);
        reading.Read(*channel);
        dispatcher.Consume({ChannelChange(1, 1), ChannelChange(2, 2), ChannelChange(1, 3),
                            Marker(1, marker, value()), ChannelChange(2, 4)});
        EXPECT_EQ(reading.Ended(), "created 1: 0");
        EXPECT_EQ(reading.Read(*channel), "created 3: 0");
        EXPECT_EQ(reading.Read(*channel), ending);
        EXPECT_EQ(other.Read(*dispatcher.MakeChannel(2)), "created 2, created 4: 0");
        // Removal cuts the channel off its interest; after an error, updates clear the failure.
        dispatcher.Consume({ChannelChange(1, 5)});
        const bool removal = marker == std::string("ChannelRemoval");
        EXPECT_EQ(reading.Read(*channel), removal ? ending : "created 5: 0");
    }
    // An interest removed before its channel was made: the channel gets the removal.
    Reading reading;
    RemoteSubscriptionDispatcher dispatcher(nullptr);
    dispatcher.Consume({Marker(6, "ChannelCreation", ZaphTest::Nil()),
                        Marker(6, "ChannelRemoval", ErrorUnit(0x63))});
    EXPECT_EQ(reading.Read(*dispatcher.MakeChannel(6)), ": 63");
}

TEST(DispatcherTest, KeysThatNameNoChannelAreTracedAndPassedOver) {
    const auto keyed = [](Zaph::Construction::UnitPtr key) {
        return ViewUpdate{0, std::move(key), DWord(9)};
    };
    const uint32_t noChannel = Kivo::Client::kUpdateWithoutChannel;
    const uint32_t unknown = Kivo::Client::kMarkerOfUnknownInterest;
    const std::pair<ViewUpdate, uint32_t> cases[] = {
        {ViewUpdate{0, nullptr, DWord(9)}, Kivo::Client::kUpdateWithoutKey},
        {keyed(DWord(9)), noChannel},
        {keyed(WithTrait(WithTrait(DWord(9), "ChannelID", DWord(1)), "ChannelID", DWord(2))),
         noChannel},
        {keyed(WithTrait(DWord(9), "ChannelID", ZaphTest::SDWord(1))), noChannel},
        {keyed(WithTrait(DWord(9), "ChannelID", ZaphTest::Str(u"1"))), noChannel},
        {ChannelChange(0, 9), noChannel},
        {Marker(9, "ChannelError", ErrorUnit(0x64)), unknown},
        {Marker(6, "ChannelRemoval", ZaphTest::Nil()), unknown},  // removed already
    };
    RemoteSubscriptionDispatcher dispatcher(nullptr);
    dispatcher.Consume({ChannelChange(6, 1), Marker(6, "ChannelRemoval", ZaphTest::Nil())});
    auto channel = dispatcher.MakeChannel(1);
    Reading reading;
    for (const auto& [update, code] : cases) {
        TraceRecorder traces;
        dispatcher.Consume({ChannelChange(1, 1), update, ChannelChange(1, 2)});
        EXPECT_EQ(reading.Read(*channel), "created 1, created 2: 0");
        const auto traced = traces.Errors();
        ASSERT_EQ(traced.size(), 1u);
        EXPECT_EQ(traced[0].first, 1u);
        EXPECT_EQ(traced[0].second.Code(), code);
    }
}

TEST(DispatcherTest, AFailureReachesEveryChannelAndEveryLaterOne) {
    Reading one, two, three;
    RemoteSubscriptionDispatcher dispatcher(nullptr);
    auto channel = dispatcher.MakeChannel(1);
    one.Read(*channel);
    dispatcher.Consume({ChannelChange(2, 1)});
    dispatcher.Fail(Fault(0x71));
    EXPECT_EQ(one.Ended(), ": 71");
    // Nothing is sent: there is no access point to send it through.
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x71u);
    EXPECT_EQ(two.ToTheEnd(*dispatcher.MakeChannel(2)), "created 1: 71");
    EXPECT_EQ(three.Read(*dispatcher.MakeChannel(3)), ": 71");
}

TEST(RemoteSubscriptionTest, OneSubscriberFeedsTheChannelsUntilAReadFailsWhichRemovesThem) {
    InProcessService service(2);
    IpcTest::RecordingViewManager& views = *service.views;
    RemoteSubscriptionDispatcher dispatcher(service.accessPoint);
    views.QueueOutcome(5, Fault(0x81));
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x81u);
    views.subscription.ID = 0;
    const Common::Error zero = dispatcher.EnsureSubscriber();
    EXPECT_EQ(zero.Code(), Kivo::Client::kZeroIdentifier);
    EXPECT_NE(zero.Message().find(u"Subscribe"), std::u16string::npos);
    EXPECT_EQ(dispatcher.GetSubscriberId(), 0u);

    views.subscription.ID = 17;
    views.QueueContent({{ChannelChange(1, 1), ChannelChange(2, 2)}});
    views.QueueContent({{ChannelChange(1, 3, 2)}});
    views.QueueContent({});
    for (const uint32_t code : {0u, 0u, 0x91u})
        views.QueueOutcome(7, code == 0 ? Common::Error() : Fault(code));
    EXPECT_TRUE(dispatcher.EnsureSubscriber().IsEmpty());
    EXPECT_TRUE(dispatcher.EnsureSubscriber().IsEmpty());
    EXPECT_EQ(dispatcher.GetSubscriberId(), 17u);
    Reading one, two;
    EXPECT_EQ(one.ToTheEnd(*dispatcher.MakeChannel(1)), "created 1, deleted 3: 91");
    EXPECT_EQ(two.ToTheEnd(*dispatcher.MakeChannel(2)), "created 2: 91");
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x91u);
    EXPECT_EQ((std::vector<size_t>{views.Calls(5), views.Calls(7), views.Calls(8)}),
              (std::vector<size_t>{3, 3, 2}));
    EXPECT_EQ(views.receivedTopic.Subscriber, 17u);
    EXPECT_EQ(views.receivedTopic.Interest, 2u);
}

TEST(RemoteSubscriptionTest, AFailedReadReleasesItsViewOrInterestWhileTheAccessPointLives) {
    InProcessService service(2);
    service.views->updates = {Change(1), Change(2, 3), Change(3, 2)};
    service.views->QueueOutcome(3, Common::Error());
    service.views->QueueOutcome(3, Fault(0xA1));
    Kivo::Client::StandaloneRemoteSubscription view(service.accessPoint, 12);
    Reading reading;
    EXPECT_EQ(reading.ToTheEnd(view), "created 1, deleted 3: a1");
    EXPECT_EQ(service.views->Calls(4), 1u);
    EXPECT_EQ(service.views->receivedId, 12u);

    for (const bool keepAccessPoint : {true, false}) {
        std::unique_ptr<Binding::AccessPoint> connected;
        ASSERT_TRUE(
            Binding::Detail::ConnectLocalImpl(PostOfficeTest::kService, 0, connected).IsEmpty());
        std::shared_ptr<Binding::AccessPoint> accessPoint = std::move(connected);
        auto cache = std::make_shared<Kivo::Client::InMemoryUpdateCache>();
        auto channel = std::make_unique<Kivo::Client::RemoteChannel>(
            accessPoint, Kivo::ViewManagement::TopicID{17, 5}, cache);
        Reading reading;
        reading.Read(*channel);
        if (!keepAccessPoint) {
            channel.reset();
            accessPoint.reset();
        }
        cache->Fail(Fault(0xB1));
        EXPECT_EQ(reading.Ended(), ": b1");
        EXPECT_EQ(service.views->Calls(8), 1u);
        EXPECT_EQ(service.views->receivedTopic.Interest, 5u);
    }
}

}  // namespace
