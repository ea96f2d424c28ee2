// The remote client over the in-process IPC client library, against a recording view manager
// that announces interface version 1 (views only) or 2 (subscribers too); the update cache and the
// dispatcher's routing are fed directly.

#include <gtest/gtest.h>

#include "enterprise/common/kivo/client/remote_subscription.h"
#include "enterprise/common/kivo/tests/remote_client_support.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "platform/ipc_client/tests/call_test_support.h"

namespace {

using namespace KivoTest;
using Kivo::Client::RemoteSubscriptionDispatcher;
using ZaphTest::Prop;
using ZaphTest::WithTrait;

TEST(RemoteViewProviderTest, ANullAccessPointOrAnUnknownVersionIsThrown) {
    EXPECT_EQ(ZaphTest::ErrorCodeOf([] { (void)Kivo::CreateRemoteViewProvider(nullptr); }),
              0xFC0017u);
    // The loopback's only component is not a view manager: "No such component." (0xE1E1).
    const auto unversioned = std::make_shared<IpcTest::LoopbackAccessPoint>(
        std::make_shared<IpcClientTest::TestComponent>());
    EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { (void)Kivo::CreateRemoteViewProvider(unversioned); }),
              0xE1E1u);
}

// Options with a property, a stale "EntryPoint" and, given one, a "LimitOptions".
SharedUnitPtr Options(Zaph::Construction::UnitPtr limit) {
    Zaph::Construction::UnitPtr options = WithTrait(ZaphTest::Composite(Prop{"Depth", DWord(3)}),
                                                    "EntryPoint", ZaphTest::Str(u"stale"));
    if (limit != nullptr)
        options = WithTrait(std::move(options), "LimitOptions", std::move(limit));
    return options;
}

// The one trait `name` of `unit`.
const Zaph::View::Unit& Only(const Zaph::View::Unit& unit, const char* name) {
    return Zaph::Util::GetUniqueTraitByName(unit, name).GetValue();
}

// Every query is sent with a copy of its options: "LimitOptions" as asked, or 2000 when absent or
// 0, and "EntryPoint" naming the caller in place of any other.
TEST(RemotePostOfficeTest, EveryQueryIsSentWithItsLimitOr2000AndTheCallersEntryPoint) {
    const SharedUnitPtr caller = ZaphTest::Composite(
        Prop{"ID", ZaphTest::Factory().CreateQWord(kCaller.ID)},
        Prop{"File", ZaphTest::Str(u"tools/dump/caller.cpp")}, Prop{"Line", DWord(kCaller.Line)});
    const std::pair<SharedUnitPtr, uint32_t> cases[] = {
        {nullptr, 2000},           {Options(nullptr), 2000},
        {Options(DWord(0)), 2000}, {Options(ZaphTest::Factory().CreateQWord(0)), 2000},
        {Options(DWord(50)), 50},
    };
    for (const uint32_t version : {1u, 2u}) {
        InProcessService service(version);
        for (const auto& [options, limit] : cases) {
            for (const bool subscribe : {false, true}) {
                SCOPED_TRACE(testing::Message() << version << subscribe << limit);
                const std::string before =
                    options ? Zaph::Util::TraceUnitToString(*options, "", true) : "";
                std::unique_ptr<Kivo::Subscription> holder;
                EXPECT_EQ(service.Run(subscribe ? &holder : nullptr, false, {DWord(7), options}),
                          ": 0");
                const Kivo::ViewSpec sent = service.views->receivedSpec;
                EXPECT_TRUE(IpcTest::SameUnit(sent.Pattern, DWord(7)));
                ASSERT_NE(sent.Options, nullptr);
                EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(Only(*sent.Options, "LimitOptions")),
                          limit);
                EXPECT_TRUE(Zaph::Util::UnitsEqual(Only(*sent.Options, "EntryPoint"), *caller));
                EXPECT_EQ(options != nullptr, Zaph::Util::HasProperty(sent.Options.get(), "Depth"));
                EXPECT_EQ(options ? Zaph::Util::TraceUnitToString(*options, "", true) : "", before);
            }
        }
    }
}

// A version-1 subscription is a dynamic view, read with AcquireUpdates and closed when a read
// fails; no subscriber method is ever called.
TEST(RemotePostOfficeTest, Version1SubscriptionsAreDynamicViewsAndSeeNoSubscriberMethod) {
    InProcessService service(1);
    std::unique_ptr<Kivo::Subscription> holder;
    ASSERT_EQ(service.Run(&holder), ": 0");
    service.views->updates = {Change(1), Change(2, 2)};
    service.views->outcomes[3] = {Common::Error(), Fault(0xA1)};
    EXPECT_EQ(Reading().ToTheEnd(*holder), "created 1, deleted 2: a1");
    EXPECT_EQ(service.views->Calls(4), 1u);
    EXPECT_EQ(service.views->receivedId, 41u);
    holder.reset();
    service.postOffice.reset();
    for (uint32_t method = 5; method <= 9; ++method)
        EXPECT_EQ(service.views->Calls(method), 0u) << method;
}

// Only a successful reply reaches the reader and the holder, and a reply naming identifier 0 is
// a failure; what the reader throws is traced and the next object still arrives.
TEST(RemotePostOfficeTest, OnlyASuccessfulReplyReachesTheReaderAndTheHolder) {
    enum Answer { kObjects, kThrown, kIdentifier0 };
    const std::tuple<uint32_t, bool, uint32_t, Answer, const char*> cases[] = {
        // version, subscribe, the method that fails, answer, what the reader and handler heard
        {1, false, 0, kObjects, "1, 2: 0"},     {1, true, 0, kObjects, "1, 2: 0"},
        {2, true, 0, kObjects, "1, 2: 0"},      {1, false, 0, kThrown, "1, 2: 0"},
        {2, true, 0, kThrown, "1, 2: 0"},       {1, true, 1, kObjects, ": e1e2"},
        {2, true, 6, kObjects, ": e1e2"},       {2, true, 5, kObjects, ": e1e2"},
        {1, true, 0, kIdentifier0, ": fc001a"}, {2, true, 0, kIdentifier0, ": fc001a"},
    };
    for (const auto& [version, subscribe, failing, answer, told] : cases) {
        SCOPED_TRACE(testing::Message() << version << subscribe << failing << answer);
        TraceRecorder traces;
        InProcessService service(version);
        IpcTest::RecordingViewManager& views = *service.views;
        views.snapshot = views.topic.Content = {DWord(1), DWord(2)};
        if (failing != 0)
            views.outcomes[failing] = {Fault(0xE1E2)};
        if (answer == kIdentifier0)
            views.viewID = views.topic.ID.Interest = 0;
        std::unique_ptr<Kivo::Subscription> holder =
            std::make_unique<Kivo::Client::StandaloneRemoteSubscription>(nullptr, 99);
        const Kivo::Subscription* const before = holder.get();
        EXPECT_EQ(service.Run(subscribe ? &holder : nullptr, answer == kThrown), told);
        EXPECT_EQ(holder.get() != before, subscribe && std::string(told).ends_with(": 0"));
        EXPECT_EQ(views.Calls(6), version == 2 && failing != 5 ? 1u : 0u);
        EXPECT_EQ(traces.Errors().size(), answer == kThrown ? 1u : 0u);
    }
}

// The subscriptions of a connection share one Subscribe; each reads its own interest's updates,
// also those that the subscriber read before its channel was made.
TEST(ChanneledRemotePostOfficeTest, TwoSubscriptionsShareOneSubscriberAndReadTheirOwnInterests) {
    InProcessService service(2);
    service.views->contents = {{{ChannelChange(4, 4), ChannelChange(3, 3)}}};
    std::unique_ptr<Kivo::Subscription> first, second;
    EXPECT_EQ(service.Run(&first), ": 0");
    service.views->topic.ID.Interest = 4;
    EXPECT_EQ(service.Run(&second), ": 0");
    EXPECT_EQ(service.views->receivedTopicSpec.Subscription, 17u);
    EXPECT_EQ(service.views->Calls(5), 1u);
    ASSERT_TRUE(service.views->WaitHeldRead());  // the first read has been handed over
    EXPECT_EQ(Reading().Read(*first), "created 3: 0");
    EXPECT_EQ(Reading().Read(*second), "created 4: 0");
}

// An Error unit holding Fault(code), or no error for 0.
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
    ASSERT_FALSE(watched.expired());
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
    EXPECT_EQ(a.Read(*dispatcher.MakeChannel(3)), ": waits");
    EXPECT_EQ(b.Read(*dispatcher.MakeChannel(4)), "updated 7: 0");
}

TEST(DispatcherTest, MarkersHandOverTheRunThenEndTheInterest) {
    // After an error, updates clear the failure; removal cuts the channel off its interest.
    using Value = Zaph::Construction::UnitPtr (*)();
    const std::tuple<const char*, Value, const char*, const char*> cases[] = {
        {"ChannelError", [] { return ErrorUnit(0x61); }, ": 61", "created 5: 0"},
        {"ChannelError", [] { return ErrorUnit(0); }, ": fc0019", "created 5: 0"},
        {"ChannelError", [] { return DWord(3); }, ": fc0019", "created 5: 0"},
        {"ChannelRemoval", [] { return ErrorUnit(0x62); }, ": 62", ": 62"},
        {"ChannelRemoval", [] { return ZaphTest::Str(u"gone"); }, ": fc0019", ": fc0019"},
    };
    for (const auto& [marker, value, ending, after] : cases) {
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
        dispatcher.Consume({ChannelChange(1, 5)});
        EXPECT_EQ(reading.Read(*channel), after);
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
        ASSERT_EQ(traces.Errors().size(), 1u);
        EXPECT_EQ(traces.Errors()[0].first, 1u);
        EXPECT_EQ(traces.Errors()[0].second.Code(), code);
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
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x71u);
    EXPECT_EQ(two.ToTheEnd(*dispatcher.MakeChannel(2)), "created 1: 71");
    EXPECT_EQ(three.Read(*dispatcher.MakeChannel(3)), ": 71");
}

TEST(RemoteSubscriptionTest, OneSubscriberFeedsTheChannelsUntilAReadFailsWhichRemovesThem) {
    InProcessService service(2);
    IpcTest::RecordingViewManager& views = *service.views;
    RemoteSubscriptionDispatcher dispatcher(service.accessPoint);
    views.outcomes[5] = {Fault(0x81)};
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x81u);
    views.subscription.ID = 0;
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), Kivo::Client::kZeroIdentifier);
    EXPECT_EQ(dispatcher.GetSubscriberId(), 0u);
    views.subscription.ID = 17;
    views.contents = {{{ChannelChange(1, 1), ChannelChange(2, 2)}}, {{ChannelChange(1, 3, 2)}}, {}};
    views.outcomes[7] = {Common::Error(), Common::Error(), Fault(0x91)};
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

}  // namespace
