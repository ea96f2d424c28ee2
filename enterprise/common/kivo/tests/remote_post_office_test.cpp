// The remote post offices over the in-process IPC client library, against a recording view
// manager that announces interface version 1 (views only) or 2 (subscribers too).

#include <gtest/gtest.h>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "enterprise/common/kivo/client/remote_subscription.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/kivo/tests/remote_post_office_support.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "enterprise/common/zaph/value_access.h"

namespace {

using namespace PostOfficeTest;
using IpcTest::SameUnit;
using Kivo::ViewManagement::ViewUpdate;

// An access point that cannot tell the version of any component.
class UnversionedAccessPoint final : public Binding::AccessPoint {
  public:
    const Common::Error failure = Fault(0xAD0042);
    Common::Error Call(std::unique_ptr<Binding::Request>,
                       std::unique_ptr<Binding::CallJob>&) override {
        return failure;
    }
    uint32_t GetConnectionID() const override { return 1; }
    Common::Error GetComponentVersion(uint32_t, uint32_t&) override { return failure; }
};

TEST(RemoteViewProviderTest, ANullAccessPointOrAnUnknownVersionIsThrown) {
    try {
        (void)Kivo::CreateRemoteViewProvider(nullptr);
        ADD_FAILURE();
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Code(), 0xFC0017u);
        EXPECT_EQ(error.Message(), Common::GetCatalogMessage(Common::kMsgKivoDisposedObject));
        EXPECT_STREQ(error.Place().function, "Kivo::CreateRemoteViewProvider");
    }
    const auto accessPoint = std::make_shared<UnversionedAccessPoint>();
    try {
        (void)Kivo::CreateRemoteViewProvider(accessPoint);
        ADD_FAILURE();
    } catch (const Common::Error& error) {
        EXPECT_EQ(error.Head(), accessPoint->failure.Head());
    }
}

// Options with a property and a stale "EntryPoint"; `limit` adds what the case needs.
SharedUnitPtr Options(void (*limit)(FluentUnitBuilder&)) {
    FluentUnitBuilder builder(Zaph::Construction::DefaultUnitFactory());
    builder.Composite().Property("Depth").DWord(3).End();
    builder.Trait("EntryPoint").String(u"stale").End();
    limit(builder);
    return builder.End().TakeResult();
}

// The one trait `name` of `unit`.
const Zaph::View::Unit& Only(const Zaph::View::Unit& unit, const char* name) {
    return Zaph::Util::GetUniqueTraitByName(unit, name).GetValue();
}

void ExpectNamesTheCaller(const SharedUnitPtr& options) {
    ASSERT_NE(options, nullptr);
    FluentUnitBuilder caller(Zaph::Construction::DefaultUnitFactory());
    caller.Composite().Property("ID").QWord(kCaller.ID).End();
    caller.Property("File").String(u"tools/dump/caller.cpp").End();
    caller.Property("Line").DWord(kCaller.Line).End();
    EXPECT_TRUE(Zaph::Util::UnitsEqual(Only(*options, "EntryPoint"), *caller.End().TakeResult()));
}

TEST(RemotePostOfficeTest, TheQueryIsSentWithItsLimitOr2000AndTheCallersEntryPoint) {
    struct Case {
        const char* name;
        SharedUnitPtr options;
        uint32_t sent;
    };
    const Case cases[] = {
        {"no options", nullptr, 2000},
        {"no limit", Options([](FluentUnitBuilder&) {}), 2000},
        {"limit 0", Options([](FluentUnitBuilder& b) { b.Trait("LimitOptions").DWord(0).End(); }),
         2000},
        {"QWord 0", Options([](FluentUnitBuilder& b) { b.Trait("LimitOptions").QWord(0).End(); }),
         2000},
        {"limit 50", Options([](FluentUnitBuilder& b) { b.Trait("LimitOptions").DWord(50).End(); }),
         50},
    };
    InProcessService service(1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string before =
            c.options ? Zaph::Util::TraceUnitToString(*c.options, "", true) : "";
        std::unique_ptr<Kivo::Subscription> holder;
        ASSERT_TRUE(service
                        .Run(Operation::kReport, std::make_shared<Objects>(), holder,
                             Kivo::ViewSpec{Named(u"pattern"), c.options})
                        .IsEmpty());
        const Kivo::ViewSpec sent = service.views->receivedSpec;
        EXPECT_TRUE(SameUnit(sent.Pattern, Named(u"pattern")));
        ASSERT_NE(sent.Options, nullptr);
        EXPECT_EQ(Zaph::Util::GetValue<uint32_t>(Only(*sent.Options, "LimitOptions")), c.sent);
        ExpectNamesTheCaller(sent.Options);
        EXPECT_EQ(c.options != nullptr, Zaph::Util::HasProperty(sent.Options.get(), "Depth"));
        // The caller's options are left as they were.
        EXPECT_EQ(c.options ? Zaph::Util::TraceUnitToString(*c.options, "", true) : "", before);
    }
}

TEST(RemotePostOfficeTest, OptionsThatCannotBeCopiedEndTheJobBeforeAnythingIsSent) {
    Zaph::Construction::InMemoryUnitFactory factory;
    Zaph::Construction::UnitPtr options = factory.CreateComposite();
    for (uint32_t depth = 0; depth < Zaph::kMaxUnitDepth; ++depth) {
        Zaph::Construction::UnitPtr outer = factory.CreateComposite();
        Zaph::Util::AddProperty(*outer, factory.CreateProperty("Inner", std::move(options)));
        options = std::move(outer);
    }
    InProcessService service(1);
    std::unique_ptr<Kivo::Subscription> holder;
    EXPECT_EQ(service
                  .Run(Operation::kReport, std::make_shared<Objects>(), holder,
                       Kivo::ViewSpec{Named(u"pattern"), SharedUnitPtr(std::move(options))})
                  .Code(),
              Zaph::Errors::kUnitTooDeep);
    EXPECT_EQ(service.views->Calls(2), 0u);
}

TEST(RemotePostOfficeTest, EveryQueryCarriesTheEntryPointAndVersion1SeesNoSubscriberMethod) {
    for (const uint32_t version : {1u, 2u}) {
        InProcessService service(version);
        const auto reader = std::make_shared<Objects>();
        std::unique_ptr<Kivo::Subscription> holder;
        EXPECT_TRUE(service.Run(Operation::kReport, reader, holder).IsEmpty());
        const Operation subscribe =
            version == 1 ? Operation::kOpenDynamicView : Operation::kAddInterest;
        EXPECT_TRUE(service.Run(subscribe, reader, holder).IsEmpty());
        const std::vector<Kivo::ViewSpec> specs = service.views->ReceivedSpecs();
        ASSERT_EQ(specs.size(), 2u);
        for (const Kivo::ViewSpec& spec : specs)
            ExpectNamesTheCaller(spec.Options);
        EXPECT_EQ(service.views->Calls(6), version == 1 ? 0u : 1u);
        if (version != 1)
            continue;
        // The dynamic view is read with AcquireUpdates on its identifier.
        ASSERT_NE(dynamic_cast<Kivo::Client::StandaloneRemoteSubscription*>(holder.get()), nullptr);
        service.views->updates = {ViewUpdate{0, Named(u"new"), nullptr}};
        Ending end;
        const std::shared_ptr<Async::Job> read = holder->Read(*reader, end);
        EXPECT_TRUE(end.Wait().IsEmpty());
        EXPECT_EQ(service.views->receivedId, 41u);
        ASSERT_EQ(reader->heard.size(), 1u);
        EXPECT_TRUE(SameUnit(reader->heard[0], Named(u"new")));
        holder.reset();
        service.postOffice.reset();
        for (uint32_t method = 5; method <= 9; ++method)
            EXPECT_EQ(service.views->Calls(method), 0u) << method;
    }
}

// Whatever the outcome, the reader hears objects only on success, and the holder changes only
// then; what the reader throws is traced and the next object still arrives.
TEST(RemotePostOfficeTest, OnlyASuccessfulReplyReachesTheReaderAndTheHolder) {
    enum Answer { kObjects, kNothing, kObjectsThrown, kFailure, kIdentifier0 };
    struct Case {
        Operation operation;
        Answer answer;
        uint32_t code;
        size_t heard;
    };
    constexpr uint32_t kFailed = 0xE1E2;
    constexpr uint32_t kZero = Kivo::Client::kZeroIdentifier;
    const Case cases[] = {
        {Operation::kReport, kObjects, 0, 2},
        {Operation::kOpenDynamicView, kObjects, 0, 2},
        {Operation::kAddInterest, kObjects, 0, 2},
        {Operation::kReport, kNothing, 0, 0},
        {Operation::kOpenDynamicView, kNothing, 0, 0},
        {Operation::kAddInterest, kNothing, 0, 0},
        {Operation::kReport, kObjectsThrown, 0, 2},
        {Operation::kAddInterest, kObjectsThrown, 0, 2},
        {Operation::kReport, kFailure, kFailed, 0},
        {Operation::kOpenDynamicView, kFailure, kFailed, 0},
        {Operation::kAddInterest, kFailure, kFailed, 0},
        {Operation::kOpenDynamicView, kIdentifier0, kZero, 0},
        {Operation::kAddInterest, kIdentifier0, kZero, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "operation " << static_cast<int>(c.operation) << ", answer " << c.answer);
        KivoTest::TraceRecorder traces;
        const bool subscriber = c.operation == Operation::kAddInterest;
        InProcessService service(subscriber ? 2 : 1);
        IpcTest::RecordingViewManager& views = *service.views;
        if (c.answer != kNothing)
            views.snapshot = views.topic.Content = {Named(u"a"), Named(u"b")};
        if (c.answer == kFailure)
            views.QueueOutcome(subscriber                          ? 6
                               : c.operation == Operation::kReport ? 2
                                                                   : 1,
                               Fault(kFailed));
        if (c.answer == kIdentifier0)
            views.viewID = views.topic.ID.Interest = 0;
        const auto reader = std::make_shared<Objects>();
        reader->throwFirst = c.answer == kObjectsThrown;
        std::unique_ptr<Kivo::Subscription> holder =
            std::make_unique<Kivo::Client::StandaloneRemoteSubscription>(nullptr, 99);
        const Kivo::Subscription* const before = holder.get();

        const Common::Error end = service.Run(c.operation, reader, holder);
        EXPECT_EQ(end.Code(), c.code);
        EXPECT_EQ(reader->heard.size(), c.heard);
        EXPECT_EQ(holder.get() == before, c.code != 0 || c.operation == Operation::kReport);
        if (c.code == kZero) {
            EXPECT_EQ(end.Message(), Common::FormatCatalogMessage(
                                         Common::GetCatalogMessage(Common::kMsgKivoZeroIdentifier),
                                         {subscriber ? u"AddInterest" : u"OpenDynamicView"}));
        }
        size_t callbackErrors = 0;
        for (const auto& [level, error] : traces.Errors()) {
            if (error.Code() == Kivo::Detail::kExceptionFromCallback && level == 1 &&
                error.Reason().Code() == 0x77)
                ++callbackErrors;
        }
        EXPECT_EQ(callbackErrors, c.answer == kObjectsThrown ? 1u : 0u);
    }
}

TEST(ChanneledRemotePostOfficeTest, ASubscribeThatFailsSendsNoInterestAndALaterOneTriesAgain) {
    InProcessService service(2);
    service.views->QueueOutcome(5, Fault(0xE1E3));
    const auto reader = std::make_shared<Objects>();
    std::unique_ptr<Kivo::Subscription> holder;
    Ending end;
    const std::shared_ptr<Async::Job> job = service.postOffice->Subscribe(
        kCaller, Kivo::ViewSpec{Named(u"p"), nullptr}, reader, holder, end);
    // Ended before Subscribe returned.
    EXPECT_TRUE(end.Heard());
    EXPECT_EQ(end.Wait().Code(), 0xE1E3u);
    EXPECT_EQ(holder, nullptr);
    EXPECT_EQ(service.views->Calls(6), 0u);

    EXPECT_TRUE(service.Run(Operation::kAddInterest, reader, holder).IsEmpty());
    EXPECT_EQ(service.views->Calls(5), 2u);
    EXPECT_NE(holder, nullptr);
}

TEST(ChanneledRemotePostOfficeTest, TwoSubscriptionsShareOneSubscriberAndReadTheirOwnInterests) {
    InProcessService service(2);
    // The subscriber's first read has an object for each interest, before either channel exists.
    service.views->QueueContent({{ViewUpdate{0, Named(u"for 4", 4u), nullptr},
                                  ViewUpdate{0, Named(u"for 3", 3u), nullptr}}});
    service.views->QueueTopic(Topic{{17, 3}, {}});
    service.views->QueueTopic(Topic{{17, 4}, {}});
    const auto reader = std::make_shared<Objects>();
    std::unique_ptr<Kivo::Subscription> first;
    std::unique_ptr<Kivo::Subscription> second;
    EXPECT_TRUE(service.Run(Operation::kAddInterest, reader, first).IsEmpty());
    EXPECT_EQ(service.views->receivedTopicSpec.Subscription, 17u);
    EXPECT_TRUE(service.Run(Operation::kAddInterest, reader, second).IsEmpty());
    EXPECT_EQ(service.views->receivedTopicSpec.Subscription, 17u);
    EXPECT_EQ(service.views->Calls(5), 1u);
    EXPECT_EQ(service.views->Calls(6), 2u);

    for (const auto& [subscription, name] :
         {std::pair{first.get(), u"for 3"}, {second.get(), u"for 4"}}) {
        ASSERT_NE(dynamic_cast<Kivo::Client::RemoteChannel*>(subscription), nullptr);
        Objects updates;
        Ending end;
        const std::shared_ptr<Async::Job> read = subscription->Read(updates, end);
        EXPECT_TRUE(end.Wait().IsEmpty());
        ASSERT_EQ(updates.heard.size(), 1u);
        EXPECT_TRUE(SameUnit(updates.heard[0], Named(name)));
    }
}

}  // namespace
