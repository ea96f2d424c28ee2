#include "enterprise/common/kivo/client/remote_subscription.h"

#include <gtest/gtest.h>

#include <functional>

#include "enterprise/common/kivo/tests/scripted_view_manager_support.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"
#include "enterprise/common/zaph/tests/unit_builders.h"

namespace {

using Kivo::Client::RemoteSubscriptionDispatcher;
using Kivo::ViewManagement::ViewUpdate;
using KivoTest::Change;
using KivoTest::ChannelChange;
using KivoTest::Fault;
using KivoTest::Marker;
using Strings = std::vector<std::string>;

// Reads `subscription` until a read fails: the changes heard, and the failure's code.
std::pair<Strings, uint32_t> ReadToTheEnd(Kivo::Subscription& subscription) {
    KivoTest::ChangeRecorder reader;
    KivoTest::RecordingHandler handler;
    for (size_t reads = 1;; ++reads) {
        subscription.Read(reader, handler);
        const std::vector<uint32_t> codes = handler.WaitCodes(reads);
        if (codes.size() < reads || codes.back() != 0)
            return {reader.Take(), codes.size() < reads ? 0 : codes.back()};
    }
}

// Reads `subscription` into `reader`: what the reader heard by the time Read returned, and
// "waits" when the read waits.
Strings ReadNow(Kivo::Subscription& subscription, KivoTest::ChangeRecorder& reader,
                KivoTest::RecordingHandler& handler) {
    const size_t before = handler.Count();
    subscription.Read(reader, handler);
    Strings heard = reader.Take();
    if (handler.Count() == before)
        heard.push_back("waits");
    return heard;
}

// The dispatcher's routing, fed directly: no subscriber, no access point.
class DispatcherTest : public ::testing::Test {
  protected:
    KivoTest::ChangeRecorder reader_;
    KivoTest::RecordingHandler handler_;
    RemoteSubscriptionDispatcher dispatcher_{nullptr};
};

TEST_F(DispatcherTest, RunsReachTheirChannelsInOrderHoweverTheRepliesCut) {
    const std::vector<ViewUpdate> updates{ChannelChange(1, 1), ChannelChange(1, 2),
                                          ChannelChange(2, 3), ChannelChange(1, 4)};
    for (const size_t cut : {size_t{4}, size_t{2}}) {
        RemoteSubscriptionDispatcher dispatcher(nullptr);
        auto a = dispatcher.MakeChannel(1);
        auto b = dispatcher.MakeChannel(2);
        EXPECT_EQ(ReadNow(*a, reader_, handler_), (Strings{"waits"}));
        dispatcher.Consume({updates.begin(), updates.begin() + cut});
        dispatcher.Consume({updates.begin() + cut, updates.end()});
        // The waiting read took the first run; the second waited in the cache.
        EXPECT_EQ(reader_.Take(), (Strings{"created 1", "created 2"}));
        EXPECT_EQ(ReadNow(*a, reader_, handler_), (Strings{"created 4"}));
        EXPECT_EQ(ReadNow(*b, reader_, handler_), (Strings{"created 3"}));
    }
    EXPECT_EQ(handler_.WaitCodes(6), (std::vector<uint32_t>(6, 0)));
}

TEST_F(DispatcherTest, UpdatesWaitForTheirChannelSharingTheirKeysAndCreationGivesNothing) {
    ViewUpdate early = ChannelChange(4, 7, 1);
    const std::weak_ptr<const Zaph::View::Unit> key = early.Key;
    dispatcher_.Consume({Marker(3, "ChannelCreation", ZaphTest::Nil()), std::move(early)});
    EXPECT_FALSE(key.expired());
    const auto created = dispatcher_.MakeChannel(3);
    EXPECT_EQ(ReadNow(*created, reader_, handler_), (Strings{"waits"}));
    EXPECT_EQ(ReadNow(*dispatcher_.MakeChannel(4), reader_, handler_), (Strings{"updated 7"}));
}

TEST_F(DispatcherTest, MarkersHandOverTheRunThenEndTheInterest) {
    struct Case {
        const char* marker;
        std::function<Zaph::Construction::UnitPtr()> value;
        uint32_t code;
        // What a later update of the interest gives the channel.
        Strings later;
    };
    const auto error = [](uint32_t code) {
        return [code] { return ZaphTest::Factory().CreateError(Fault(code)); };
    };
    const Case cases[] = {
        {"ChannelError", error(0x61), 0x61, {"created 5"}},
        {"ChannelError", error(0), Kivo::Client::kInterestEndedWithoutReason, {"created 5"}},
        {"ChannelError",
         [] { return ZaphTest::DWord(3); },
         Kivo::Client::kInterestEndedWithoutReason,
         {"created 5"}},
        {"ChannelRemoval", error(0x62), 0x62, {}},
        {"ChannelRemoval",
         [] { return ZaphTest::Str(u"gone"); },
         Kivo::Client::kInterestEndedWithoutReason,
         {}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.marker + std::to_string(test.code));
        KivoTest::ChangeRecorder reader;
        KivoTest::RecordingHandler handler;
        RemoteSubscriptionDispatcher dispatcher(nullptr);
        auto channel = dispatcher.MakeChannel(1);
        auto other = dispatcher.MakeChannel(2);
        EXPECT_EQ(ReadNow(*channel, reader, handler), (Strings{"waits"}));
        dispatcher.Consume({ChannelChange(1, 1), ChannelChange(2, 2), ChannelChange(1, 3),
                            Marker(1, test.marker, test.value()), ChannelChange(2, 4)});
        EXPECT_EQ(reader.Take(), (Strings{"created 1"}));
        EXPECT_EQ(ReadNow(*channel, reader, handler), (Strings{"created 3"}));
        EXPECT_EQ(ReadNow(*channel, reader, handler), Strings{});
        EXPECT_EQ(ReadNow(*other, reader, handler), (Strings{"created 2", "created 4"}));
        dispatcher.Consume({ChannelChange(1, 5)});
        EXPECT_EQ(ReadNow(*channel, reader, handler), test.later);
        const uint32_t last = test.later.empty() ? test.code : 0;
        EXPECT_EQ(handler.WaitCodes(5), (std::vector<uint32_t>{0, 0, test.code, 0, last}));
    }
    // An interest removed before its channel was made: the channel gets the removal.
    dispatcher_.Consume({Marker(6, "ChannelCreation", ZaphTest::Nil()),
                         Marker(6, "ChannelRemoval", error(0x63)())});
    EXPECT_EQ(ReadToTheEnd(*dispatcher_.MakeChannel(6)).second, 0x63u);
}

TEST_F(DispatcherTest, KeysThatNameNoChannelAreTracedAndPassedOver) {
    using ZaphTest::DWord;
    using ZaphTest::WithTrait;
    const auto keyed = [](Zaph::Construction::UnitPtr key) {
        return ViewUpdate{0, std::move(key), DWord(9)};
    };
    const std::pair<ViewUpdate, uint32_t> cases[] = {
        {ViewUpdate{0, nullptr, DWord(9)}, Kivo::Client::kUpdateWithoutKey},
        {keyed(DWord(9)), Kivo::Client::kUpdateWithoutChannel},
        {keyed(WithTrait(WithTrait(DWord(9), "ChannelID", DWord(1)), "ChannelID", DWord(2))),
         Kivo::Client::kUpdateWithoutChannel},
        {keyed(WithTrait(DWord(9), "ChannelID", ZaphTest::SDWord(1))),
         Kivo::Client::kUpdateWithoutChannel},
        {keyed(WithTrait(DWord(9), "ChannelID", ZaphTest::Str(u"1"))),
         Kivo::Client::kUpdateWithoutChannel},
        {ChannelChange(0, 9), Kivo::Client::kUpdateWithoutChannel},
        {Marker(9, "ChannelError", ZaphTest::Factory().CreateError(Fault(0x64))),
         Kivo::Client::kMarkerOfUnknownInterest},
        {Marker(6, "ChannelRemoval", ZaphTest::Nil()), Kivo::Client::kMarkerOfUnknownInterest},
    };
    dispatcher_.Consume({ChannelChange(6, 1), Marker(6, "ChannelRemoval", ZaphTest::Nil())});
    auto channel = dispatcher_.MakeChannel(1);
    for (const auto& [update, code] : cases) {
        KivoTest::TraceRecorder traces;
        dispatcher_.Consume({ChannelChange(1, 1), update, ChannelChange(1, 2)});
        EXPECT_EQ(ReadNow(*channel, reader_, handler_), (Strings{"created 1", "created 2"}));
        const auto traced = traces.Errors();
        ASSERT_EQ(traced.size(), 1u);
        EXPECT_EQ(traced[0].first, 1u);
        EXPECT_EQ(traced[0].second.Code(), code);
    }
}

TEST_F(DispatcherTest, AFailureReachesEveryChannelAndEveryLaterOne) {
    auto channel = dispatcher_.MakeChannel(1);
    EXPECT_EQ(ReadNow(*channel, reader_, handler_), (Strings{"waits"}));
    dispatcher_.Consume({ChannelChange(2, 1)});
    dispatcher_.Fail(Fault(0x71));
    EXPECT_EQ(handler_.WaitCodes(1), (std::vector<uint32_t>{0x71}));
    // Nothing is sent: there is no access point to send it through.
    EXPECT_EQ(dispatcher_.EnsureSubscriber().Code(), 0x71u);
    EXPECT_EQ(ReadToTheEnd(*dispatcher_.MakeChannel(2)),
              (std::pair<Strings, uint32_t>{{"created 1"}, 0x71}));
    EXPECT_EQ(ReadToTheEnd(*dispatcher_.MakeChannel(3)).second, 0x71u);
}

TEST(RemoteSubscriptionTest, ASubscriberIsMadeOnceAndIdentifierZeroIsAFailure) {
    KivoTest::InProcessViewManager service;
    RemoteSubscriptionDispatcher dispatcher(service.accessPoint);
    service.service->AnswerSubscribe(0);
    const Common::Error zero = dispatcher.EnsureSubscriber();
    EXPECT_EQ(zero.Code(), Kivo::Client::kZeroIdentifier);
    EXPECT_NE(zero.Message().find(u"Subscribe"), std::u16string::npos);
    service.service->AnswerSubscribe(7, Fault(0x81));
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x81u);
    EXPECT_EQ(dispatcher.GetSubscriberId(), 0u);
    service.service->AnswerSubscribe(7);
    EXPECT_TRUE(dispatcher.EnsureSubscriber().IsEmpty());
    EXPECT_TRUE(dispatcher.EnsureSubscriber().IsEmpty());
    EXPECT_EQ(dispatcher.GetSubscriberId(), 7u);
    EXPECT_EQ(service.service->CallsOf(5).size(), 3u);
}

TEST(RemoteSubscriptionTest, TheCycleFeedsTheChannelsUntilAReadFailsWhichRemovesTheInterests) {
    KivoTest::InProcessViewManager service;
    service.service->Queue(7, {ChannelChange(1, 1), ChannelChange(1, 2), ChannelChange(2, 3)});
    service.service->Queue(7, {ChannelChange(1, 4, 2)});
    service.service->Queue(7, {}, Fault(0x91));
    RemoteSubscriptionDispatcher dispatcher(service.accessPoint);
    ASSERT_TRUE(dispatcher.EnsureSubscriber().IsEmpty());
    auto one = dispatcher.MakeChannel(1);
    auto two = dispatcher.MakeChannel(2);
    using Ending = std::pair<Strings, uint32_t>;
    EXPECT_EQ(ReadToTheEnd(*one), (Ending{{"created 1", "created 2", "deleted 4"}, 0x91}));
    EXPECT_EQ(ReadToTheEnd(*two), (Ending{{"created 3"}, 0x91}));
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x91u);

    std::vector<std::pair<uint32_t, uint32_t>> removed;
    for (const auto& call : service.service->CallsOf(8))
        removed.emplace_back(call.topic.Subscriber, call.topic.Interest);
    EXPECT_EQ(removed, (std::vector<std::pair<uint32_t, uint32_t>>{{7, 1}, {7, 2}}));
    for (const auto& call : service.service->CallsOf(7))
        EXPECT_EQ(call.id, 7u);
    EXPECT_EQ(service.service->CallsOf(7).size(), 3u);
}

TEST(RemoteSubscriptionTest, AStandaloneReadGivesTheUpdatesAndClosesTheViewWhenItFails) {
    KivoTest::InProcessViewManager service;
    service.service->Queue(3, {Change(1), Change(2, 3), Change(3, 2)});
    service.service->Queue(3, {}, Fault(0xA1));
    Kivo::Client::StandaloneRemoteSubscription subscription(service.accessPoint, 12);
    EXPECT_EQ(ReadToTheEnd(subscription),
              (std::pair<Strings, uint32_t>{{"created 1", "deleted 3"}, 0xA1}));
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    for (const auto& call : service.service->Calls())
        calls.emplace_back(call.method, call.id);
    EXPECT_EQ(calls, (std::vector<std::pair<uint32_t, uint32_t>>{{3, 12}, {3, 12}, {4, 12}}));
}

TEST(RemoteSubscriptionTest, AFailedChannelReadRemovesItsInterestWhileTheAccessPointLives) {
    KivoTest::InProcessViewManager service;
    for (const bool keepAccessPoint : {true, false}) {
        auto accessPoint = service.Connect();
        auto cache = std::make_shared<Kivo::Client::InMemoryUpdateCache>();
        auto channel = std::make_unique<Kivo::Client::RemoteChannel>(
            accessPoint, Kivo::ViewManagement::TopicID{7, 5}, cache);
        KivoTest::RecordingHandler handler;
        KivoTest::ChangeRecorder reader;
        channel->Read(reader, handler);
        if (!keepAccessPoint) {
            channel.reset();
            accessPoint.reset();
        }
        cache->Fail(Fault(0xB1));
        EXPECT_EQ(handler.WaitCodes(1), (std::vector<uint32_t>{0xB1}));
        const auto removes = service.service->CallsOf(8);
        ASSERT_EQ(removes.size(), 1u);
        EXPECT_EQ(removes[0].topic.Subscriber, 7u);
        EXPECT_EQ(removes[0].topic.Interest, 5u);
    }
}

}  // namespace
