// The socket server over a real store and view manager, reached over its Unix sockets and by TLS
// clients of its TCP listener: broken input, silent peers, peers gone mid-call and mid-poll, the
// call past the bound, a stop with connections open, and logins (refused alike and later and later,
// broken, silent, capped, checked at most maxHashing at once). Each fault ends that connection
// alone, the component never hears of a connection after its end, and the service keeps nothing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>

#include "enterprise/common/ipc/view_manager/requests.h"
#include "platform/security/tls.h"
#include "platform/security/users_file.h"
#include "platform/service/view_manager_service.h"
#include "platform/socket_server/socket_server.h"
#include "platform/socket_server/tcp_listener.h"
#include "platform/wire/socket_link.h"
#include "tests/support/frame_peer.h"
#include "tests/support/sample_objects.h"
#include "tests/support/temporary_folder.h"
#include "tests/support/test_pki.h"

namespace {

using namespace std::chrono_literals;
using namespace KivoWire;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kParkedMethod = 1000;  // the probe keeps the reply until Answer
constexpr uint32_t kHeldMethod = 1001;    // the probe holds the worker until Answer
constexpr FrameKind kEnded = KivoTestSupport::FramePeer::kEnded;
constexpr auto kBound = KivoTestSupport::FramePeer::kBound;  // waits that pass only when broken

std::vector<uint8_t> Hello(std::vector<uint8_t> payload = HelloPayload(33)) {
    return EncodeFrame(FrameKind::Hello, 0, 0, 0, payload);
}

std::vector<uint8_t> Credentials(const std::string& user, const std::string& password) {
    std::vector<uint8_t> payload;
    EXPECT_TRUE(CredentialsPayload(user, password, payload).IsEmpty());
    return EncodeFrame(FrameKind::Credentials, 0, 0, 0, payload);
}

// A client over a Unix socket or TLS.
struct Client : KivoTestSupport::FramePeer {
    using FramePeer::FramePeer;

    void Call(uint32_t method, uint64_t callId, const std::vector<uint8_t>& packet = {}) {
        Send(EncodeFrame(FrameKind::Call, 271, method, callId, packet));
    }
    // Logs in as u with password p when `login` (its Hello sent behind the credentials), is
    // welcomed, and opens a dynamic view of its own (call 1).
    void Open(bool login) {
        if (login)
            socket.Queue(Credentials("u", "p"));
        Send(Hello());
        if (login) {
            ASSERT_EQ(FrameKind::Accepted, Next().header.kind);
        }
        ASSERT_EQ(FrameKind::Welcome, Next().header.kind);
        uint32_t view = 0;
        Kivo::ViewManagement::UnitVector units;
        const auto request = Kivo::ViewManagement::CreateOpenDynamicViewRequest(
            {KivoTestSupport::TypePattern(u"Machine"), nullptr}, view, units);
        Call(request->GetMethodID(), 1, request->Pack());
        EXPECT_TRUE(request->DeserializeReply(Next().payload).IsEmpty());
    }
    bool Pings(uint64_t callId) {
        Send(EncodeFrame(FrameKind::Ping, 0, 0, callId, {}));
        const Frame pong = Next();
        return pong.header.kind == FrameKind::Pong && pong.header.callId == callId;
    }
};

// Stands between the server and the view manager: counts as broken a call of a connection that
// follows or overlaps its end, parks or holds calls on the test's methods, keeps the server's log,
// and derives the keys of password checks (held until Answer while `holdKeys`).
struct Probe final : public Binding::ServerComponent {
    Probe(std::shared_ptr<Binding::ServerComponent> inner, bool hold)
        : inner_(std::move(inner)), holdKeys(hold) {}
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

    Common::Error Derive(std::string_view password, std::span<const uint8_t, 16> salt,
                         const KivoSecurity::ScryptParameters& parameters,
                         std::array<uint8_t, 32>& hash) {
        {
            std::unique_lock<std::mutex> hold(lock_);
            mostHashing = std::max(mostHashing, ++hashing);
            changed_.notify_all();
            changed_.wait_for(hold, kBound, [&] { return !holdKeys; });
            --hashing;
        }
        return KivoSecurity::DeriveKey(password, salt, parameters, hash);
    }

    // Waits until `count`, one of the counts below, reaches `least`.
    bool Await(const size_t& count, size_t least) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, [&] { return count >= least; });
    }
    // Waits until `least` lines of the log hold `words`.
    bool Await(const std::string& words, size_t least) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, kBound, [&] {
            return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
                       return line.find(words) != std::string::npos;
                   }) >= static_cast<ptrdiff_t>(least);
        });
    }
    void Log(const std::string& line) {
        std::lock_guard<std::mutex> hold(lock_);
        log.push_back(line);
        changed_.notify_all();
    }
    // Answers the calls parked so far and lets the held calls and keys go.
    void Answer() {
        std::lock_guard<std::mutex> hold(lock_);
        for (auto& reply : parked_)
            reply({}, {1, 2, 3});
        parked_.clear();
        holdKeys = false;
        changed_.notify_all();
    }

    // Under the lock (or once the server stopped): calls parked or held, calls that left StartCall,
    // connections let go, calls or ends out of order, and derivations running now and at most.
    size_t parked = 0, returned = 0, closed = 0, broken = 0, hashing = 0, mostHashing = 0;
    std::vector<std::string> log;
    const std::shared_ptr<Binding::ServerComponent> inner_;
    bool holdKeys;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<uint64_t, int> inside_;  // calls inside StartCall by connection; -1 once it ended
    std::vector<Binding::ReplyCallback> parked_;
};

struct SocketServerTest : ::testing::Test {
    // Liveness: pinged after `pingAfter` of silence, closed after twenty times that. With
    // `remote`, also on TCP to user u (password p), the keys held until Answer when `holdKeys`.
    void Start(std::chrono::milliseconds pingAfter = 1s,
               std::optional<KivoServer::RemoteOptions> remote = std::nullopt,
               bool holdKeys = false) {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        service_ = KivoService::ViewManagerService::Start(
            KivoStore::Store::Open(folder_.WideFile("s.db")), {2, 60s});
        probe_ = std::make_shared<Probe>(service_, holdKeys);
        KivoServer::ServerOptions options;
        options.directory = folder_.File("sockets");
        options.services = {33, 46};
        options.workers = 2;  // one held leaves one, which runs its tasks in order
        options.pingAfter = pingAfter;
        options.deadAfter = 20 * pingAfter;
        options.log = [probe = probe_](const std::string& line) { probe->Log(line); };
        if (remote) {
            KivoSecurityTesting::WriteTestUsers(folder_.File("users"), {{"u", "p"}});
            remote->verifier = std::make_shared<KivoSecurity::PasswordVerifier>(
                folder_.File("users"),
                [probe = probe_](auto&&... parts) { return probe->Derive(parts...); });
            ASSERT_TRUE(remote->verifier->Load().IsEmpty());
            // One test CA for the process, which clients trust.
            static const auto pki =
                KivoSecurityTesting::MakeTestPki(KivoSecurityTesting::TestFolder());
            ::setenv(KivoSecurity::kCaFileVariable, pki.caFile.c_str(), 1);
            ASSERT_TRUE(
                KivoSecurity::MakeServerContext(pki.serverCertFile, pki.serverKeyFile, remote->tls)
                    .IsEmpty());
            remote->listen = "127.0.0.1:0";
            options.remote = std::move(remote);
        }
        server_ = KivoServer::SocketServer::Start({probe_}, options);
    }
    // A client; when `open`, welcomed (after its login when `remote`), with a dynamic view of its
    // own for the service to release.
    std::unique_ptr<Client> Connect(bool open = true, bool remote = false) {
        sockaddr_storage peer{AF_UNIX, {}, {}};
        socklen_t size = sizeof(sockaddr_un);
        if (remote)
            EXPECT_TRUE(
                KivoServer::ResolveListenAddress(server_->RemoteAddress(), peer, size).IsEmpty());
        else
            server_->Paths()[0].copy(reinterpret_cast<sockaddr_un&>(peer).sun_path,
                                     sizeof(sockaddr_un::sun_path) - 1);
        const int fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(0, ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), size));
        EXPECT_EQ(0, ::fcntl(fd, F_SETFL, O_NONBLOCK));
        std::shared_ptr<const KivoSecurity::TlsContext> context;
        std::unique_ptr<KivoSecurity::TlsLink> tls;
        if (remote) {
            const int on = 1;  // each frame leaves at once, as the server's do
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            EXPECT_TRUE(KivoSecurity::ClientContext(context).IsEmpty());
            EXPECT_TRUE(KivoSecurity::MakeClientLink(context, fd, "127.0.0.1", tls).IsEmpty());
        }
        auto client = std::make_unique<Client>(remote ? std::unique_ptr<Link>(std::move(tls))
                                                      : std::make_unique<SocketLink>(fd));
        if (open)
            client->Open(remote);
        return client;
    }
    // Stops with `open` connected: they see the end, never an answer; the service holds nothing,
    // and no password reached the log.
    void StopAndCheck(std::initializer_list<Client*> open) {
        server_->Stop();
        for (Client* client : open)
            EXPECT_EQ(kEnded, client->Next().header.kind);
        EXPECT_EQ(KivoService::ServiceCounts{}, service_->Counts());
        EXPECT_EQ(0u, probe_->broken);
        EXPECT_TRUE(std::filesystem::is_empty(folder_.File("sockets")));
        for (const std::string& line : probe_->log)
            EXPECT_EQ(std::string::npos, line.find("secret")) << line;
    }

    KivoTestSupport::TemporaryFolder folder_;
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
            ::shutdown(client->socket.Descriptor(), SHUT_WR);
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
    for (const auto began = Clock::now(); Clock::now() - began < 1500ms;) {  // past 1 s silent
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
    ASSERT_TRUE(probe_->Await(" closed: ", 2));
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

// Failed logins are never pinged (they would be after 50 ms if open). A silent peer is closed at
// the login bound; a wrong password and an unknown user get the same Refusal, the address's
// second failure after the base delay, its third after twice that (the Hello behind the
// credentials is not answered). The log shows a user name's control characters as '?'.
TEST_F(SocketServerTest, FailedLoginsEndUnpingedAlikeAndLaterAndLater) {
    KivoServer::RemoteOptions remote;
    remote.loginBound = 300ms;
    remote.loginFailureDelay = 150ms;
    Start(50ms, remote);
    const Clock::time_point began = Clock::now();  // before the server's accept
    auto silent = Connect(false, true);
    EXPECT_EQ(kEnded, silent->Next(true).header.kind);
    EXPECT_LE(300ms, Clock::now() - began);
    EXPECT_TRUE(probe_->Await("no login within 300 ms", 1));
    const std::pair<const char*, Clock::duration> cases[] = {
        {"u", 0ms}, {"no\nbody\x7F", 150ms}, {"u", 300ms}};
    std::vector<uint8_t> first;
    for (const auto& [user, least] : cases) {
        SCOPED_TRACE(user);
        auto client = Connect(false, true);
        const Clock::time_point sent = Clock::now();
        client->socket.Queue(Credentials(user, "secret"));
        client->Send(Hello());
        const Frame refusal = client->Next(true);
        EXPECT_LE(least, Clock::now() - sent);
        ASSERT_EQ(FrameKind::Refusal, refusal.header.kind);
        EXPECT_EQ(KivoServer::kAuthenticationFailed, ReadError(refusal.payload).Code());
        first = first.empty() ? refusal.payload : first;
        EXPECT_EQ(first, refusal.payload);
        EXPECT_EQ(kEnded, client->Next(true).header.kind);
    }
    EXPECT_TRUE(probe_->Await("login refused for ", 3));
    EXPECT_TRUE(probe_->Await("login refused for no?body? from ", 1));  // no control character
    StopAndCheck({});
}

// Each case ends its connection with nothing sent, while a logged-in viewer goes on.
TEST_F(SocketServerTest, BrokenLoginsEndThatConnectionAlone) {
    Start(1s, KivoServer::RemoteOptions{});
    std::vector<uint8_t> login;
    ASSERT_TRUE(CredentialsPayload("u", "p", login).IsEmpty());
    const std::pair<const char*, std::vector<uint8_t>> cases[] = {
        {"credentials in a hello", Hello(login)},
        {"call first", EncodeFrame(FrameKind::Call, 271, 1, 1, {})},
        {"credentials cut short",
         EncodeFrame(FrameKind::Credentials, 0, 0, 0, std::vector<uint8_t>{1, 0, 'u'})},
        {"past the login bytes",
         EncodeFrame(FrameKind::Credentials, 0, 0, 0, std::vector<uint8_t>(kMaxLoginBytes, 1))},
    };
    auto viewer = Connect(true, true);
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        auto client = Connect(false, true);
        client->Send(bytes);
        EXPECT_EQ(kEnded, client->Next(true).header.kind);
        EXPECT_TRUE(viewer->Pings(77));
    }
    EXPECT_TRUE(probe_->Await("more than 4096 bytes before its login", 1));
    StopAndCheck({viewer.get()});
}

// Past two connections logging in, a third is closed at once; one that goes or logs in makes room.
TEST_F(SocketServerTest, ConnectionsLoggingInAreCapped) {
    KivoServer::RemoteOptions remote;
    remote.maxLoggingIn = 2;
    Start(1s, remote);
    auto first = Connect(false, true), second = Connect(false, true), third = Connect(false, true);
    EXPECT_EQ(kEnded, third->Next(true).header.kind);
    EXPECT_TRUE(probe_->Await("closed at once: 2 connections are logging in", 1));
    first.reset();
    ASSERT_TRUE(probe_->Await(" closed: ", 1));
    for (int logins = 0; logins < 2; ++logins)
        (void)Connect(true, true);
    StopAndCheck({second.get()});
}

// Four logins against a bound of two: two key derivations run, the others wait, and the workers
// serve a local client meanwhile.
TEST_F(SocketServerTest, PasswordChecksRunAtMostMaxHashingAtOnce) {
    Start(1s, KivoServer::RemoteOptions{}, true);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back(Connect(false, true))->Send(Credentials("u", "p"));
    ASSERT_TRUE(probe_->Await(probe_->hashing, 2));
    auto local = Connect();
    probe_->Answer();
    for (auto& client : clients)
        EXPECT_EQ(FrameKind::Accepted, client->Next().header.kind);
    StopAndCheck({local.get()});
    EXPECT_EQ(2u, probe_->mostHashing);
}

}  // namespace
