// The remote post offices over the in-process IPC client library, against a recording view
// manager that announces interface version 1 (views only) or 2 (subscribers too).

#include "enterprise/common/kivo/client/remoting.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <optional>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/common/kivo/client/remote_subscription.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "enterprise/common/kivo/tests/trace_recorder.h"
#include "enterprise/common/zaph/compare.h"
#include "enterprise/common/zaph/errors.h"
#include "enterprise/common/zaph/trace_unit.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "enterprise/common/zaph/value_access.h"
#include "platform/async_service/platform_service.h"
#include "platform/ipc_client/platform_library.h"

namespace {

using IpcTest::SameUnit;
using Kivo::ViewManagement::Topic;
using Kivo::ViewManagement::ViewUpdate;
using Zaph::Util::FluentUnitBuilder;
using Zaph::View::SharedUnitPtr;

constexpr uint32_t kService = 47;
const Core::EntryPoint kCaller{0x0123456789ABCDEF, "tools/dump/caller.cpp", 4242, 7};

Common::Error Fault(uint32_t code) {
    return Common::Error(COMMON_PLACE("KivoTest::Fault"), code, "test fault");
}

// An object named `name`; with `channel`, marked as the service marks the keys it sends.
SharedUnitPtr Named(const std::u16string& name, std::optional<uint32_t> channel = std::nullopt) {
    FluentUnitBuilder builder(Zaph::Construction::DefaultUnitFactory());
    builder.Composite().Property("Name").String(name).End();
    if (channel)
        builder.Trait("ChannelID").DWord(*channel).End();
    return builder.End().TakeResult();
}

// Hears the end of one operation.
class Ending final : public Async::ActionHandler {
  public:
    void Completed(const Common::Error& error) override {
        std::lock_guard<std::mutex> hold(lock_);
        heard_.push_back(error);
        changed_.notify_all();
    }
    // The end, waited for at most 30 s.
    Common::Error Wait() {
        std::unique_lock<std::mutex> hold(lock_);
        if (!changed_.wait_for(hold, std::chrono::seconds(30), [this] { return !heard_.empty(); }))
            return Fault(0xDEAD);
        EXPECT_EQ(heard_.size(), 1u);
        return heard_.front();
    }
    bool Heard() {
        std::lock_guard<std::mutex> hold(lock_);
        return !heard_.empty();
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Common::Error> heard_;
};

// Keeps the objects and creations it hears; throws after the first when asked to.
class Objects final : public Kivo::ReportReader, public Kivo::SubscriptionReader {
  public:
    using Kivo::ReportReader::OnObject;
    using Kivo::SubscriptionReader::OnCreated;
    using Kivo::SubscriptionReader::OnDeleted;
    using Kivo::SubscriptionReader::OnUpdated;

    void OnObject(const SharedUnitPtr& object) override { Keep(object); }
    void OnCreated(const SharedUnitPtr& object) override { Keep(object); }
    void OnUpdated(const SharedUnitPtr&, const SharedUnitPtr&) override { ADD_FAILURE(); }
    void OnDeleted(const SharedUnitPtr&) override { ADD_FAILURE(); }

    bool throwFirst = false;
    std::vector<SharedUnitPtr> heard;

  private:
    void Keep(const SharedUnitPtr& object) {
        heard.push_back(object);
        if (throwFirst && heard.size() == 1)
            throw Fault(0x77);
    }
};

// What the holder held before the operation.
class Sentinel final : public Kivo::Subscription {
  public:
    std::shared_ptr<Async::Job> Read(Kivo::SubscriptionReader&, Async::ActionHandler&) override {
        return nullptr;
    }
};

enum class Operation { kReport, kOpenDynamicView, kAddInterest };

// A recording view manager of interface `version`, served in-process, and the post office over
// it. The subscriber of a version-2 view manager has nothing to read until the end.
struct InProcessService {
    explicit InProcessService(uint32_t version)
        : registration(kService,
                       std::make_shared<Kivo::ViewManagement::ViewManager_Stub>(views, version)) {
        views->HoldReads();
        views->viewID = 41;
        views->subscription.ID = 17;
        views->topic = Topic{{17, 3}, {}};
        std::unique_ptr<Binding::AccessPoint> connected;
        EXPECT_TRUE(Binding::Detail::ConnectLocalImpl(kService, 0, connected).IsEmpty());
        accessPoint = std::move(connected);
        postOffice = Kivo::CreateRemoteViewProvider(accessPoint);
    }
    ~InProcessService() {
        postOffice.reset();
        views->ReleaseReads();
    }

    // Runs `operation` and waits for its end.
    Common::Error Run(Operation operation, const std::shared_ptr<Objects>& reader,
                      std::unique_ptr<Kivo::Subscription>& holder,
                      const Kivo::ViewSpec& spec = Kivo::ViewSpec{Named(u"pattern"), nullptr}) {
        Ending end;
        const std::shared_ptr<Async::Job> job =
            operation == Operation::kReport
                ? postOffice->Report(kCaller, spec, reader, end)
                : postOffice->Subscribe(kCaller, spec, reader, holder, end);
        return end.Wait();
    }

    AsyncService::ScopedAsyncService async{AsyncService::ServiceOptions{2, 4}};
    IPCClient::ScopedPlatformLibrary library;
    const std::shared_ptr<IpcTest::RecordingViewManager> views =
        std::make_shared<IpcTest::RecordingViewManager>();
    Binding::ScopedLocalComponent registration;
    Binding::ScopedIPCClient client;
    std::shared_ptr<Binding::AccessPoint> accessPoint;
    std::unique_ptr<Kivo::PostOffice> postOffice;
};

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
    struct Case {
        const char* name;
        Operation operation;
        void (*answer)(IpcTest::RecordingViewManager&);
        uint32_t code;
        size_t heard;
        bool throwFirst = false;
    };
    using Views = IpcTest::RecordingViewManager;
    const auto twoObjects = [](Views& v) {
        v.snapshot = {Named(u"a"), Named(u"b")};
        v.topic.Content = v.snapshot;
    };
    const Case cases[] = {
        {"report", Operation::kReport, twoObjects, 0, 2},
        {"dynamic view", Operation::kOpenDynamicView, twoObjects, 0, 2},
        {"interest", Operation::kAddInterest, twoObjects, 0, 2},
        {"empty report", Operation::kReport, [](Views&) {}, 0, 0},
        {"empty view", Operation::kOpenDynamicView, [](Views&) {}, 0, 0},
        {"empty interest", Operation::kAddInterest, [](Views&) {}, 0, 0},
        {"reader throws", Operation::kReport, twoObjects, 0, 2, true},
        {"interest reader throws", Operation::kAddInterest, twoObjects, 0, 2, true},
        {"report fails", Operation::kReport,
         [](Views& v) {
             v.snapshot = {Named(u"a")};
             v.QueueOutcome(2, Fault(0xE1E2));
         },
         0xE1E2, 0},
        {"view fails", Operation::kOpenDynamicView,
         [](Views& v) {
             v.snapshot = {Named(u"a")};
             v.QueueOutcome(1, Fault(0xE1E2));
         },
         0xE1E2, 0},
        {"interest fails", Operation::kAddInterest,
         [](Views& v) {
             v.topic.Content = {Named(u"a")};
             v.QueueOutcome(6, Fault(0xE1E2));
         },
         0xE1E2, 0},
        {"view 0", Operation::kOpenDynamicView,
         [](Views& v) {
             v.snapshot = {Named(u"a")};
             v.viewID = 0;
         },
         Kivo::Client::kZeroIdentifier, 0},
        {"interest 0", Operation::kAddInterest,
         [](Views& v) {
             v.topic = Topic{{17, 0}, {Named(u"a")}};
         },
         Kivo::Client::kZeroIdentifier, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KivoTest::TraceRecorder traces;
        InProcessService service(c.operation == Operation::kAddInterest ? 2 : 1);
        c.answer(*service.views);
        const auto reader = std::make_shared<Objects>();
        reader->throwFirst = c.throwFirst;
        std::unique_ptr<Kivo::Subscription> holder = std::make_unique<Sentinel>();
        const Kivo::Subscription* const before = holder.get();

        const Common::Error end = service.Run(c.operation, reader, holder);
        EXPECT_EQ(end.Code(), c.code);
        EXPECT_EQ(reader->heard.size(), c.heard);
        EXPECT_EQ(holder.get() == before, c.code != 0 || c.operation == Operation::kReport);
        if (c.code == Kivo::Client::kZeroIdentifier) {
            const char16_t* method =
                c.operation == Operation::kAddInterest ? u"AddInterest" : u"OpenDynamicView";
            EXPECT_EQ(end.Message(),
                      Common::FormatCatalogMessage(
                          Common::GetCatalogMessage(Common::kMsgKivoZeroIdentifier), {method}));
        }
        size_t callbackErrors = 0;
        for (const auto& [level, error] : traces.Errors()) {
            if (error.Code() == Kivo::Detail::kExceptionFromCallback && level == 1 &&
                error.Reason().Code() == 0x77)
                ++callbackErrors;
        }
        EXPECT_EQ(callbackErrors, c.throwFirst ? 1u : 0u);
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
