// The library against scripted peers: a service on a Unix socket (failed openings, Welcome
// versions, Pings both ways, the bound on calls in flight, replies in any order, every end of a
// connection) and a host over TLS (logins, and each way that Bind or Connect fails).

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <map>
#include <optional>

#include "core/common/text.h"
#include "platform/ipc_client/socket_transport.h"
#include "platform/ipc_client/tests/call_test_support.h"
#include "platform/security/tls.h"
#include "platform/wire/socket_link.h"
#include "platform/wire/socket_paths.h"
#include "tests/support/frame_peer.h"
#include "tests/support/temporary_folder.h"
#include "tests/support/test_pki.h"

namespace {

using namespace Binding;
using namespace IpcClientTest;
using IPCClient::kMaxCallsInFlight;
using KivoTestSupport::FramePeer;
using KivoWire::EncodeFrame;
using KivoWire::FrameKind;
constexpr uint32_t kQor = 33;

Common::Error ConnectQor(std::unique_ptr<AccessPoint>& accessPoint) {
    std::unique_ptr<ServiceBrowser> browser;
    const Common::Error error = IPCClient_GetLocalBrowser(browser);
    return error.IsEmpty() ? browser->Connect(kQor, 0, accessPoint) : error;
}

// A service on <temporary folder>/qor.sock (KIVO_SOCKET_DIR) and the library that uses it.
class ScriptedService {
  public:
    // Hold: a Welcome, then a Ping of id 5; the calls wait for Answer. The others fail the opening.
    enum class Mode { Hold, Refuse, Mute, HangUp };

    ScriptedService() {
        setenv(KivoWire::kSocketDirVariable, folder_.Path().c_str(), 1);
        sockaddr_un address{};
        std::string path;
        EXPECT_TRUE(KivoWire::SocketAddress(folder_.Path(), kQor, address, path).IsEmpty());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 4), 0);
    }
    ~ScriptedService() { close(listener_); }

    // Opens `accessPoint` to the service on another thread and answers its Hello as `mode` says.
    Common::Error Connect(Mode mode) {
        auto opening = std::async(std::launch::async, [&] { return ConnectQor(accessPoint); });
        pollfd listening{listener_, POLLIN, 0};
        EXPECT_EQ(poll(&listening, 1, 20000), 1);
        peer = std::make_unique<FramePeer>(std::make_unique<KivoWire::SocketLink>(
            accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)));
        EXPECT_TRUE(Pump([&] { return peer->heard[FrameKind::Hello] > 0; }));
        if (mode == Mode::Refuse) {
            const Common::Error no(COMMON_PLACE("Test::Refuse"), 0xAE0042);
            peer->Send(EncodeFrame(FrameKind::Refusal, 0, 0, 0, KivoWire::ErrorPayload(no)));
        } else if (mode == Mode::HangUp) {
            peer.reset();
        } else if (mode == Mode::Hold) {
            const KivoWire::ComponentVersion components[] = {{271, 2}, {kComponent, 3}};
            std::vector<uint8_t> bytes =
                EncodeFrame(FrameKind::Welcome, 0, 0, 0, WelcomePayload(components));
            const std::vector<uint8_t> ping = EncodeFrame(FrameKind::Ping, 0, 0, 5, {});
            bytes.insert(bytes.end(), ping.begin(), ping.end());
            peer->Send(bytes);  // the Ping read with the Welcome
        }
        return opening.get();
    }
    // Reads what the peer sends until `done` holds (within the peer's bound) or the peer ends.
    bool Pump(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + FramePeer::kBound;
        while (!done() && peer != nullptr && !peer->ended &&
               std::chrono::steady_clock::now() < deadline) {
            const KivoWire::Frame frame = peer->Next(true);  // a silent service answers no Ping
            if (frame.header.kind == FrameKind::Pong) {
                lastPong_ = frame.header.callId;
            } else if (frame.header.kind == FrameKind::Call) {
                calls_[frame.header.callId] = {frame.header.methodId, frame.payload};
            }
        }
        return done();
    }
    // Answers `count` calls as the test component would, one at a time, the latest waiting first.
    void Answer(size_t count) {
        for (; count > 0 && Pump([&] { return !calls_.empty(); }); --count) {
            const auto& [id, call] = *calls_.rbegin();
            peer->Send(EncodeFrame(FrameKind::Reply, 0, 0, id,
                                   TestComponent().HandleCall(call.first, call.second)));
            calls_.erase(std::prev(calls_.end()));
        }
    }
    // Sends `bytes`, then the end of the stream (the socket stays open).
    void HangUp(const std::vector<uint8_t>& bytes) {
        peer->Send(bytes);
        EXPECT_EQ(shutdown(peer->socket.Descriptor(), SHUT_WR), 0);
    }

    std::map<uint64_t, std::pair<uint32_t, std::vector<uint8_t>>> calls_;  // id: method, input
    uint64_t lastPong_ = 0;
    Library library;
    std::unique_ptr<FramePeer> peer;
    std::unique_ptr<AccessPoint> accessPoint;  // closed before the library ends

  private:
    const KivoTestSupport::TemporaryFolder folder_{"ipc-socket-"};
    int listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
};

TEST(SocketTransport, OpeningsThatFailNameThePathAndTheReason) {
    const struct {
        std::optional<ScriptedService::Mode> mode;  // none: no service listens at `directory`
        std::string directory;
        uint32_t reason;
        std::string reasonText;
    } cases[] = {
        {std::nullopt, "/tmp/ipc-socket-none", 0, "No such file or directory"},
        {std::nullopt, "/tmp/" + std::string(110, 'd'), KivoWire::kSocketPathTooLong, ""},
        {ScriptedService::Mode::Refuse, "", 0xAE0042, ""},
        {ScriptedService::Mode::HangUp, "", kIpcClientServiceHungUp, ""},
        {ScriptedService::Mode::Mute, "", kIpcClientServiceSilent, "1000 ms"},
    };
    setenv(IPCClient::kDeadIntervalVariable, "1000", 1);  // the bound of an opening
    for (const auto& test : cases) {
        ScriptedService service;
        if (!test.mode) {
            setenv(KivoWire::kSocketDirVariable, test.directory.c_str(), 1);
        }
        const Common::Error error =
            test.mode ? service.Connect(*test.mode) : ConnectQor(service.accessPoint);
        const std::string text = Common::ToUtf8(error.ToText());
        EXPECT_EQ(error.Code(), kIpcClientNoService) << text;
        EXPECT_NE(text.find("service 33 "), std::string::npos) << text;
        EXPECT_NE(text.find(KivoWire::SocketDirectory() + "/qor.sock"), std::string::npos) << text;
        EXPECT_NE(text.find(test.reasonText), std::string::npos) << text;
        EXPECT_TRUE(test.reason == 0 || error.Reason().Code() == test.reason) << text;
    }
    unsetenv(IPCClient::kDeadIntervalVariable);
}

TEST(SocketTransport, CallsEndByTheirRepliesInAnyOrderOrAllAtOnceWithTheirConnection) {
    const struct {
        const char* name;
        std::function<void(ScriptedService&)> end;
        uint32_t code;    // 0: every call succeeds
        uint32_t reason;  // 0: none; otherwise later calls fail at once too
    } cases[] = {
        {"answered latest first", [](ScriptedService& s) { s.Answer(kMaxCallsInFlight + 2); }, 0,
         0},
        {"silent",  // pinged, it answers none
         [](ScriptedService& s) {
             EXPECT_TRUE(s.Pump([&] { return s.peer->heard[FrameKind::Ping] > 0; }));
         },
         kIpcClientConnectionLost, kIpcClientServiceSilent},
        {"hung up", [](ScriptedService& s) { s.HangUp({}); }, kIpcClientConnectionLost,
         kIpcClientServiceHungUp},
        {"garbage", [](ScriptedService& s) { s.HangUp(std::vector<uint8_t>(40, 'g')); },
         kIpcClientConnectionLost, KivoWire::kBadFrame},
        {"closed", [](ScriptedService& s) { s.accessPoint.reset(); }, kIpcClientConnectionClosed,
         0},
        {"library ended", [](ScriptedService& s) { EXPECT_TRUE(s.library.Deinit().IsEmpty()); },
         Common::kCanceled, 0},
    };
    setenv(IPCClient::kPingIntervalVariable, "50", 1);
    setenv(IPCClient::kDeadIntervalVariable, "2500", 1);
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        ScriptedService session;
        ASSERT_TRUE(session.Connect(ScriptedService::Mode::Hold).IsEmpty());
        ASSERT_TRUE(session.Pump([&] { return session.lastPong_ == 5; }));
        AccessPoint& accessPoint = *session.accessPoint;
        uint32_t version = 0;
        EXPECT_TRUE(accessPoint.GetComponentVersion(271, version).IsEmpty() && version == 2);
        EXPECT_EQ(accessPoint.GetComponentVersion(272, version).Code(), kIpcClientNoComponent);
        std::vector<StartedCall> calls(kMaxCallsInFlight + 2);
        for (size_t i = 0; i < calls.size(); ++i) {
            Start(accessPoint, calls[i], kEcho, static_cast<int>(i) * 10);
        }
        // Once the Pong came, all that the library sent before it has been read: two calls queued.
        session.peer->Send(EncodeFrame(FrameKind::Ping, 0, 0, 6, {}));
        ASSERT_TRUE(session.Pump([&] { return session.lastPong_ == 6; }));
        ASSERT_EQ(session.calls_.size(), kMaxCallsInFlight);
        test.end(session);
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].handler.WaitFinished(), test.code == 0 ? kSucceeded : kFailed);
            EXPECT_EQ(calls[i].output, test.code == 0 ? static_cast<int>(i) * 10 + 1 : -1);
            EXPECT_EQ(calls[i].handler.failure.Code(), test.code);
            EXPECT_EQ(calls[i].handler.failure.Reason().Code(), test.reason);
        }
        if (test.reason != 0) {
            EXPECT_EQ(RunCall(accessPoint, kEcho, 1, calls[0].output).Code(),
                      kIpcClientConnectionLost);
        }
    }
    unsetenv(IPCClient::kPingIntervalVariable);
    unsetenv(IPCClient::kDeadIntervalVariable);
}

constexpr uint32_t kYeb = 34;
constexpr uint32_t kRefused = 0xAE0042;  // the code of the host's refusals

// The host's certificate, and what it answers to Credentials (between two Pings; a Ping:
// silence) and to Hello.
struct Script {
    enum class Peer { Trusted, OtherHost, Untrusted, Plain } peer;
    FrameKind login = FrameKind::Accepted;
    FrameKind greeting = FrameKind::Welcome;
};

// A host on 127.0.0.1 that serves `connections` connections in turn, each until it ends; with
// none, it refuses them.
struct ScriptedHost {
    ScriptedHost(const Script& script, int connections) {
        // The test CA, which the library trusts for the whole program (its client context is kept).
        static const KivoSecurityTesting::TestPki files = [] {
            auto made = KivoSecurityTesting::MakeTestPki(KivoSecurityTesting::TestFolder());
            setenv(KivoSecurity::kCaFileVariable, made.caFile.c_str(), 1);
            return made;
        }();
        const std::string identities[][2] = {{files.serverCertFile, files.serverKeyFile},
                                             {files.otherHostCertFile, files.otherHostKeyFile},
                                             {files.untrustedCertFile, files.untrustedKeyFile},
                                             {}};
        const auto& [certificate, key] = identities[static_cast<int>(script.peer)];
        EXPECT_TRUE(script.peer == Script::Peer::Plain ||
                    KivoSecurity::MakeServerContext(certificate, key, context).IsEmpty());
        const int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
        EXPECT_TRUE(connections == 0 || listen(listener, 8) == 0);
        port = std::to_string(ntohs(address.sin_port));
        heard = std::async(std::launch::async, [this, script, connections, listener]() mutable {
            std::map<FrameKind, int> counts;
            for (pollfd watched{listener, POLLIN, 0};
                 connections-- > 0 && poll(&watched, 1, 10000) == 1;) {
                Serve(script, accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC),
                      counts);
            }
            close(listener);
            return counts;
        });
    }

    void Serve(const Script& script, int fd, std::map<FrameKind, int>& heard) const {
        using enum FrameKind;
        std::map<FrameKind, std::vector<FrameKind>> answers{
            {Credentials, {Ping, script.login, Ping}},
            {Hello, {script.greeting}},
            {Call, {Reply}},
            {Ping, {Pong}}};
        std::unique_ptr<KivoSecurity::TlsLink> tls;
        EXPECT_TRUE(context == nullptr || KivoSecurity::MakeServerLink(context, fd, tls).IsEmpty());
        FramePeer peer(tls ? std::unique_ptr<KivoWire::Link>(std::move(tls))
                           : std::make_unique<KivoWire::SocketLink>(fd));
        for (KivoWire::Frame frame = peer.Next(true); frame.header.kind != FramePeer::kEnded;
             frame = peer.Next(true)) {
            for (const FrameKind kind : answers[frame.header.kind]) {
                const KivoWire::ComponentVersion components[] = {{kComponent, 3}};
                const Common::Error refusal(COMMON_PLACE("ScriptedHost::Serve"), kRefused);
                peer.Send(KivoWire::EncodeFrame(
                    kind, 0, 0, frame.header.callId,
                    kind == Welcome   ? KivoWire::WelcomePayload(components)
                    : kind == Refusal ? KivoWire::ErrorPayload(refusal)
                    : kind == Reply
                        ? TestComponent().HandleCall(frame.header.methodId, frame.payload)
                        : std::vector<uint8_t>()));
            }
        }
        for (const auto& [kind, count] : peer.heard) {
            heard[kind] += count;
        }
    }

    std::shared_ptr<const KivoSecurity::TlsContext> context;
    std::string port;
    std::future<std::map<FrameKind, int>> heard;  // by kind, once every connection has ended
};

// A login accepted: Pings answered on the way, the host found by name among the certificate's DNS
// names, each Connect logging in anew over a connection of its own. Each failure names the host
// and its cause, and only a verified host hears the credentials.
TEST(RemoteHost, ALoggedInBrowserConnectsAndEveryFailureNamesTheHostAndItsCause) {
    using enum Script::Peer;
    using enum FrameKind;
    using namespace KivoSecurity;
    using Common::kSystemCodeError;
    const struct {
        const char* name;
        Script script;
        uint32_t code;  // of Bind, or of a Connect when Bind succeeds; 0: two Connects succeed
        uint32_t reason;
        const char* cause = "";  // in the error's text
    } cases[] = {
        {"accepted", {Trusted}, 0, 0},
        {"login refused", {Trusted, Refusal}, kIpcClientAuthenticationFailed, kRefused},
        {"untrusted", {Untrusted}, kIpcClientNoSecureConnection, kCertificateNotTrusted},
        {"other host", {OtherHost}, kIpcClientNoSecureConnection, kHostNameMismatch},
        {"no TLS", {Plain}, kIpcClientNoSecureConnection, kHandshakeFailed},
        {"out of protocol", {Trusted, Welcome}, kIpcClientProtocolError, kIpcClientServiceHungUp},
        {"silent", {Trusted, Ping}, kIpcClientProtocolError, kIpcClientServiceSilent},
        {"service not served", {Trusted, Accepted, Refusal}, kIpcClientNoService, kRefused},
        {"closed", {Trusted}, kIpcClientHostUnreachable, kSystemCodeError, "Connection refused"},
    };
    setenv(IPCClient::kLoginIntervalVariable, "2000", 1);
    Library library;
    std::unique_ptr<Binder> binder;
    ASSERT_TRUE(IPCClient_CreateBinder(binder).IsEmpty());
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const int connects = test.code == 0 ? 2 : 1;  // the first over Bind's connection
        ScriptedHost host(test.script, test.code == kIpcClientHostUnreachable ? 0 : connects);
        const std::string name = (test.code == 0 ? "localhost:" : "127.0.0.1:") + host.port;
        std::unique_ptr<ServiceBrowser> browser;
        Common::Error error = binder->Bind({name, u"u", u"p"}, browser);
        for (int connect = 0; connect < connects && error.IsEmpty(); ++connect) {
            std::unique_ptr<AccessPoint> accessPoint;
            int output = -1;
            error = browser->Connect(kYeb, 0, accessPoint);
            if (error.IsEmpty()) {
                error = RunCall(*accessPoint, kEcho, 41, output);
                EXPECT_EQ(output, 42);
            }
        }
        browser.reset();  // nothing of the client stays open while the host finishes
        const std::string text = Common::ToUtf8(error.ToText());
        EXPECT_EQ(error.Code(), test.code) << text;
        EXPECT_EQ(error.Reason().Code(), test.reason) << text;
        EXPECT_NE(text.find(test.code == 0 ? "" : name), std::string::npos) << text;
        EXPECT_NE(text.find(test.cause), std::string::npos) << text;
        const bool verified =
            test.code != kIpcClientNoSecureConnection && test.code != kIpcClientHostUnreachable;
        std::map<FrameKind, int> heard = host.heard.get();
        EXPECT_EQ(heard[Credentials], verified ? connects : 0);
        if (test.code == 0) {
            EXPECT_EQ(heard[Hello], 2);
            EXPECT_EQ(heard[Pong], 4);  // to the Pings around each Accepted
        }
    }
}

}  // namespace
