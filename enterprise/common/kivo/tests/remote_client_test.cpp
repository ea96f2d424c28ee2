// The remote client over the in-process IPC client library, against a recording view manager
// that announces interface version 1 (views only) or 2 (subscribers too); the request runner over
// the library's test component; the update cache and the dispatcher's routing fed directly.

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/operation_description.h"
#include "enterprise/common/kivo/client/async_request.h"
#include "enterprise/common/kivo/client/remote_subscription.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/kivo/tests/remote_client_support.h"
#include "enterprise/common/zaph/compare.h"
#include "platform/ipc_client/tests/call_test_support.h"
#include "tests/support/trace_recorder.h"

namespace {

using namespace KivoTest;
using Kivo::Client::RemoteSubscriptionDispatcher;
using KivoTestSupport::TraceRecorder;
using ZaphTest::WithTrait;

// Options with a property, a stale "EntryPoint" and, given one, a "LimitOptions".
SharedUnitPtr Options(Zaph::Construction::UnitPtr limit) {
    auto options = WithTrait(ZaphTest::Composite(ZaphTest::Prop{"Depth", DWord(3)}), "EntryPoint",
                             ZaphTest::Str(u"stale"));
    return limit ? WithTrait(std::move(options), "LimitOptions", std::move(limit))
                 : std::move(options);
}

// Every query is sent with a copy of its options: "LimitOptions" as asked, or 2000 when absent or
// 0, and "EntryPoint" naming the caller in place of any other. Only a successful reply reaches
// the reader and the holder, and a reply naming identifier 0 is a failure; what the reader throws
// is traced and the next object still arrives. A version-1 subscription is a dynamic view, read
// with AcquireUpdates and closed when a read fails.
TEST(RemotePostOfficeTest, QueriesGoPreparedAndOnlyASuccessfulReplyIsDelivered) {
    enum Answer { kObjects, kThrown, kIdentifier0 };
    const SharedUnitPtr caller =
        ZaphTest::Composite(ZaphTest::Prop{"ID", ZaphTest::Factory().CreateQWord(kCaller.ID)},
                            ZaphTest::Prop{"File", ZaphTest::Str(u"tools/dump/caller.cpp")},
                            ZaphTest::Prop{"Line", DWord(kCaller.Line)});
    const SharedUnitPtr plain = Options(nullptr), zero = Options(DWord(0)),
                        fifty = Options(DWord(50)),
                        zero64 = Options(ZaphTest::Factory().CreateQWord(0));
    const std::tuple<uint32_t, bool, uint32_t, Answer, SharedUnitPtr, uint32_t, const char*>
        cases[] = {
            // version, subscribe, the method that fails, answer, the options and the limit sent
            // (0: nothing sent), what the reader and handler heard
            {1, false, 0, kObjects, nullptr, 2000, "1, 2: 0"},
            {1, true, 0, kObjects, plain, 2000, "1, 2: 0"},
            {2, false, 0, kObjects, zero, 2000, "1, 2: 0"},
            {2, true, 0, kObjects, zero64, 2000, "1, 2: 0"},
            {1, false, 0, kThrown, fifty, 50, "1, 2: 0"},
            {2, true, 0, kThrown, fifty, 50, "1, 2: 0"},
            {1, true, 1, kObjects, nullptr, 2000, ": e1e2"},
            {2, true, 6, kObjects, nullptr, 2000, ": e1e2"},
            {2, true, 5, kObjects, nullptr, 0, ": e1e2"},
            {1, true, 0, kIdentifier0, nullptr, 2000, ": fc001a"},
            {2, true, 0, kIdentifier0, nullptr, 2000, ": fc001a"},
        };
    for (const auto& [version, subscribe, failing, answer, options, limit, told] : cases) {
        SCOPED_TRACE(testing::Message() << version << subscribe << failing << answer << limit);
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
        EXPECT_EQ(
            service.Run(subscribe ? &holder : nullptr, answer == kThrown, {DWord(7), options}),
            told);
        EXPECT_EQ(holder.get() != before, subscribe && std::string(told).ends_with(": 0"));
        EXPECT_EQ(views.Calls(6), version == 2 && subscribe && failing != 5 ? 1u : 0u);
        EXPECT_EQ(traces.Errors().size(), answer == kThrown ? 1u : 0u);
        if (version == 1 && holder.get() != before) {
            views.updates = {Change(1), Change(2, 2)};
            views.outcomes[3] = {Common::Error(), Fault(0xA1)};
            EXPECT_EQ(Reading().ToTheEnd(*holder), "created 1, deleted 2: a1");
            EXPECT_EQ(views.Calls(4), 1u);
            EXPECT_EQ(views.receivedId, 41u);
        }
        if (limit == 0)
            continue;
        const Kivo::ViewSpec sent = views.receivedSpec;
        ASSERT_TRUE(sent.Pattern && sent.Options);
        EXPECT_TRUE(Zaph::Util::UnitsEqual(*sent.Pattern, *DWord(7)));
        const auto only = [&](const char* name) -> const Zaph::View::Unit& {
            return Zaph::Util::GetUniqueTraitByName(*sent.Options, name).GetValue();
        };
        EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(only("LimitOptions")), limit);
        EXPECT_TRUE(Zaph::Util::UnitsEqual(only("EntryPoint"), *caller));
        EXPECT_EQ(options != nullptr, Zaph::Util::HasProperty(sent.Options.get(), "Depth"));
    }
}

TEST(RemoteViewProviderTest, ANullAccessPointOrAnUnknownVersionIsThrown) {
    const Common::Error disposed =
        ZaphTest::ErrorOf([] { (void)Kivo::CreateRemoteViewProvider(nullptr); });
    EXPECT_EQ(disposed.Code(), 0xFC0017u);
    EXPECT_EQ(disposed.Message(), u"KIVO: Cannot access a disposed object.");
    // The loopback's only component is not a view manager: "No such component." (0xE1E1).
    const auto unversioned = std::make_shared<IpcTest::LoopbackAccessPoint>(
        std::make_shared<IpcClientTest::TestComponent>());
    EXPECT_EQ(ZaphTest::ErrorCodeOf([&] { (void)Kivo::CreateRemoteViewProvider(unversioned); }),
              0xE1E1u);
}

// A runner of one echo request, whose OnReplied throws a standard exception.
class EchoRunner final : public Kivo::SmartRequestRunner {
  public:
    EchoRunner(std::shared_ptr<Binding::AccessPoint> accessPoint, Async::ActionHandler& handler,
               bool made = true)
        : SmartRequestRunner(std::move(accessPoint), handler), made_(made) {}

  protected:
    std::unique_ptr<Binding::Request> CreateRequest() override {
        return made_ ? IpcClientTest::MakeRequest(IpcClientTest::kEcho, 1, output_) : nullptr;
    }
    Common::Error OnReplied() override { throw std::runtime_error("replied"); }

  private:
    const bool made_;
    int output_ = 0;
};

// A call held in the component is canceled and heard once. Calls that cannot be made or started
// end at once, the runner then going without waiting for the library. A runner let go keeps itself
// alive to its end, and what its OnReplied or its handler throws is traced.
TEST(RequestRunnerTest, EachCallerHearsOnceWhateverEndsTheCall) {
    auto component = std::make_shared<IpcClientTest::TestComponent>(true);
    IpcClientTest::Library library(component);
    const std::shared_ptr<Binding::AccessPoint> accessPoint = library.Connect();
    Reading canceled, unmade, unstarted, replied;
    const auto canceling = std::make_shared<EchoRunner>(accessPoint, canceled);
    canceling->StartRequest();
    component->WaitEntered(1);
    canceling->Cancel();
    EXPECT_EQ(canceled.End(false), Hex(Common::kCanceled));
    canceling->Cancel();
    std::make_shared<EchoRunner>(accessPoint, unmade, false)->StartRequest();
    EXPECT_EQ(unmade.End(false), Hex(Binding::kIpcClientNoRequest));
    // The loopback's calls refuse to start (0xE1E1).
    const auto loopback = std::make_shared<IpcTest::LoopbackAccessPoint>(component);
    std::make_shared<EchoRunner>(loopback, unstarted)->StartRequest();
    EXPECT_EQ(unstarted.End(false), "e1e1");

    TraceRecorder traces;
    std::promise<void> heard;
    replied.then = [&] {
        heard.set_value();
        throw Fault(0x67);
    };
    component->Release();
    std::make_shared<EchoRunner>(accessPoint, replied)->StartRequest();
    EXPECT_EQ(heard.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(
        library.Deinit().IsEmpty());  // joins the library's threads: the handler's trace is written
    std::vector<std::string> traced;
    for (const auto& [level, error] : traces.Errors()) {
        EXPECT_EQ(error.Code(), Kivo::Detail::kExceptionFromCallback);
        traced.push_back(std::to_string(level) + ":" + Hex(error.Reason().Code()));
    }
    EXPECT_EQ(traced,
              (std::vector<std::string>{"1:" + Hex(Async::kStdExceptionDuringOperation), "1:67"}));
    EXPECT_EQ(canceled.End(false) + unmade.End(false), "waitswaits");
}

// An Error unit holding Fault(code), or no error for 0.
Zaph::Construction::UnitPtr ErrorUnit(uint32_t code) {
    return ZaphTest::Factory().CreateError(code == 0 ? Common::Error() : Fault(code));
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
        EXPECT_EQ(b.Read(*one), ": fc000c");  // a second read while one waits
        dispatcher.Consume({updates.begin(), updates.begin() + cut});
        dispatcher.Consume({updates.begin() + cut, updates.end()});
        EXPECT_EQ(a.Ended(), "created 1, created 2: 0");
        EXPECT_EQ(a.Read(*one), "created 4: 0");
        EXPECT_EQ(b.Read(*dispatcher.MakeChannel(2)), "created 3: 0");
    }
    // A handler handed over to a cache lives until it has been called.
    Kivo::Client::InMemoryUpdateCache cache;
    Reading reading;
    auto owned = std::make_shared<Reading>();
    const std::weak_ptr<Reading> watched = owned;
    auto job = cache.CheckOut(reading, std::move(owned));
    ASSERT_FALSE(watched.expired());
    cache.Fail(Fault(0x54));
    EXPECT_EQ(watched.lock()->Ended(), ": 54");
    job.reset();
    EXPECT_TRUE(watched.expired());
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
    // The update, the code traced and how its message starts.
    const uint32_t noChannel = Kivo::Client::kUpdateWithoutChannel;
    const uint32_t unknown = Kivo::Client::kMarkerOfUnknownInterest;
    const std::tuple<ViewUpdate, uint32_t, std::u16string_view> cases[] = {
        {ViewUpdate{0, nullptr, DWord(9)}, Kivo::Client::kUpdateWithoutKey, u""},
        {keyed(DWord(9)), noChannel, u""},
        {keyed(WithTrait(WithTrait(DWord(9), "ChannelID", DWord(1)), "ChannelID", DWord(2))),
         noChannel, u""},
        {keyed(WithTrait(DWord(9), "ChannelID", ZaphTest::SDWord(1))), noChannel, u""},
        {ChannelChange(0, 9), noChannel, u""},
        {Marker(9, "ChannelError", ErrorUnit(0x64)), unknown,
         u"KIVO: The service ended interest 9, which"},
        {Marker(6, "ChannelRemoval", ZaphTest::Nil()), unknown,  // removed already
         u"KIVO: The service ended interest 6, which"},
    };
    RemoteSubscriptionDispatcher dispatcher(nullptr);
    dispatcher.Consume({ChannelChange(6, 1), Marker(6, "ChannelRemoval", ZaphTest::Nil())});
    auto channel = dispatcher.MakeChannel(1);
    Reading reading;
    for (const auto& [update, code, text] : cases) {
        TraceRecorder traces;
        dispatcher.Consume({ChannelChange(1, 1), update, ChannelChange(1, 2)});
        EXPECT_EQ(reading.Read(*channel), "created 1, created 2: 0");
        ASSERT_EQ(traces.Errors().size(), 1u);
        EXPECT_EQ(traces.Errors()[0].first, 1u);
        EXPECT_EQ(traces.Errors()[0].second.Code(), code);
        EXPECT_TRUE(traces.Errors()[0].second.Message().starts_with(text));
    }
}

// A failure reaches every channel, the one made after it too once it has had the updates that
// waited for it; the subscriber stays failed.
TEST(RemoteSubscriptionTest, OneSubscriberFeedsTheChannelsUntilAReadFailsWhichRemovesThem) {
    InProcessService service(2);
    IpcTest::RecordingViewManager& views = *service.views;
    RemoteSubscriptionDispatcher dispatcher(service.accessPoint);
    views.outcomes[5] = {Fault(0x81)};
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x81u);
    views.subscription.ID = 0;
    EXPECT_EQ(dispatcher.EnsureSubscriber().Message(),
              u"KIVO: The service answered Subscribe with identifier 0, which names nothing.");
    EXPECT_EQ(dispatcher.GetSubscriberId(), 0u);
    views.subscription.ID = 17;
    views.contents = {{{ChannelChange(1, 1), ChannelChange(2, 2)}}, {{ChannelChange(1, 3, 2)}}, {}};
    views.outcomes[7] = {Common::Error(), Common::Error(), Fault(0x91)};
    EXPECT_TRUE(dispatcher.EnsureSubscriber().IsEmpty());
    EXPECT_EQ(dispatcher.GetSubscriberId(), 17u);
    Reading one, two, three;
    EXPECT_EQ(one.ToTheEnd(*dispatcher.MakeChannel(1)), "created 1, deleted 3: 91");
    EXPECT_EQ(two.ToTheEnd(*dispatcher.MakeChannel(2)), "created 2: 91");
    EXPECT_EQ(three.Read(*dispatcher.MakeChannel(3)), ": 91");
    EXPECT_EQ(dispatcher.EnsureSubscriber().Code(), 0x91u);
    EXPECT_EQ((std::vector<size_t>{views.Calls(5), views.Calls(7), views.Calls(8)}),
              (std::vector<size_t>{3, 3, 3}));
    EXPECT_EQ(views.receivedTopic.Subscriber, 17u);
    EXPECT_EQ(views.receivedTopic.Interest, 3u);
}

}  // namespace
