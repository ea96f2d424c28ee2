// The view manager through our IPC client library's in-process transport: every method through
// the proxy and as a started call job, on the library's threads; failures reported by the
// service. The call-job contract itself (cancels, Deinit in flight) is tested with the library.

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/tests/ipc_test_support.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/ipc/view_manager/view_manager_stub.h"
#include "platform/ipc_client/platform_library.h"

namespace {

using IpcTest::DWord;
using IpcTest::Machine;
using IpcTest::RecordingViewManager;
using IpcTest::SameUnit;
using IpcTest::SameUnits;
using Kivo::ViewSpec;
using namespace Kivo::ViewManagement;

constexpr uint32_t kKivoService = 46;

ViewSpec Query() {
    return ViewSpec{Machine(u"pattern", 1), Machine(u"options", 2)};
}

std::vector<ViewUpdate> SomeUpdates() {
    return {ViewUpdate{0, DWord(1), Machine(u"new", 5)}, ViewUpdate{2, DWord(3), nullptr}};
}

void ExpectSameUpdates(const std::vector<ViewUpdate>& left, const std::vector<ViewUpdate>& right) {
    ASSERT_EQ(left.size(), right.size());
    for (size_t i = 0; i < left.size(); ++i) {
        EXPECT_EQ(left[i].Type, right[i].Type);
        EXPECT_TRUE(SameUnit(left[i].Key, right[i].Key));
        EXPECT_TRUE(SameUnit(left[i].PackedUpdate, right[i].PackedUpdate));
    }
}

// The library installed and initialised, the view manager served as component 271 of the KIVO
// service, and an access point to it made by the local connection.
struct InProcessService {
    InProcessService()
        : registration(kKivoService, std::make_shared<ViewManager_Stub>(service, 2)) {
        EXPECT_TRUE(client.InitError().IsEmpty());
        std::unique_ptr<Binding::AccessPoint> connected;
        EXPECT_TRUE(Binding::Detail::ConnectLocalImpl(kKivoService, 0, connected).IsEmpty());
        accessPoint = std::move(connected);
    }

    IPCClient::ScopedPlatformLibrary library;
    std::shared_ptr<RecordingViewManager> service = std::make_shared<RecordingViewManager>();
    Binding::ScopedLocalComponent registration;
    Binding::ScopedIPCClient client;
    std::shared_ptr<Binding::AccessPoint> accessPoint;
};

// Hears a started call; OnFinished is last and wakes WaitFinished.
class Handler final : public JobManagement::JobHandler {
  public:
    void OnSucceeded() override { Record(Common::Error(), "succeeded"); }
    void OnFailed(const Common::Error& error) override { Record(error, "failed"); }
    void OnFinished() override {
        std::lock_guard<std::mutex> hold(lock_);
        slots_ += "finished";
        finished_.notify_all();
    }
    // The slots heard, in order, and the failure.
    std::string WaitFinished(Common::Error* failure = nullptr) {
        std::unique_lock<std::mutex> hold(lock_);
        finished_.wait(hold, [this] { return slots_.ends_with("finished"); });
        if (failure != nullptr) {
            *failure = failure_;
        }
        return slots_;
    }

  private:
    void Record(const Common::Error& error, const char* slot) {
        std::lock_guard<std::mutex> hold(lock_);
        failure_ = error;
        slots_ += slot;
        slots_ += ",";
    }
    std::mutex lock_;
    std::condition_variable finished_;
    std::string slots_;
    Common::Error failure_;
};

// Starts `request` and waits for its ending; returns the slots heard.
std::string RunStarted(Binding::AccessPoint& accessPoint, std::unique_ptr<Binding::Request> request,
                       Common::Error* failure = nullptr) {
    std::unique_ptr<Binding::CallJob> job;
    Handler handler;
    if (!accessPoint.Call(std::move(request), job).IsEmpty() || !job->Start(handler).IsEmpty()) {
        return "not started";
    }
    return handler.WaitFinished(failure);
}

TEST(InProcessViewManager, EveryMethodThroughTheProxy) {
    InProcessService fixture;
    RecordingViewManager& service = *fixture.service;
    ViewManager_Proxy proxy(fixture.accessPoint);
    service.viewID = 41;
    service.snapshot = {Machine(u"one", 10), nullptr};
    service.updates = SomeUpdates();
    service.subscription = Subscription{17};
    service.topic = Topic{{17, 3}, {Machine(u"match", 8)}};
    service.content = SubscriptionContent{SomeUpdates()};

    uint32_t viewID = 0;
    UnitVector snapshot;
    ASSERT_TRUE(proxy.OpenDynamicView(Query(), viewID, snapshot).IsEmpty());
    EXPECT_EQ(service.lastMethod, 1u);
    EXPECT_TRUE(SameUnit(service.receivedSpec.Pattern, Query().Pattern));
    EXPECT_EQ(viewID, 41u);
    EXPECT_TRUE(SameUnits(snapshot, service.snapshot));

    UnitVector report;
    ASSERT_TRUE(proxy.OpenStaticView(ViewSpec{DWord(7), nullptr}, report).IsEmpty());
    EXPECT_EQ(service.lastMethod, 2u);
    EXPECT_TRUE(SameUnits(report, service.snapshot));

    std::vector<ViewUpdate> updates;
    ASSERT_TRUE(proxy.AcquireUpdates(41, updates).IsEmpty());
    EXPECT_EQ(service.receivedId, 41u);
    ExpectSameUpdates(updates, service.updates);

    ASSERT_TRUE(proxy.CloseView(41).IsEmpty());
    EXPECT_EQ(service.lastMethod, 4u);

    Subscription subscription;
    ASSERT_TRUE(proxy.Subscribe(SubscriptionSpec{}, subscription).IsEmpty());
    EXPECT_EQ(subscription.ID, 17u);

    Topic topic;
    ASSERT_TRUE(proxy.AddInterest(TopicSpec{17, Query()}, topic).IsEmpty());
    EXPECT_EQ(service.receivedTopicSpec.Subscription, 17u);
    EXPECT_EQ(topic.ID.Interest, 3u);
    EXPECT_TRUE(SameUnits(topic.Content, service.topic.Content));

    SubscriptionContent content;
    ASSERT_TRUE(proxy.ReadSubscription(17, content).IsEmpty());
    ExpectSameUpdates(content.TopicUpdates, service.content.TopicUpdates);

    ASSERT_TRUE(proxy.RemoveInterest(TopicID{17, 3}).IsEmpty());
    EXPECT_EQ(service.receivedTopic.Interest, 3u);

    ASSERT_TRUE(proxy.Unsubscribe(17).IsEmpty());
    EXPECT_EQ(service.lastMethod, 9u);

    uint32_t version = 0;
    ASSERT_TRUE(fixture.accessPoint->GetComponentVersion(271, version).IsEmpty());
    EXPECT_EQ(version, 2u);
}

TEST(InProcessViewManager, EveryMethodAsAStartedCallJob) {
    InProcessService fixture;
    RecordingViewManager& service = *fixture.service;
    Binding::AccessPoint& accessPoint = *fixture.accessPoint;
    service.viewID = 41;
    service.snapshot = {Machine(u"one", 10)};
    service.updates = SomeUpdates();
    service.subscription = Subscription{17};
    service.topic = Topic{{17, 3}, {Machine(u"match", 8)}};
    service.content = SubscriptionContent{SomeUpdates()};
    const std::string succeeded = "succeeded,finished";

    uint32_t viewID = 0;
    UnitVector snapshot;
    EXPECT_EQ(RunStarted(accessPoint, CreateOpenDynamicViewRequest(Query(), viewID, snapshot)),
              succeeded);
    EXPECT_EQ(viewID, 41u);
    EXPECT_TRUE(SameUnits(snapshot, service.snapshot));

    UnitVector report;
    EXPECT_EQ(RunStarted(accessPoint, CreateOpenStaticViewRequest(Query(), report)), succeeded);
    EXPECT_EQ(service.lastMethod, 2u);
    EXPECT_TRUE(SameUnits(report, service.snapshot));

    std::vector<ViewUpdate> updates;
    EXPECT_EQ(RunStarted(accessPoint, CreateAcquireUpdatesRequest(41, updates)), succeeded);
    ExpectSameUpdates(updates, service.updates);

    EXPECT_EQ(RunStarted(accessPoint, CreateCloseViewRequest(41)), succeeded);
    EXPECT_EQ(service.lastMethod, 4u);

    Subscription subscription;
    EXPECT_EQ(RunStarted(accessPoint, CreateSubscribeRequest(SubscriptionSpec{}, subscription)),
              succeeded);
    EXPECT_EQ(subscription.ID, 17u);

    Topic topic;
    EXPECT_EQ(RunStarted(accessPoint, CreateAddInterestRequest(TopicSpec{17, Query()}, topic)),
              succeeded);
    EXPECT_EQ(topic.ID.Subscriber, 17u);
    EXPECT_TRUE(SameUnits(topic.Content, service.topic.Content));

    SubscriptionContent content;
    EXPECT_EQ(RunStarted(accessPoint, CreateReadSubscriptionRequest(17, content)), succeeded);
    ExpectSameUpdates(content.TopicUpdates, service.content.TopicUpdates);

    EXPECT_EQ(RunStarted(accessPoint, CreateRemoveInterestRequest(TopicID{17, 3})), succeeded);
    EXPECT_EQ(service.receivedTopic.Subscriber, 17u);

    EXPECT_EQ(RunStarted(accessPoint, CreateUnsubscribeRequest(17)), succeeded);
    EXPECT_EQ(service.lastMethod, 9u);
}

TEST(InProcessViewManager, AReplyWithAResultFailsTheCallAndLeavesTheOutputs) {
    InProcessService fixture;
    RecordingViewManager& service = *fixture.service;
    service.outcome = Common::Error(COMMON_PLACE("Service::Refuse"), 0xFC0031, u"no such view");
    service.viewID = 41;
    service.snapshot = {DWord(1)};

    // Synchronously: a failed OpenDynamicView must not read as view 0 with no objects.
    ViewManager_Proxy proxy(fixture.accessPoint);
    uint32_t viewID = 5;
    UnitVector snapshot{DWord(9)};
    const Common::Error failure = proxy.OpenDynamicView(Query(), viewID, snapshot);
    EXPECT_EQ(failure.Code(), 0xFC0031u);
    EXPECT_EQ(failure.Message(), u"no such view");
    EXPECT_EQ(viewID, 5u);
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_TRUE(SameUnit(snapshot[0], DWord(9)));

    Common::Error started;
    EXPECT_EQ(RunStarted(*fixture.accessPoint,
                         CreateOpenDynamicViewRequest(Query(), viewID, snapshot), &started),
              "failed,finished");
    EXPECT_EQ(started.Code(), 0xFC0031u);
    EXPECT_EQ(viewID, 5u);
    EXPECT_EQ(snapshot.size(), 1u);
}

}  // namespace
