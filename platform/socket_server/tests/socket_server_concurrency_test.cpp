// The socket server over a real store and view manager, reached by raw clients: broken input,
// silent peers, peers that go mid-call and mid-poll, the call past the bound, and a stop with
// connections open. Each fault ends that connection alone, the component never hears of a
// connection after its end, and the service holds nothing at the end.

#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "enterprise/common/ipc/view_manager/requests.h"
#include "platform/service/view_manager_service.h"
#include "platform/socket_server/socket_server.h"
#include "platform/socket_server/tests/socket_server_test_support.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using namespace KivoWire;
using namespace SocketServerTest;

constexpr uint32_t kParkedMethod = 1000;  // the probe keeps the reply until Answer
constexpr uint32_t kHeldMethod = 1001;    // the probe holds the worker until Answer

// Stands between the server and the view manager: counts as broken a call of a connection that
// follows or overlaps its end, and parks or holds calls on the test's methods.
struct Probe final : public Binding::ServerComponent {
    explicit Probe(std::shared_ptr<Binding::ServerComponent> inner) : inner_(std::move(inner)) {}
    uint32_t GetComponentID() const override { return inner_->GetComponentID(); }
    uint32_t GetInterfaceVersion() const override { return inner_->GetInterfaceVersion(); }

    void StartCall(uint64_t connection, uint32_t method, std::span<const uint8_t> request,
                   Binding::ReplyCallback reply) noexcept override {
        std::unique_lock<std::mutex> hold(lock_);
        broken += inside_[connection] < 0;  // a call after the end
        ++inside_[connection];
        const bool held = method == kHeldMethod;
        if (held || method == kParkedMethod) {
            parked_.push_back(std::move(reply));
            ++parked;
            changed_.notify_all();
            changed_.wait_for(hold, kBound, [&] { return !held || parked_.empty(); });
        } else {
            hold.unlock();
            inner_->StartCall(connection, method, request, std::move(reply));
            hold.lock();
        }
        --inside_[connection];
        ++returned;
        changed_.notify_all();
    }
    void ConnectionClosed(uint64_t connection) noexcept override {
        std::lock_guard<std::mutex> hold(lock_);
        broken += std::exchange(inside_[connection], -1) != 0;  // calls inside, or a second end
        inner_->ConnectionClosed(connection);
        ++closed;
        changed_.notify_all();
    }

    // Waits until `count`, one of the counts below, reaches `least`.
    bool Await(const size_t& count, size_t least) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, [&] { return count >= least; });
    }
    // The server's log: counts the connections it closed.
    void Log(const std::string& line) {
        std::lock_guard<std::mutex> hold(lock_);
        dropped += line.find(" closed: ") != std::string::npos;
        changed_.notify_all();
    }
    // Answers the calls parked so far and lets the held ones go.
    void Answer() {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& reply : parked_)
            reply({}, {1, 2, 3});
        parked_.clear();
        changed_.notify_all();
    }

    // Under the lock (or once the server has stopped): calls parked or held, calls that left
    // StartCall, connections let go by the service or closed by the server, and calls or ends
    // out of order.
    size_t parked = 0, returned = 0, closed = 0, dropped = 0, broken = 0;
    const std::shared_ptr<Binding::ServerComponent> inner_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<uint64_t, int> inside_;  // calls inside StartCall by connection; -1 once it ended
    std::vector<Binding::ReplyCallback> parked_;
};

struct SocketServerTest : ::testing::Test {
    // Liveness: pinged after `pingAfter` of silence, closed after twenty times that.
    void Start(std::chrono::milliseconds pingAfter = 1s) {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        service_ = KivoService::ViewManagerService::Start(
            KivoStore::Store::Open(folder_.WideFile("s.db")), {2, 60s});
        probe_ = std::make_shared<Probe>(service_);
        KivoServer::ServerOptions options;
        options.directory = folder_.File("sockets");
        options.services = {33, 46};
        options.workers = 2;  // one held leaves one, which runs its tasks in order
        options.pingAfter = pingAfter;
        options.deadAfter = 20 * pingAfter;
        options.log = [probe = probe_](const std::string& line) { probe->Log(line); };
        server_ = KivoServer::SocketServer::Start({probe_}, options);
    }
    // A client; when `open`, welcomed, with a dynamic view of its own for the service to release.
    std::unique_ptr<Client> Connect(bool open = true) {
        auto client = Client::Local(server_->Paths()[0]);
        if (open)
            client->Open(false);
        return client;
    }
    // Stops with `open` connected: they see the end, never an answer; the service holds nothing.
    void StopAndCheck(std::initializer_list<Client*> open) {
        server_->Stop();
        for (Client* client : open)
            EXPECT_EQ(kEnded, client->Next().header.kind);
        EXPECT_EQ(KivoService::ServiceCounts{}, service_->Counts());
        EXPECT_EQ(0u, probe_->broken);
        EXPECT_TRUE(std::filesystem::is_empty(folder_.File("sockets")));
    }

    KivoStoreTest::ScratchFolder folder_;
    std::shared_ptr<KivoService::ViewManagerService> service_;
    std::shared_ptr<Probe> probe_;
    std::unique_ptr<KivoServer::SocketServer> server_;
};

// Each case ends its connection, after a Refusal of `refused` when not 0, while the viewer's
// connection still answers. Each header check of the frame reader is the wire tests' to catch.
TEST_F(SocketServerTest, BrokenInputEndsThatConnectionAlone) {
    Start();
    const std::vector<uint8_t> call =
        EncodeFrame(FrameKind::Call, 271, 1, 5, std::vector<uint8_t>(100, 7));
    std::vector<uint8_t> overLimit = call;
    overLimit[11] = 0x05;  // the length's high byte: 80 MiB
    const struct {
        const char* name;
        bool welcomed;  // and with a view
        std::vector<uint8_t> bytes;
        bool cut;  // then ends its writing
        uint32_t refused;
    } cases[] = {
        {"over the limit", true, overLimit, false, 0},
        {"cut frame", true, std::vector<uint8_t>(call.begin(), call.begin() + 60), true, 0},
        {"garbage", false, std::vector<uint8_t>(40, 'x'), false, 0},
        {"call before hello", false, call, false, 0},
        {"second hello", true, Hello(), false, 0},
        {"reply from the client", true, EncodeFrame(FrameKind::Reply, 0, 0, 5, {}), false, 0},
        {"not served", false, Hello(HelloPayload(34)), false, KivoServer::kServiceNotServed},
        {"long hello", false, Hello({33, 0, 0, 0, 0}), false, kBadFrame},
    };
    auto viewer = Connect();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = Connect(c.welcomed);
        client->Send(c.bytes);
        if (c.cut)
            client->End();
        if (c.refused != 0) {
            const Frame refusal = client->Next();
            ASSERT_EQ(FrameKind::Refusal, refusal.header.kind);
            EXPECT_EQ(c.refused, ReadError(refusal.payload).Code());
        }
        EXPECT_EQ(kEnded, client->Next().header.kind);
        EXPECT_TRUE(viewer->Pings(77));
    }
    StopAndCheck({viewer.get()});
}

TEST_F(SocketServerTest, SilentPeerIsPingedThenClosedWhileOneThatAnswersStays) {
    Start(50ms);
    auto silent = Connect(false);
    auto answering = Connect();
    for (const auto began = std::chrono::steady_clock::now();
         std::chrono::steady_clock::now() - began < 1500ms;) {  // past the 1 s without a frame
        const Frame ping = answering->Next(true);
        ASSERT_EQ(FrameKind::Ping, ping.header.kind);
        answering->Send(EncodeFrame(FrameKind::Pong, 0, 0, ping.header.callId, {}));
    }
    EXPECT_EQ(FrameKind::Ping, silent->Next(true).header.kind);
    EXPECT_EQ(kEnded, silent->Next(true).header.kind);
    EXPECT_TRUE(answering->Pings(9));
    StopAndCheck({answering.get()});
}

TEST_F(SocketServerTest, PeersThatGoMidCallAndMidPollLeaveNothingBehind) {
    Start();
    auto viewer = Connect();
    {
        // Mid-poll: the view's AcquireUpdates is parked by the service when the peer goes.
        auto poller = Connect();
        std::vector<Kivo::ViewManagement::ViewUpdate> updates;
        const auto poll = Kivo::ViewManagement::CreateAcquireUpdatesRequest(1, updates);
        poller->Call(poll->GetMethodID(), 2, poll->Pack());
        ASSERT_TRUE(probe_->Await(probe_->returned, 3));
        EXPECT_EQ(1u, service_->Counts().parkedPolls);
    }
    ASSERT_TRUE(probe_->Await(probe_->closed, 1));
    EXPECT_EQ((KivoService::ServiceCounts{1, 1, 0, 0, 0}), service_->Counts());
    {
        // Mid-call: the peer goes while a worker is inside the component for it.
        auto caller = Connect();
        caller->Call(kHeldMethod, 3);
        ASSERT_TRUE(probe_->Await(probe_->parked, 1));
        EXPECT_TRUE(caller->Pings(5));
    }
    // Once the server has seen the caller go, a call of the viewer's runs after anything that
    // the close gave the free worker.
    ASSERT_TRUE(probe_->Await(probe_->dropped, 2));
    viewer->Call(kParkedMethod, 6);
    ASSERT_TRUE(probe_->Await(probe_->parked, 2));
    probe_->Answer();
    ASSERT_TRUE(probe_->Await(probe_->closed, 2));
    EXPECT_EQ(FrameKind::Reply, viewer->Next().header.kind);
    StopAndCheck({viewer.get()});
}

TEST_F(SocketServerTest, CallPastTheBoundIsRefusedAtOnce) {
    Start();
    auto client = Connect();
    for (uint64_t call = 1; call <= KivoServer::kMaxCallsInFlight + 1; ++call)
        client->Call(kParkedMethod, call);
    const Frame refused = client->Next();
    EXPECT_EQ(KivoServer::kMaxCallsInFlight + 1, refused.header.callId);
    EXPECT_EQ(KivoServer::kTooManyCalls, ReadError(refused.payload).Code());
    ASSERT_TRUE(probe_->Await(probe_->parked, KivoServer::kMaxCallsInFlight));
    probe_->Answer();
    std::set<uint64_t> answered;
    for (size_t i = 0; i < KivoServer::kMaxCallsInFlight; ++i)
        answered.insert(client->Next().header.callId);
    EXPECT_EQ(KivoServer::kMaxCallsInFlight, answered.size());
    client->Call(kParkedMethod, 1);  // an id may come again once its call has ended
    EXPECT_TRUE(probe_->Await(probe_->parked, KivoServer::kMaxCallsInFlight + 1));
    StopAndCheck({client.get()});
}

}  // namespace
