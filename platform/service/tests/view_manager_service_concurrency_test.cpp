// The service's view manager over a store in a scratch folder: identifiers per connection, long
// polls woken by commits or ended by their bound, interests merged in commit order, a closed
// connection that leaves nothing behind, lost history as a channel error, the reply limit and
// interface version 1; then two listeners of the real client sharing one subscriber.

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "core/ipc_client_api/ipc_client.h"
#include "core/ipc_client_api/local_components.h"
#include "enterprise/common/async/waiting_handler.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/kivo/client/remoting.h"
#include "enterprise/common/zaph/unit_builder.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "enterprise/common/zaph/value_access.h"
#include "platform/async_service/platform_service.h"
#include "platform/ipc_client/platform_library.h"
#include "platform/service/reply_bounds.h"
#include "platform/service/view_manager_service.h"
#include "platform/store/store_errors.h"
#include "tests/support/sample_objects.h"
#include "tests/support/temporary_folder.h"

namespace {

using namespace Kivo::ViewManagement;
using Kivo::ViewSpec;
using KivoService::ServiceCounts;
using KivoTestSupport::GuidObject;
using KivoTestSupport::TypePattern;

// One call made straight to the component, and its outcome once answered.
struct Answer {
    std::unique_ptr<Binding::Request> request;
    std::mutex lock;
    std::condition_variable answered;
    bool done = false;
    Common::Error outcome;
    size_t replyBytes = 0;

    bool Done() {
        std::lock_guard<std::mutex> hold(lock);
        return done;
    }
    uint32_t Code() {
        std::unique_lock<std::mutex> hold(lock);
        EXPECT_TRUE(answered.wait_for(hold, std::chrono::seconds(30), [this] { return done; }));
        return outcome.Code();
    }
};

class ServiceTest : public ::testing::Test {
  protected:
    void Open(const KivoService::ServiceOptions& options, uint64_t retained = 1000) {
        KivoStore::CreateStore(folder_.WideFile("s.db"), {std::chrono::hours(1), retained});
        store_ = KivoStore::Store::Open(folder_.WideFile("s.db"));
        service_ = KivoService::ViewManagerService::Start(store_, options);
    }
    std::shared_ptr<Answer> Start(uint64_t connection, std::unique_ptr<Binding::Request> request) {
        auto answer = std::make_shared<Answer>();
        const std::vector<uint8_t> packet = request->Pack();
        answer->request = std::move(request);
        service_->StartCall(connection, answer->request->GetMethodID(), packet,
                            [answer](const Common::Error& failure, std::vector<uint8_t> reply) {
                                std::lock_guard<std::mutex> hold(answer->lock);
                                answer->outcome = failure.IsEmpty()
                                                      ? answer->request->DeserializeReply(reply)
                                                      : failure;
                                answer->replyBytes = reply.size();
                                answer->done = true;
                                answer->answered.notify_all();
                            });
        return answer;
    }
    uint32_t Call(uint64_t connection, std::unique_ptr<Binding::Request> request) {
        return Start(connection, std::move(request))->Code();
    }
    void Write(std::initializer_list<std::pair<std::u16string, int>> objects) {
        const auto batch = store_->BeginBatch();
        for (const auto& [type, n] : objects)
            batch->CreateObject(GuidObject(Guid(n), type, type + u"-" + char16_t(u'0' + n)));
        batch->Commit();
    }
    static Common::Guid Guid(int n) {
        return KivoTestSupport::MakeGuid(
            ("00000000-0000-0000-0000-0000000000" + std::to_string(10 + n)).c_str());
    }
    ServiceCounts Counts() { return service_->Counts(); }
    // Opens a view of the machines and subscriber 1 with `interests` over `connection`; the view.
    uint32_t OpenViewAndSubscriber(uint64_t connection,
                                   std::initializer_list<const ViewSpec*> interests) {
        uint32_t view = 0;
        UnitVector units;
        Subscription subscriber;
        Topic topic;
        EXPECT_EQ(0u, Call(connection, CreateOpenDynamicViewRequest(machines_, view, units)));
        EXPECT_EQ(0u, Call(connection, CreateSubscribeRequest({}, subscriber)));
        for (const ViewSpec* interest : interests)
            EXPECT_EQ(0u, Call(connection, CreateAddInterestRequest({1, *interest}, topic)));
        return view;
    }

    KivoTestSupport::TemporaryFolder folder_;
    std::shared_ptr<KivoStore::Store> store_;
    std::shared_ptr<KivoService::ViewManagerService> service_;
    const ViewSpec machines_{TypePattern(u"Machine"), nullptr};
    const ViewSpec users_{TypePattern(u"User"), nullptr};
};

// "<type>:<ChannelID> " per update.
std::string Keys(const std::vector<ViewUpdate>& updates) {
    std::string text;
    for (const ViewUpdate& update : updates) {
        text += std::to_string(update.Type) + ":";
        auto channel = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const auto& trait) {
            text += std::to_string(Zaph::Util::GetValue<uint32_t>(trait.GetValue())) + " ";
            return false;
        });
        update.Key->GetTraits().ForEachNamed(Zaph::Name("ChannelID"), channel);
    }
    return text;
}

Zaph::View::SharedUnitPtr Limit(uint32_t count) {
    return Zaph::View::SharedUnitPtr(
        Zaph::Util::FluentUnitBuilder(Zaph::Construction::DefaultUnitFactory())
            .Nil()
            .Trait("LimitOptions")
            .DWord(count)
            .End()
            .End()
            .TakeResult());
}

TEST_F(ServiceTest, IdentifiersBelongToTheirConnectionAndReadsEndAtTheirBound) {
    Open({.pollBound = std::chrono::milliseconds(1)});
    uint32_t view = 0;
    UnitVector units;
    Subscription subscriber;
    Topic topic;
    for (uint64_t connection : {7u, 8u}) {
        EXPECT_EQ(0u, Call(connection, CreateOpenDynamicViewRequest(machines_, view, units)));
        EXPECT_EQ(1u, view);
        EXPECT_EQ(0u, Call(connection, CreateSubscribeRequest({}, subscriber)));
        EXPECT_EQ(1u, subscriber.ID);
    }
    EXPECT_EQ(0u, Call(7, CreateAddInterestRequest({1, machines_}, topic)));
    EXPECT_EQ(1u, topic.ID.Interest);
    EXPECT_EQ(0u, Call(8, CreateCloseViewRequest(1)));
    std::vector<ViewUpdate> updates;
    SubscriptionContent content{{ViewUpdate{}}};  // a client's leftovers are not sent back
    EXPECT_EQ(0u, Call(7, CreateReadSubscriptionRequest(1, content)));
    EXPECT_TRUE(content.TopicUpdates.empty());
    struct {
        std::unique_ptr<Binding::Request> request;
        uint32_t code;
    } cases[] = {
        {CreateAcquireUpdatesRequest(1, updates), KivoService::kUnknownView},  // closed
        {CreateCloseViewRequest(0), KivoService::kUnknownView},
        {CreateReadSubscriptionRequest(2, content), KivoService::kUnknownSubscriber},
        {CreateRemoveInterestRequest({1, 1}), KivoService::kUnknownInterest},  // 7's interest
        {CreateAddInterestRequest({9, machines_}, topic), KivoService::kUnknownSubscriber},
        {CreateUnsubscribeRequest(3), KivoService::kUnknownSubscriber},
    };
    for (auto& [request, code] : cases)
        EXPECT_EQ(code, Call(8, std::move(request)));
}

TEST_F(ServiceTest, ReadsWaitForACommitAndMergeInterestsInCommitOrder) {
    Open({});
    const uint32_t view = OpenViewAndSubscriber(1, {&machines_, &users_});
    std::vector<ViewUpdate> updates;
    const auto parked = Start(1, CreateAcquireUpdatesRequest(view, updates));
    EXPECT_FALSE(parked->Done());
    EXPECT_EQ((ServiceCounts{1, 1, 1, 2, 1}), Counts());
    Write({{u"Machine", 1}});
    EXPECT_EQ(0u, parked->Code());
    EXPECT_EQ(1u, updates.size());
    Write({{u"User", 2}});
    Write({{u"Machine", 3}, {u"Other", 4}});
    SubscriptionContent content;
    EXPECT_EQ(0u, Call(1, CreateReadSubscriptionRequest(1, content)));
    EXPECT_EQ("0:1 0:2 0:1 ", Keys(content.TopicUpdates));
}

TEST_F(ServiceTest, AClosedConnectionLeavesNothingBehind) {
    Open({});
    const uint32_t view = OpenViewAndSubscriber(2, {&machines_});
    std::vector<ViewUpdate> updates;
    SubscriptionContent content;
    const auto reads = {Start(2, CreateAcquireUpdatesRequest(view, updates)),
                        Start(2, CreateReadSubscriptionRequest(1, content))};
    EXPECT_EQ((ServiceCounts{1, 1, 1, 1, 2}), Counts());
    service_->ConnectionClosed(2);
    for (const auto& read : reads)
        EXPECT_EQ(Binding::kIpcClientConnectionClosed, read->Code());
    EXPECT_EQ(ServiceCounts{}, Counts());
}

TEST_F(ServiceTest, AnInterestThatLostHistoryEndsWithAChannelError) {
    Open({}, 1);
    Subscription subscriber;
    Topic topic;
    ASSERT_EQ(0u, Call(4, CreateSubscribeRequest({}, subscriber)));
    ASSERT_EQ(0u, Call(4, CreateAddInterestRequest({1, machines_}, topic)));
    Write({{u"Machine", 1}, {u"Machine", 2}, {u"Machine", 3}});
    SubscriptionContent content;
    ASSERT_EQ(0u, Call(4, CreateReadSubscriptionRequest(1, content)));
    ASSERT_EQ(1u, content.TopicUpdates.size());
    const Zaph::View::Unit& key = *content.TopicUpdates[0].Key;
    EXPECT_TRUE(Zaph::Util::HasTrait(key, Zaph::Name("ChannelError")));
    EXPECT_EQ(KivoStore::kHistoryLost, Zaph::Util::GetValue<Common::Error>(key).Code());
    EXPECT_EQ(0u, Counts().interests);
}

TEST_F(ServiceTest, ReplyLimitAndInterfaceVersionOne) {
    Open({.interfaceVersion = 1, .replyLimit = 8 << 10});
    for (int batch = 0; batch < 8; ++batch)
        Write({{u"Machine", 10 * batch + 1},
               {u"Machine", 10 * batch + 2},
               {u"Machine", 10 * batch + 3},
               {u"Machine", 10 * batch + 4}});
    UnitVector units;
    EXPECT_EQ(KivoService::kReplyTooLarge, Call(5, CreateOpenStaticViewRequest(machines_, units)));
    const ViewSpec three{machines_.Pattern, Limit(3)};
    EXPECT_EQ(0u, Call(5, CreateOpenStaticViewRequest(three, units)));
    EXPECT_EQ(3u, units.size());
    Subscription subscriber;
    EXPECT_EQ(KivoService::kMethodNotOffered, Call(5, CreateSubscribeRequest({}, subscriber)));
    EXPECT_EQ(1u, service_->GetInterfaceVersion());
    // An answer fits within the limit with the packet around its objects: one object alone,
    // under a limit that its own bytes fill, is refused.
    const auto writer = store_->BeginBatch();
    writer->CreateObject(GuidObject(Guid(99), u"Big", std::u16string(1000, u'b')));
    writer->Commit();
    const ViewSpec big{TypePattern(u"Big"), nullptr};
    ASSERT_EQ(0u, Call(5, CreateOpenStaticViewRequest(big, units)));
    ASSERT_EQ(1u, units.size());
    const size_t limit = KivoService::UnitReplyBytes(*units[0]);
    service_ = KivoService::ViewManagerService::Start(store_, {.replyLimit = limit});
    const auto answer = Start(5, CreateOpenStaticViewRequest(big, units));
    EXPECT_TRUE(answer->Code() == KivoService::kReplyTooLarge || answer->replyBytes <= limit)
        << answer->replyBytes << " bytes over a limit of " << limit;
}

// What a listener of the real client heard: the names of the objects created.
class Listener final : public Kivo::ReportReader, public Kivo::SubscriptionReader {
  public:
    using Kivo::ReportReader::OnObject, Kivo::SubscriptionReader::OnCreated;
    void OnObject(const Zaph::View::SharedUnitPtr& object) override { OnCreated(object); }
    void OnCreated(const Zaph::View::SharedUnitPtr& object) override {
        heard += KivoTestSupport::PropertyText(object, "Name") + " ";
    }
    void OnUpdated(const Zaph::View::SharedUnitPtr&, const Zaph::View::SharedUnitPtr&) override {}
    void OnDeleted(const Zaph::View::SharedUnitPtr&) override {}
    std::string heard;
};

TEST_F(ServiceTest, TwoListenersOfTheClientShareOneSubscriberOfTheirConnection) {
    Open({});
    Write({{u"Machine", 1}, {u"User", 2}});
    AsyncService::ScopedAsyncService async{AsyncService::ServiceOptions{2, 4}};
    IPCClient::ScopedPlatformLibrary library;
    Binding::ScopedLocalComponent registration(90, service_);
    {
        // Its end joins the library's threads, the last holders of the connection.
        Binding::ScopedIPCClient client;
        std::unique_ptr<Binding::AccessPoint> connected;
        ASSERT_TRUE(Binding::Detail::ConnectLocalImpl(90, 0, connected).IsEmpty());
        const std::unique_ptr<Kivo::PostOffice> postOffice =
            Kivo::CreateRemoteViewProvider(std::move(connected));
        const Core::EntryPoint caller{1, "service_test.cpp", 1, 1};
        std::shared_ptr<Listener> listeners[] = {std::make_shared<Listener>(),
                                                 std::make_shared<Listener>()};
        std::unique_ptr<Kivo::Subscription> subscriptions[2];
        for (int i = 0; i < 2; ++i) {
            Async::WaitingHandler subscribed(false);
            const auto job = postOffice->Subscribe(caller, i == 0 ? machines_ : users_,
                                                   listeners[i], subscriptions[i], subscribed);
            ASSERT_TRUE(subscribed.Wait().IsEmpty());
        }
        EXPECT_EQ(1u, Counts().subscribers);
        EXPECT_EQ(2u, Counts().interests);
        Write({{u"User", 3}, {u"Machine", 4}});
        for (int i = 0; i < 2; ++i) {
            Async::WaitingHandler read(false);
            const auto job = subscriptions[i]->Read(*listeners[i], read);
            ASSERT_TRUE(read.Wait().IsEmpty());
        }
        EXPECT_EQ("Machine-1 Machine-4 ", listeners[0]->heard);
        EXPECT_EQ("User-2 User-3 ", listeners[1]->heard);
    }
    EXPECT_EQ(ServiceCounts{}, Counts());
}

}  // namespace
