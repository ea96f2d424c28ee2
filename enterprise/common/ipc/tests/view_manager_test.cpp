// The view manager over the binding: every method through the proxy, a service stub and an
// in-test access point; failures on either side; the component descriptors and their registry.

#include "enterprise/common/ipc/view_manager/view_manager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "enterprise/common/ipc/component_info.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/component_descriptors.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "enterprise/serialize/xml_packet_deserializer.h"

namespace {

using IpcTest::DWord;
using IpcTest::Loopback;
using IpcTest::Machine;
using IpcTest::RecordingViewManager;
using IpcTest::SameUnit;
using IpcTest::SameUnits;
using Kivo::ViewSpec;
using namespace Kivo::ViewManagement;

// The name of the first element inside the root of `packet`.
std::string SectionOf(const std::vector<uint8_t>& packet) {
    const std::string body = IpcTest::Body(packet);
    return body.substr(1, body.find('>') - 1);
}

ViewSpec Query() {
    return ViewSpec{Machine(u"pattern", 1), Machine(u"options", 2)};
}

void ExpectSameSpec(const ViewSpec& left, const ViewSpec& right) {
    EXPECT_TRUE(SameUnit(left.Pattern, right.Pattern));
    EXPECT_TRUE(SameUnit(left.Options, right.Options));
}

void ExpectSameUpdates(const std::vector<ViewUpdate>& left, const std::vector<ViewUpdate>& right) {
    ASSERT_EQ(left.size(), right.size());
    for (size_t i = 0; i < left.size(); ++i) {
        EXPECT_EQ(left[i].Type, right[i].Type);
        EXPECT_TRUE(SameUnit(left[i].Key, right[i].Key));
        EXPECT_TRUE(SameUnit(left[i].PackedUpdate, right[i].PackedUpdate));
    }
}

std::vector<ViewUpdate> SomeUpdates() {
    return {ViewUpdate{0, DWord(1), Machine(u"new", 5)}, ViewUpdate{1, DWord(2), DWord(9)},
            ViewUpdate{2, DWord(3), nullptr}};
}

TEST(ViewManagerProxy, ViewMethodsCarryTheirParametersBothWays) {
    Loopback loopback;
    RecordingViewManager& service = *loopback.service;
    service.viewID = 41;
    service.snapshot = {Machine(u"one", 10), nullptr, Machine(u"two", 20)};
    service.updates = SomeUpdates();

    uint32_t viewID = 0;
    UnitVector snapshot;
    ASSERT_TRUE(loopback.proxy.OpenDynamicView(Query(), viewID, snapshot).IsEmpty());
    EXPECT_EQ(service.lastMethod, 1u);
    ExpectSameSpec(service.receivedSpec, Query());
    EXPECT_EQ(viewID, 41u);
    EXPECT_TRUE(SameUnits(snapshot, service.snapshot));

    UnitVector report{DWord(99)};
    ASSERT_TRUE(loopback.proxy.OpenStaticView(ViewSpec{DWord(7), nullptr}, report).IsEmpty());
    EXPECT_EQ(service.lastMethod, 2u);
    ExpectSameSpec(service.receivedSpec, ViewSpec{DWord(7), nullptr});
    EXPECT_TRUE(SameUnits(report, service.snapshot));

    std::vector<ViewUpdate> updates;
    ASSERT_TRUE(loopback.proxy.AcquireUpdates(41, updates).IsEmpty());
    EXPECT_EQ(service.lastMethod, 3u);
    EXPECT_EQ(service.receivedId, 41u);
    ExpectSameUpdates(updates, service.updates);

    ASSERT_TRUE(loopback.proxy.CloseView(4294967295u).IsEmpty());
    EXPECT_EQ(service.lastMethod, 4u);
    EXPECT_EQ(service.receivedId, 4294967295u);

    std::vector<std::string> sections;
    for (const auto& packet : loopback.accessPoint->Requests()) {
        sections.push_back(SectionOf(packet));
    }
    for (const auto& packet : loopback.accessPoint->Replies()) {
        sections.push_back(SectionOf(packet));
    }
    EXPECT_THAT(sections,
                testing::ElementsAre(
                    "request_ViewManager_OpenDynamicView", "request_ViewManager_OpenStaticView",
                    "request_ViewManager_AcquireUpdates", "request_ViewManager_CloseView",
                    "reply_ViewManager_OpenDynamicView", "reply_ViewManager_OpenStaticView",
                    "reply_ViewManager_AcquireUpdates", "reply_ViewManager_CloseView"));
}

TEST(ViewManagerProxy, SubscriptionMethodsCarryTheirParametersBothWays) {
    Loopback loopback;
    RecordingViewManager& service = *loopback.service;
    service.subscription = Subscription{17};
    service.topic = Topic{{17, 3}, {Machine(u"match", 8)}};
    service.content = SubscriptionContent{SomeUpdates()};

    Subscription subscription;
    ASSERT_TRUE(loopback.proxy.Subscribe(SubscriptionSpec{}, subscription).IsEmpty());
    EXPECT_EQ(service.lastMethod, 5u);
    EXPECT_EQ(subscription.ID, 17u);

    Topic topic;
    const TopicSpec spec{17, Query()};
    ASSERT_TRUE(loopback.proxy.AddInterest(spec, topic).IsEmpty());
    EXPECT_EQ(service.lastMethod, 6u);
    EXPECT_EQ(service.receivedTopicSpec.Subscription, 17u);
    ExpectSameSpec(service.receivedTopicSpec.Interest, Query());
    EXPECT_EQ(topic.ID.Subscriber, 17u);
    EXPECT_EQ(topic.ID.Interest, 3u);
    EXPECT_TRUE(SameUnits(topic.Content, service.topic.Content));

    SubscriptionContent content;
    ASSERT_TRUE(loopback.proxy.ReadSubscription(17, content).IsEmpty());
    EXPECT_EQ(service.lastMethod, 7u);
    EXPECT_EQ(service.receivedId, 17u);
    ExpectSameUpdates(content.TopicUpdates, service.content.TopicUpdates);

    ASSERT_TRUE(loopback.proxy.RemoveInterest(TopicID{17, 3}).IsEmpty());
    EXPECT_EQ(service.lastMethod, 8u);
    EXPECT_EQ(service.receivedTopic.Subscriber, 17u);
    EXPECT_EQ(service.receivedTopic.Interest, 3u);

    ASSERT_TRUE(loopback.proxy.Unsubscribe(17).IsEmpty());
    EXPECT_EQ(service.lastMethod, 9u);
    EXPECT_EQ(service.receivedId, 17u);
    EXPECT_EQ(loopback.accessPoint->CallCount(), 5u);
}

TEST(ViewManagerProxy, FailedMethodReturnsTheServiceErrorAndLeavesOutputs) {
    Loopback loopback;
    RecordingViewManager& service = *loopback.service;
    service.outcome = Common::Error(COMMON_PLACE("Service::Refuse"), 0xFC0031, u"no such view");
    service.viewID = 41;
    service.snapshot = {DWord(1)};
    service.topic = Topic{{1, 2}, {DWord(3)}};
    service.content = SubscriptionContent{SomeUpdates()};

    uint32_t viewID = 5;
    UnitVector snapshot;
    const Common::Error failure = loopback.proxy.OpenDynamicView(Query(), viewID, snapshot);
    EXPECT_EQ(failure.Code(), 0xFC0031u);
    EXPECT_EQ(failure.Message(), u"no such view");
    EXPECT_EQ(viewID, 5u);
    EXPECT_TRUE(snapshot.empty());

    Topic topic{{8, 9}, {}};
    EXPECT_EQ(loopback.proxy.AddInterest(TopicSpec{}, topic).Code(), 0xFC0031u);
    EXPECT_EQ(topic.ID.Subscriber, 8u);
    EXPECT_TRUE(topic.Content.empty());

    SubscriptionContent content;
    EXPECT_EQ(loopback.proxy.ReadSubscription(1, content).Code(), 0xFC0031u);
    EXPECT_TRUE(content.TopicUpdates.empty());
}

TEST(ViewManagerProxy, CallFailureSendsNothingAndCorruptReplyFailsTheCall) {
    Loopback loopback;
    loopback.accessPoint->FailCalls(Common::Error(COMMON_PLACE("Transport"), 0x2740004));
    UnitVector snapshot;
    EXPECT_EQ(loopback.proxy.OpenStaticView(Query(), snapshot).Code(), 0x2740004u);
    EXPECT_EQ(loopback.service->lastMethod, 0u);

    loopback.accessPoint->FailCalls(Common::Error());
    loopback.service->snapshot = {DWord(1)};
    loopback.accessPoint->EditReplies([](std::vector<uint8_t> reply) {
        reply.resize(reply.size() / 2);
        return reply;
    });
    IpcTest::TraceRecorder trace;
    EXPECT_EQ(loopback.proxy.OpenStaticView(Query(), snapshot).Code(),
              Serialization::kPacketInconsistent);
    EXPECT_EQ(loopback.service->lastMethod, 2u);
    EXPECT_TRUE(snapshot.empty());
}

TEST(ViewManagerProxy, WithoutAccessPointEveryMethodFails) {
    IpcTest::TraceRecorder trace;
    ViewManager_Proxy proxy(nullptr);
    EXPECT_EQ(trace.Assertions().size(), 1u);
    EXPECT_EQ(proxy.CloseView(1).Code(), kDisposedAccessPoint);
    Subscription subscription{4};
    EXPECT_EQ(proxy.Subscribe(SubscriptionSpec{}, subscription).Code(), kDisposedAccessPoint);
    EXPECT_EQ(subscription.ID, 4u);
}

TEST(ViewManagerStub, UnreadableRequestIsAnsweredWithTheErrorWithoutCallingTheService) {
    auto service = std::make_shared<RecordingViewManager>();
    ViewManager_Stub stub(service, 2);
    EXPECT_EQ(stub.GetComponentID(), 271u);
    EXPECT_EQ(stub.GetInterfaceVersion(), 2u);

    // The CloseView request without its viewID, and a request of another method.
    for (const std::string& body :
         {std::string("<request_ViewManager_CloseView></request_ViewManager_CloseView>"),
          std::string("<request_ViewManager_Unsubscribe><subscriber>1</subscriber>"
                      "</request_ViewManager_Unsubscribe>")}) {
        IpcTest::TraceRecorder trace;
        const std::vector<uint8_t> reply = stub.HandleCall(4, IpcTest::Packet(body));
        Serialization::XMLPacketDeserializer in(IpcTest::Text(reply), 0);
        in.BeginTag("reply_ViewManager_CloseView");
        Common::Error result;
        in.ReadError("result", result);
        EXPECT_EQ(result.Code(), Serialization::kPacketInconsistent) << body;
        EXPECT_EQ(service->lastMethod, 0u);
    }
}

TEST(ViewManagerStub, UnknownMethodIsRefused) {
    ViewManager_Stub stub(std::make_shared<RecordingViewManager>(), 1);
    for (uint32_t method : {0u, 10u}) {
        try {
            stub.HandleCall(method, IpcTest::Packet(""));
            ADD_FAILURE() << method;
        } catch (const Common::Error& error) {
            EXPECT_EQ(error.Code(), Core::kUnknownMethod);
        }
    }
}

TEST(ComponentDescriptors, MethodRangesAndVersions) {
    const Core::ComponentInfo& views = ViewManagerComponentInfo();
    EXPECT_EQ(views.GetComponentID(), 271u);
    EXPECT_EQ(views.GetInterfaceVersion(), 2u);
    Core::MethodInfo info{7, 7};
    ASSERT_TRUE(views.GetMethodInfo(9, info).IsEmpty());
    EXPECT_EQ(info.first, 0u);
    EXPECT_EQ(info.second, 2u);
    EXPECT_TRUE(views.GetMethodInfo(1, info).IsEmpty());
    for (uint32_t method : {0u, 10u}) {
        Core::MethodInfo untouched{7, 7};
        const Common::Error error = views.GetMethodInfo(method, untouched);
        EXPECT_EQ(error.Code(), Core::kUnknownMethod);
        EXPECT_TRUE(error.Message().empty());
        EXPECT_STREQ(error.Place().function,
                     "(anonymous namespace)::ComponentInfoImpl<271>::GetMethodInfo");
        EXPECT_STREQ(error.Place().file, "enterprise/common/ipc/view_manager/kivo_view_common.cpp");
        EXPECT_EQ(untouched.first, 7u);
    }

    const Core::ComponentInfo& registry = ObjectRegistryComponentInfo();
    EXPECT_EQ(registry.GetComponentID(), 274u);
    EXPECT_EQ(registry.GetInterfaceVersion(), 1u);
    EXPECT_TRUE(registry.GetMethodInfo(3, info).IsEmpty());
    const Common::Error error = registry.GetMethodInfo(4, info);
    EXPECT_EQ(error.Code(), Core::kUnknownMethod);
    EXPECT_STREQ(error.Place().function,
                 "(anonymous namespace)::ComponentInfoImpl<274>::GetMethodInfo");
}

class StandIn final : public Core::ComponentInfo {
  public:
    uint32_t GetComponentID() const override { return 271; }
    Common::Error GetMethodInfo(uint32_t, Core::MethodInfo&) const override {
        return Common::Error();
    }
    uint32_t GetInterfaceVersion() const override { return 1; }
};

TEST(ComponentDescriptors, RegistryFindsAndADuplicateReplaces) {
    EXPECT_EQ(Core::FindComponentInfo(999), nullptr);
    RegisterComponentDescriptors();
    EXPECT_EQ(Core::FindComponentInfo(271), &ViewManagerComponentInfo());
    EXPECT_EQ(Core::FindComponentInfo(274), &ObjectRegistryComponentInfo());

    static const StandIn standIn;
    Core::RegisterComponentInfo(standIn);
    EXPECT_EQ(Core::FindComponentInfo(271), &standIn);
    EXPECT_EQ(Core::FindComponentInfo(274), &ObjectRegistryComponentInfo());
    RegisterComponentDescriptors();
    EXPECT_EQ(Core::FindComponentInfo(271), &ViewManagerComponentInfo());
}

}  // namespace
