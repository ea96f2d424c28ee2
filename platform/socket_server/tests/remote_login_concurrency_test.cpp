// The socket server's TCP listener over a real store and view manager, reached by TLS clients of
// the test CA: a login that goes on to serve calls (its Hello sent behind its credentials), a
// wrong password and an unknown user refused alike and later and later, logins that break the
// rules, a silent peer never pinged before its login, the cap on connections logging in, and the
// bound on password checks at once, which leaves the workers to the calls.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "platform/security/tls.h"
#include "platform/security/users_file.h"
#include "platform/service/view_manager_service.h"
#include "platform/socket_server/socket_server.h"
#include "platform/socket_server/tests/socket_server_test_support.h"
#include "platform/store/tests/store_test_support.h"

namespace {

using namespace KivoWire;
using namespace SocketServerTest;
using Clock = std::chrono::steady_clock;

// The server's log, awaited by the words of its lines.
struct Log {
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> hold(lock);
        lines.push_back(line);
        changed.notify_all();
    }
    size_t Count(const std::string& words) {
        std::lock_guard<std::mutex> hold(lock);
        return CountHeld(words);
    }
    bool Await(const std::string& words, size_t least) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, kBound, [&] { return CountHeld(words) >= least; });
    }
    size_t CountHeld(const std::string& words) const {
        return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.find(words) != std::string::npos;
        });
    }
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> lines;
};

// Holds every key derivation until opened, counting those inside at once.
struct DeriveGate {
    Common::Error Derive(std::string_view password, std::span<const uint8_t, 16> salt,
                         const KivoSecurity::ScryptParameters& parameters,
                         std::array<uint8_t, 32>& hash) {
        {
            std::unique_lock<std::mutex> hold(lock);
            most = std::max(most, ++inside);
            changed.notify_all();
            changed.wait_for(hold, kBound, [&] { return open; });
            --inside;
        }
        return KivoSecurity::DeriveKey(password, salt, parameters, hash);
    }
    bool AwaitInside(int count) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, kBound, [&] { return inside == count; });
    }
    void Open() {
        std::lock_guard<std::mutex> hold(lock);
        open = true;
        changed.notify_all();
    }
    std::mutex lock;
    std::condition_variable changed;
    int inside = 0, most = 0;
    bool open = false;
};

struct RemoteLoginTest : ::testing::Test {
    void Start(KivoServer::RemoteOptions remote = {}, std::shared_ptr<DeriveGate> gate = nullptr) {
        KivoStore::CreateStore(folder_.WideFile("s.db"));
        service_ = KivoService::ViewManagerService::Start(
            KivoStore::Store::Open(folder_.WideFile("s.db")), {2, 60s});
        KivoSecurityTesting::WriteTestUsers(folder_.File("users"), {{"u", "p"}});
        KivoSecurity::PasswordVerifier::Derive derive = KivoSecurity::DeriveKey;
        if (gate != nullptr)
            derive = [gate](auto&&... parts) { return gate->Derive(parts...); };
        remote.verifier =
            std::make_shared<KivoSecurity::PasswordVerifier>(folder_.File("users"), derive);
        ASSERT_TRUE(remote.verifier->Load().IsEmpty());
        ASSERT_TRUE(
            KivoSecurity::MakeServerContext(Pki().serverCertFile, Pki().serverKeyFile, remote.tls)
                .IsEmpty());
        remote.listen = "127.0.0.1:0";
        KivoServer::ServerOptions options;
        options.directory = folder_.File("sockets");
        options.services = {33};
        options.workers = 1;
        options.pingAfter = 50ms;
        options.deadAfter = 20s;
        options.log = [log = log_](const std::string& line) { log->Add(line); };
        options.remote = std::move(remote);
        server_ = KivoServer::SocketServer::Start({service_}, options);
    }
    // Stops the server: the service holds nothing, and no password reached the log.
    void TearDown() override {
        if (server_ == nullptr)
            return;
        server_->Stop();
        EXPECT_EQ(KivoService::ServiceCounts{}, service_->Counts());
        for (const std::string& line : log_->lines)
            EXPECT_EQ(std::string::npos, line.find("secret")) << line;
    }

    KivoStoreTest::ScratchFolder folder_;
    std::shared_ptr<KivoService::ViewManagerService> service_;
    std::shared_ptr<Log> log_ = std::make_shared<Log>();
    std::unique_ptr<KivoServer::SocketServer> server_;
};

TEST_F(RemoteLoginTest, RightPasswordLogsInAndServes) {
    Start();
    EXPECT_EQ(0u, server_->RemoteAddress().rfind("127.0.0.1:", 0));
    auto client = Client::Remote(server_->RemoteAddress());
    client->Open(true);
    EXPECT_TRUE(client->Pings(7));
    EXPECT_EQ(1u, log_->Count("logged in as u"));
}

// The same bytes for a wrong password and an unknown user; the address's second failure waits
// the base delay, its third twice that.
TEST_F(RemoteLoginTest, RefusalsAreAlikeAndSlowerAndSlower) {
    KivoServer::RemoteOptions remote;
    remote.loginFailureDelay = 150ms;
    Start(remote);
    const std::pair<const char*, Clock::duration> cases[] = {
        {"u", 0ms}, {"nobody", 150ms}, {"u", 300ms}};
    std::vector<uint8_t> first;
    for (const auto& [user, least] : cases) {
        SCOPED_TRACE(user);
        auto client = Client::Remote(server_->RemoteAddress());
        client->Send(Credentials(user, "secret"));
        client->Send(Hello());
        const Clock::time_point sent = Clock::now();
        const Frame refusal = client->Next(true);
        EXPECT_LE(least, Clock::now() - sent);
        ASSERT_EQ(FrameKind::Refusal, refusal.header.kind);
        EXPECT_EQ(KivoServer::kAuthenticationFailed, ReadError(refusal.payload).Code());
        if (first.empty())
            first = refusal.payload;
        EXPECT_EQ(first, refusal.payload);
        EXPECT_EQ(kEnded, client->Next(true).header.kind);
    }
    EXPECT_EQ(3u, log_->Count("login refused for "));
}

// Each case ends its connection with nothing sent, not even a Ping, while a logged-in viewer
// goes on.
TEST_F(RemoteLoginTest, BrokenLoginsEndThatConnectionAlone) {
    Start();
    std::vector<uint8_t> login;
    ASSERT_TRUE(CredentialsPayload("u", "p", login).IsEmpty());
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"credentials in a hello", EncodeFrame(FrameKind::Hello, 0, 0, 0, login)},
        {"call first", EncodeFrame(FrameKind::Call, 271, 1, 1, {})},
        {"credentials cut short",
         EncodeFrame(FrameKind::Credentials, 0, 0, 0, std::vector<uint8_t>{1, 0, 'u'})},
        {"past the login bytes",
         EncodeFrame(FrameKind::Credentials, 0, 0, 0, std::vector<uint8_t>(kMaxLoginBytes, 1))},
    };
    auto viewer = Client::Remote(server_->RemoteAddress());
    viewer->Open(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = Client::Remote(server_->RemoteAddress());
        client->Send(c.bytes);
        EXPECT_EQ(kEnded, client->Next(true).header.kind);
        EXPECT_TRUE(viewer->Pings(77));
    }
    // A client that speaks frames without TLS hears no frame.
    const int plain = Dial(server_->RemoteAddress());
    const std::vector<uint8_t> hello = Hello();
    ASSERT_EQ(static_cast<ssize_t>(hello.size()), ::send(plain, hello.data(), hello.size(), 0));
    std::vector<uint8_t> heard(64 * 1024);
    size_t total = 0;
    for (ssize_t got = 1; got > 0 && total < heard.size(); total += static_cast<size_t>(got))
        got = std::max<ssize_t>(::recv(plain, heard.data() + total, heard.size() - total, 0), 0);
    ::close(plain);
    EXPECT_FALSE(total >= 4 && std::equal(heard.begin(), heard.begin() + 4, "KIVO"));
    EXPECT_EQ(1u, log_->Count("more than 4096 bytes before its login"));
    EXPECT_TRUE(viewer->Pings(78));
}

TEST_F(RemoteLoginTest, SilentPeerIsClosedAtTheLoginBoundUnpinged) {
    KivoServer::RemoteOptions remote;
    remote.loginBound = 300ms;
    Start(remote);
    auto client = Client::Remote(server_->RemoteAddress());
    const Clock::time_point began = Clock::now();
    EXPECT_EQ(kEnded, client->Next(true).header.kind);  // pinged after 50 ms if it were open
    EXPECT_LE(300ms, Clock::now() - began);
    EXPECT_TRUE(log_->Await("no login within 300 ms", 1));
}

// Past two connections logging in, a third is closed at once; one that goes makes room.
TEST_F(RemoteLoginTest, ConnectionsLoggingInAreCapped) {
    KivoServer::RemoteOptions remote;
    remote.maxLoggingIn = 2;
    Start(remote);
    const int first = Dial(server_->RemoteAddress());
    const int second = Dial(server_->RemoteAddress());
    const int third = Dial(server_->RemoteAddress());
    uint8_t byte = 0;
    EXPECT_EQ(0, ::recv(third, &byte, 1, 0));
    EXPECT_EQ(1u, log_->Count("closed at once: 2 connections are logging in"));
    ::close(third);
    ::close(first);
    ASSERT_TRUE(log_->Await(" closed: ", 1));
    for (int logins = 0; logins < 2; ++logins)  // a login leaves the count
        Client::Remote(server_->RemoteAddress())->Open(true);
    ::close(second);
}

// Four logins at once against a bound of two: two derivations run, the others wait, and the
// workers still serve a local client meanwhile.
TEST_F(RemoteLoginTest, PasswordChecksRunAtMostMaxHashingAtOnce) {
    auto gate = std::make_shared<DeriveGate>();
    Start({}, gate);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(Client::Remote(server_->RemoteAddress()));
        clients.back()->Send(Credentials("u", "p"));
    }
    ASSERT_TRUE(gate->AwaitInside(2));
    auto local = Client::Local(server_->Paths()[0]);
    local->Open(false);  // served by the one worker
    gate->Open();
    for (auto& client : clients)
        EXPECT_EQ(FrameKind::Accepted, client->Next().header.kind);
    EXPECT_EQ(2, gate->most);
}

}  // namespace
