// The socket server over a real store and view manager, reached by raw clients: broken and cut
// frames, refused hellos, silent peers, peers that go mid-call and mid-poll, the call past the
// bound, and a stop with connections open. Each fault ends that connection alone, the component
// never hears of a connection after its end, and the service holds nothing at the end.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "enterprise/common/ipc/view_manager/requests.h"
#include "platform/service/view_manager_service.h"
#include "platform/socket_server/socket_server.h"
#include "platform/store/tests/store_test_support.h"
#include "platform/wire/framed_socket.h"
#include "platform/wire/socket_paths.h"

namespace {

using namespace std::chrono_literals;
using KivoWire::Frame;
using KivoWire::FramedSocket;
using KivoWire::FrameKind;

constexpr uint32_t kViewManager = 271;
constexpr uint32_t kParkedMethod = 1000;  // the probe keeps the reply until AnswerParked
constexpr uint32_t kHeldMethod = 1001;    // the probe holds the worker until Release
constexpr auto kBound = 20s;              // waits that pass only when something is broken

// Stands between the server and the view manager: checks that no call of a connection follows
// or overlaps its end, and parks or holds calls on the test's methods.
class Probe final : public Binding::ServerComponent {
  public:
    explicit Probe(std::shared_ptr<Binding::ServerComponent> inner) : inner_(std::move(inner)) {}
    uint32_t GetComponentID() const override { return inner_->GetComponentID(); }
    uint32_t GetInterfaceVersion() const override { return inner_->GetInterfaceVersion(); }

    void StartCall(uint64_t connection, uint32_t method, std::span<const uint8_t> request,
                   Binding::ReplyCallback reply) noexcept override {
        std::unique_lock<std::mutex> hold(lock_);
        broken_ += closed_.count(connection);
        ++inside_[connection];
        if (method == kParkedMethod) {
            parked_.push_back(std::move(reply));
            changed_.notify_all();
        } else if (method == kHeldMethod) {
            held_ = true;
            changed_.notify_all();
            changed_.wait_for(hold, kBound, [this] { return released_; });
            reply({}, {});
        } else {
            hold.unlock();
            inner_->StartCall(connection, method, request, std::move(reply));
            hold.lock();
        }
        --inside_[connection];
        ++returned_;
        changed_.notify_all();
    }
    void ConnectionClosed(uint64_t connection) noexcept override {
        {
            std::lock_guard<std::mutex> hold(lock_);
            broken_ += inside_[connection] != 0 || !closed_.insert(connection).second;
        }
        inner_->ConnectionClosed(connection);
        std::lock_guard<std::mutex> hold(lock_);
        ++releasedConnections_;
        changed_.notify_all();
    }

    bool Await(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, done);
    }
    bool AwaitClosed(size_t count) {
        return Await([&] { return releasedConnections_ >= count; });
    }
    bool AwaitHeld() {
        return Await([&] { return held_; });
    }
    bool AwaitParked(size_t count) {
        return Await([&] { return parked_.size() >= count; });
    }
    // Calls that have left StartCall, answered or not.
    bool AwaitReturned(size_t count) {
        return Await([&] { return returned_ >= count; });
    }
    void Release() {
        std::lock_guard<std::mutex> hold(lock_);
        released_ = true;
        changed_.notify_all();
    }
    void AnswerParked() {
        std::vector<Binding::ReplyCallback> parked;
        {
            std::lock_guard<std::mutex> hold(lock_);
            parked.swap(parked_);
        }
        for (auto& reply : parked)
            reply({}, {1, 2, 3});
    }
    size_t Broken() {
        std::lock_guard<std::mutex> hold(lock_);
        return broken_;
    }

  private:
    const std::shared_ptr<Binding::ServerComponent> inner_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<uint64_t, int> inside_;
    std::set<uint64_t> closed_;
    std::vector<Binding::ReplyCallback> parked_;
    bool held_ = false;
    bool released_ = false;
    size_t returned_ = 0;
    size_t releasedConnections_ = 0;  // ConnectionClosed has returned
    size_t broken_ = 0;
};

// A raw client on one socket; frames are read with poll under a bound.
class Client {
  public:
    explicit Client(const std::string& path)
        : socket_(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(0, ::connect(socket_.Descriptor(), reinterpret_cast<sockaddr*>(&address),
                               sizeof address));
    }
    void Send(std::vector<uint8_t> bytes) {
        socket_.Queue(std::move(bytes));
        Common::Error failure;
        while (socket_.Flush(failure) == FramedSocket::Status::Blocked)
            Wait(POLLOUT);
    }
    void Hello(uint32_t service = 33) {
        Send(KivoWire::EncodeFrame(FrameKind::Hello, 0, 0, 0, KivoWire::HelloPayload(service)));
    }
    void Call(uint32_t method, uint64_t callId, const std::vector<uint8_t>& packet = {}) {
        Send(KivoWire::EncodeFrame(FrameKind::Call, kViewManager, method, callId, packet));
    }
    // The next frame other than a Ping; kind 0 when the server closed the connection.
    Frame Next(bool skipPings = true) {
        for (;;) {
            while (!frames_.empty()) {
                Frame frame = std::move(frames_.front());
                frames_.erase(frames_.begin());
                if (!skipPings || frame.header.kind != FrameKind::Ping)
                    return frame;
            }
            if (closed_)
                return Frame{{static_cast<FrameKind>(0)}, {}};
            if (!Wait(POLLIN))
                return Frame{{static_cast<FrameKind>(0)}, {}};
            Common::Error failure;
            closed_ = socket_.ReadAvailable(frames_, failure) != FramedSocket::Status::Open;
        }
    }
    void EndWriting() { ::shutdown(socket_.Descriptor(), SHUT_WR); }

  private:
    bool Wait(short events) {
        pollfd wanted{socket_.Descriptor(), events, 0};
        const bool ready = ::poll(&wanted, 1, static_cast<int>(kBound / 1ms)) == 1;
        EXPECT_TRUE(ready) << "no answer within the bound";
        return ready;
    }
    FramedSocket socket_;
    std::vector<Frame> frames_;
    bool closed_ = false;
};

FrameKind Kind(const Frame& frame) {
    return frame.header.kind;
}

class SocketServerTest : public ::testing::Test {
  protected:
    void Start(KivoServer::ServerOptions options = {}) {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        service_ = KivoService::ViewManagerService::Start(
            KivoStore::Store::Open(folder_.WideFile("s.db")), {2, 60s});
        probe_ = std::make_shared<Probe>(service_);
        options.directory = folder_.File("sockets");
        if (options.services.empty())
            options.services = {33, 46};
        options.log = [this](const std::string& line) {
            std::lock_guard<std::mutex> hold(logLock_);
            log_.push_back(line);
        };
        server_ = KivoServer::SocketServer::Start({probe_}, options);
    }
    std::unique_ptr<Client> Connect(uint32_t service = 33) {
        std::string path;
        sockaddr_un ignored{};
        EXPECT_TRUE(
            KivoWire::SocketAddress(folder_.File("sockets"), service, ignored, path).IsEmpty());
        return std::make_unique<Client>(path);
    }
    // A client welcomed, with a dynamic view of its own: something the service must release.
    std::unique_ptr<Client> Viewer() {
        auto client = Connect();
        client->Hello();
        EXPECT_EQ(FrameKind::Welcome, Kind(client->Next()));
        uint32_t view = 0;
        Kivo::ViewManagement::UnitVector units;
        const auto request = Kivo::ViewManagement::CreateOpenDynamicViewRequest(
            {KivoStoreTest::TypePattern(u"Machine"), nullptr}, view, units);
        client->Call(request->GetMethodID(), 1, request->Pack());
        const Frame reply = client->Next();
        EXPECT_EQ(FrameKind::Reply, Kind(reply));
        EXPECT_TRUE(request->DeserializeReply(reply.payload).IsEmpty());
        return client;
    }
    // The server stops with its clients still connected: they see the end, never an answer,
    // and the service holds nothing.
    void StopAndCheck(std::vector<std::unique_ptr<Client>>& open) {
        server_->Stop();
        for (auto& client : open)
            EXPECT_EQ(0, static_cast<int>(Kind(client->Next())));
        EXPECT_EQ(KivoService::ServiceCounts{}, service_->Counts());
        EXPECT_EQ(0u, probe_->Broken());
        EXPECT_TRUE(std::filesystem::is_empty(folder_.File("sockets")));
    }

    KivoStoreTest::ScratchFolder folder_;
    std::shared_ptr<KivoService::ViewManagerService> service_;
    std::shared_ptr<Probe> probe_;
    std::unique_ptr<KivoServer::SocketServer> server_;
    std::mutex logLock_;
    std::vector<std::string> log_;
};

std::vector<uint8_t> Patched(std::vector<uint8_t> frame, size_t at, std::vector<uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), frame.begin() + static_cast<ptrdiff_t>(at));
    return frame;
}

// Each case ends its connection, with a Refusal of `refused` first when not 0; the open
// connection still answers.
TEST_F(SocketServerTest, BrokenInputEndsThatConnectionAlone) {
    Start({});
    const std::vector<uint8_t> hello =
        KivoWire::EncodeFrame(FrameKind::Hello, 0, 0, 0, KivoWire::HelloPayload(33));
    const std::vector<uint8_t> call =
        KivoWire::EncodeFrame(FrameKind::Call, kViewManager, 1, 5, std::vector<uint8_t>(100, 7));
    const std::string garbage = "GET / HTTP/1.1\r\nHost: localhost\r\nAccept: */*\r\n\r\n";
    const auto hi = [](std::vector<uint8_t> payload) {
        return KivoWire::EncodeFrame(FrameKind::Hello, 0, 0, 0, payload);
    };
    const struct {
        const char* name;
        bool welcomed;  // sends the Hello first
        std::vector<uint8_t> bytes;
        bool endWriting;
        uint32_t refused;
    } cases[] = {
        {"over the limit", true, Patched(call, 8, {0x01, 0x00, 0x00, 0x04}), false, 0},
        {"cut payload", true, std::vector<uint8_t>(call.begin(), call.begin() + 60), true, 0},
        {"cut header", true, std::vector<uint8_t>(call.begin(), call.begin() + 10), true, 0},
        {"garbage", false, std::vector<uint8_t>(garbage.begin(), garbage.end()), false, 0},
        {"bad magic", false, Patched(hello, 0, {'K', 'I', 'W', 'O'}), false, 0},
        {"bad version", false, Patched(hello, 4, {2, 0}), false, 0},
        {"unknown kind", true, Patched(call, 6, {9, 0}), false, 0},
        {"reserved set", true, Patched(call, 20, {1}), false, 0},
        {"call before hello", false, call, false, 0},
        {"second hello", true, hello, false, 0},
        {"reply from the client", true, Patched(call, 6, {5, 0}), false, 0},
        {"service not served", false, hi(KivoWire::HelloPayload(34)), false,
         KivoServer::kServiceNotServed},
        {"unknown service", false, hi(KivoWire::HelloPayload(99)), false,
         KivoServer::kServiceNotServed},
        {"short hello", false, hi({33, 0}), false, KivoWire::kBadFrame},
        {"long hello", false, hi({33, 0, 0, 0, 0}), false, KivoWire::kBadFrame},
    };
    std::vector<std::unique_ptr<Client>> open;
    open.push_back(Viewer());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = Connect();
        if (c.welcomed) {
            client->Hello();
            ASSERT_EQ(FrameKind::Welcome, Kind(client->Next()));
        }
        client->Send(c.bytes);
        if (c.endWriting)
            client->EndWriting();
        if (c.refused != 0) {
            const Frame refusal = client->Next();
            ASSERT_EQ(FrameKind::Refusal, Kind(refusal));
            EXPECT_EQ(c.refused, KivoWire::ReadError(refusal.payload).Code());
        }
        EXPECT_EQ(0, static_cast<int>(Kind(client->Next())));
        open.front()->Send(KivoWire::EncodeFrame(FrameKind::Ping, 0, 0, 77, {}));
        const Frame pong = open.front()->Next();
        EXPECT_EQ(FrameKind::Pong, Kind(pong));
        EXPECT_EQ(77u, pong.header.callId);
    }
    StopAndCheck(open);
}

TEST_F(SocketServerTest, SilentPeerIsPingedThenClosedWhileOneThatAnswersStays) {
    KivoServer::ServerOptions options;
    options.pingAfter = 50ms;
    options.deadAfter = 1000ms;
    Start(options);
    auto silent = Connect();
    std::vector<std::unique_ptr<Client>> open;
    open.push_back(Viewer());
    const auto began = std::chrono::steady_clock::now();
    for (int pings = 0; pings < 3 || std::chrono::steady_clock::now() - began < 1500ms;) {
        const Frame ping = open.front()->Next(false);
        ASSERT_EQ(FrameKind::Ping, Kind(ping));
        open.front()->Send(KivoWire::EncodeFrame(FrameKind::Pong, 0, 0, ping.header.callId, {}));
        ++pings;
    }
    EXPECT_EQ(FrameKind::Ping, Kind(silent->Next(false)));
    EXPECT_EQ(0, static_cast<int>(Kind(silent->Next(false))));
    open.front()->Call(kParkedMethod, 9);
    ASSERT_TRUE(probe_->AwaitParked(1));
    probe_->AnswerParked();
    EXPECT_EQ(FrameKind::Reply, Kind(open.front()->Next()));
    StopAndCheck(open);
}

TEST_F(SocketServerTest, PeersThatGoMidCallAndMidPollLeaveNothingBehind) {
    Start({});
    std::vector<std::unique_ptr<Client>> open;
    open.push_back(Viewer());
    {
        // Mid-poll: the view's AcquireUpdates is parked by the service when the peer goes.
        auto poller = Viewer();
        std::vector<Kivo::ViewManagement::ViewUpdate> updates;
        const auto poll = Kivo::ViewManagement::CreateAcquireUpdatesRequest(1, updates);
        poller->Call(poll->GetMethodID(), 2, poll->Pack());
        ASSERT_TRUE(probe_->AwaitReturned(3));
        EXPECT_EQ(1u, service_->Counts().parkedPolls);
    }
    ASSERT_TRUE(probe_->AwaitClosed(1));
    EXPECT_EQ((KivoService::ServiceCounts{1, 1, 0, 0, 0}), service_->Counts());
    {
        // Mid-call: the peer goes while a worker is inside the component for it.
        auto caller = Connect();
        caller->Hello();
        ASSERT_EQ(FrameKind::Welcome, Kind(caller->Next()));
        caller->Call(kHeldMethod, 3);
        ASSERT_TRUE(probe_->AwaitHeld());
        // Pings are answered while every worker could be busy.
        caller->Send(KivoWire::EncodeFrame(FrameKind::Ping, 0, 0, 5, {}));
        EXPECT_EQ(FrameKind::Pong, Kind(caller->Next()));
    }
    open.front()->Send(KivoWire::EncodeFrame(FrameKind::Ping, 0, 0, 6, {}));
    EXPECT_EQ(FrameKind::Pong, Kind(open.front()->Next()));
    probe_->Release();
    ASSERT_TRUE(probe_->AwaitClosed(2));
    StopAndCheck(open);
}

TEST_F(SocketServerTest, CallPastTheBoundIsRefusedAtOnce) {
    Start({});
    std::vector<std::unique_ptr<Client>> open;
    open.push_back(Connect());
    Client& client = *open.front();
    client.Hello();
    ASSERT_EQ(FrameKind::Welcome, Kind(client.Next()));
    for (uint64_t call = 1; call <= KivoServer::kMaxCallsInFlight + 1; ++call)
        client.Call(kParkedMethod, call);
    const Frame refused = client.Next();
    ASSERT_EQ(FrameKind::Failure, Kind(refused));
    EXPECT_EQ(KivoServer::kMaxCallsInFlight + 1, refused.header.callId);
    EXPECT_EQ(KivoServer::kTooManyCalls, KivoWire::ReadError(refused.payload).Code());
    client.Call(4242, 100);  // an unknown method still takes one place: nothing is free
    EXPECT_EQ(KivoServer::kTooManyCalls, KivoWire::ReadError(client.Next().payload).Code());
    ASSERT_TRUE(probe_->AwaitParked(KivoServer::kMaxCallsInFlight));
    probe_->AnswerParked();
    std::set<uint64_t> answered;
    for (size_t i = 0; i < KivoServer::kMaxCallsInFlight; ++i) {
        const Frame reply = client.Next();
        EXPECT_EQ(FrameKind::Reply, Kind(reply));
        EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), reply.payload);
        answered.insert(reply.header.callId);
    }
    EXPECT_EQ(KivoServer::kMaxCallsInFlight, answered.size());
    client.Call(kParkedMethod, 1);  // an id may come again once its call has ended
    open.push_back(Viewer());
    StopAndCheck(open);
}

}  // namespace
