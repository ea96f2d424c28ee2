// The library against a scripted host over TCP and TLS on 127.0.0.1: a login accepted (Pings
// answered while waiting, a call answered, a second Connect logging in anew), a login refused,
// certificates not trusted or made out to another host, a host that speaks no TLS, one that
// breaks the protocol or falls silent after the credentials, a service it does not serve, and
// nothing listening. A host whose certificate fails verification never hears the credentials.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

#include "core/common/text.h"
#include "platform/ipc_client/socket_transport.h"
#include "platform/ipc_client/tests/call_test_support.h"
#include "platform/security/testing/test_pki.h"
#include "platform/security/tls.h"
#include "platform/wire/framed_socket.h"

namespace {

using namespace Binding;
using namespace IpcClientTest;
using KivoWire::EncodeFrame;
using KivoWire::FrameKind;
using Status = KivoWire::FramedSocket::Status;
constexpr uint32_t kYeb = 34;
constexpr uint32_t kRefused = 0xAE0042;  // the code of the host's refusals

// The test CA, which the library trusts for the whole program (its client context is kept).
struct Pki : ::testing::Environment {
    void SetUp() override {
        folder = mkdtemp(std::string("/tmp/ipc-tls-XXXXXX").data());
        files = KivoSecurityTesting::MakeTestPki(folder);
        setenv(KivoSecurity::kCaFileVariable, files.caFile.c_str(), 1);
        setenv(IPCClient::kLoginIntervalVariable, "2000", 1);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }
    std::string folder;
    KivoSecurityTesting::TestPki files;
};
Pki* const pki = static_cast<Pki*>(::testing::AddGlobalTestEnvironment(new Pki));

// What the host presents and answers.
struct Script {
    enum class Certificate { Trusted, OtherHost, Untrusted, NoTls } certificate;
    std::optional<FrameKind> login = FrameKind::Accepted;  // to Credentials; none: silence
    FrameKind greeting = FrameKind::Welcome;               // to Hello
};

// A host on 127.0.0.1 whose thread serves every connection as the script says.
class ScriptedHost {
  public:
    explicit ScriptedHost(const Script& script) : script_(script) {
        const KivoSecurityTesting::TestPki& files = pki->files;
        const std::pair<std::string, std::string> identities[] = {
            {files.serverCertFile, files.serverKeyFile},
            {files.otherHostCertFile, files.otherHostKeyFile},
            {files.untrustedCertFile, files.untrustedKeyFile}};
        if (script.certificate != Script::Certificate::NoTls) {
            const auto& [certificate, key] = identities[static_cast<int>(script.certificate)];
            EXPECT_TRUE(KivoSecurity::MakeServerContext(certificate, key, context_).IsEmpty());
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size), 0);
        EXPECT_EQ(listen(listener_, 8), 0);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~ScriptedHost() {
        const uint64_t one = 1;
        EXPECT_EQ(write(stop_, &one, sizeof one), ssize_t(sizeof one));
        thread_.join();
        close(listener_);
        close(stop_);
    }

    std::string Host(const std::string& name = "127.0.0.1") const {
        return name + ":" + std::to_string(port_);
    }
    int Heard(FrameKind kind) {
        std::lock_guard<std::mutex> hold(lock_);
        return heard_[kind];
    }
    // Waits (20 s at most) until `count` connections have ended.
    bool AwaitEnded(int count) {
        std::unique_lock<std::mutex> hold(lock_);
        return changed_.wait_for(hold, std::chrono::seconds(20), [&] { return ended_ >= count; });
    }

  private:
    void Serve() {
        std::vector<std::unique_ptr<KivoWire::FramedSocket>> peers;
        for (;;) {
            std::vector<pollfd> watched{{stop_, POLLIN, 0}, {listener_, POLLIN, 0}};
            for (const auto& peer : peers) {
                const short out = peer->WantsWritable() ? POLLOUT : 0;
                watched.push_back({peer->Descriptor(), static_cast<short>(POLLIN | out), 0});
            }
            if (poll(watched.data(), watched.size(), -1) < 0 || watched[0].revents != 0) {
                return;
            }
            if (watched[1].revents != 0) {
                const int fd = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                std::unique_ptr<KivoSecurity::TlsLink> link;
                if (context_ == nullptr) {
                    peers.push_back(std::make_unique<KivoWire::FramedSocket>(fd));  // plain frames
                } else if (KivoSecurity::MakeServerLink(context_, fd, link).IsEmpty()) {
                    peers.push_back(std::make_unique<KivoWire::FramedSocket>(std::move(link)));
                }
            }
            for (auto peer = peers.begin(); peer != peers.end();) {  // every one, ready or not
                std::vector<KivoWire::Frame> frames;
                Common::Error failure;
                Status status = (*peer)->ReadAvailable(frames, failure);
                for (const KivoWire::Frame& frame : frames) {
                    Answer(**peer, frame);
                }
                if (status == Status::Open && (*peer)->Flush(failure) == Status::Failed) {
                    status = Status::Failed;
                }
                if (status == Status::Open || status == Status::Blocked) {
                    ++peer;
                    continue;
                }
                peer = peers.erase(peer);
                std::lock_guard<std::mutex> hold(lock_);
                ++ended_;
                changed_.notify_all();
            }
        }
    }
    void Answer(KivoWire::FramedSocket& peer, const KivoWire::Frame& frame) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++heard_[frame.header.kind];
        }
        const auto send = [&peer](FrameKind kind, uint64_t id, std::span<const uint8_t> payload) {
            peer.Queue(EncodeFrame(kind, 0, 0, id, payload));
        };
        const auto answer = [&send](FrameKind kind) {
            const KivoWire::ComponentVersion components[] = {{kComponent, 3}};
            const Common::Error refusal(COMMON_PLACE("Test::Refuse"), kRefused);
            send(kind, 0,
                 kind == FrameKind::Welcome   ? KivoWire::WelcomePayload(components)
                 : kind == FrameKind::Refusal ? KivoWire::ErrorPayload(refusal)
                                              : std::vector<uint8_t>());
        };
        switch (frame.header.kind) {
            case FrameKind::Credentials:
                send(FrameKind::Ping, 7, {});  // answered while the client waits
                if (script_.login) {
                    answer(*script_.login);
                }
                send(FrameKind::Ping, 8, {});  // answered by the greeting, or the I/O thread
                break;
            case FrameKind::Hello:
                answer(script_.greeting);
                break;
            case FrameKind::Call:
                send(FrameKind::Reply, frame.header.callId,
                     TestComponent().HandleCall(frame.header.methodId, frame.payload));
                break;
            case FrameKind::Ping:
                send(FrameKind::Pong, frame.header.callId, {});
                break;
            default:
                break;
        }
    }

    const Script script_;
    std::shared_ptr<const KivoSecurity::TlsContext> context_;
    int listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int stop_ = eventfd(0, EFD_CLOEXEC);
    uint16_t port_ = 0;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<FrameKind, int> heard_;
    int ended_ = 0;
};

Common::Error BindAndConnect(const std::string& host, std::unique_ptr<AccessPoint>& accessPoint) {
    std::unique_ptr<Binder> binder;
    std::unique_ptr<ServiceBrowser> browser;
    Common::Error error = IPCClient_CreateBinder(binder);
    if (error.IsEmpty()) {
        error = binder->Bind({host, u"u", u"p\u00e9"}, browser);
    }
    return error.IsEmpty() ? browser->Connect(kYeb, 0, accessPoint) : error;
}

TEST(RemoteHost, ALoggedInBrowserConnectsAndEachLaterConnectLogsInAgain) {
    Library library;
    ScriptedHost host({Script::Certificate::Trusted});
    std::unique_ptr<Binder> binder;
    ASSERT_TRUE(IPCClient_CreateBinder(binder).IsEmpty());
    std::unique_ptr<ServiceBrowser> browser;
    // A name this time: resolved, and found among the certificate's DNS names.
    ASSERT_TRUE(binder->Bind({host.Host("localhost"), u"u", u"p"}, browser).IsEmpty());
    std::unique_ptr<AccessPoint> first;
    std::unique_ptr<AccessPoint> second;
    ASSERT_TRUE(browser->Connect(kYeb, 0, first).IsEmpty());
    ASSERT_TRUE(browser->Connect(kYeb, 0, second).IsEmpty());
    browser.reset();  // the access points outlive their browser
    for (AccessPoint* accessPoint : {first.get(), second.get()}) {
        uint32_t version = 0;
        EXPECT_TRUE(accessPoint->GetComponentVersion(kComponent, version).IsEmpty());
        EXPECT_EQ(version, 3u);
        int output = -1;
        std::unique_ptr<CallJob> job;
        ASSERT_TRUE(accessPoint->Call(MakeRequest(kEcho, 41, output), job).IsEmpty());
        EXPECT_TRUE(job->Run().IsEmpty());
        EXPECT_EQ(output, 42);
    }
    // Read before the calls that followed them.
    EXPECT_EQ(host.Heard(FrameKind::Credentials), 2);
    EXPECT_EQ(host.Heard(FrameKind::Hello), 2);
    EXPECT_EQ(host.Heard(FrameKind::Pong), 4);  // the Pings around each Accepted
}

TEST(RemoteHost, FailuresNameTheHostAndTheirCauseAndOnlyAVerifiedHostHearsTheCredentials) {
    using enum Script::Certificate;
    const struct {
        const char* name;
        Script script;
        uint32_t code;  // of Bind, or of Connect when Bind succeeds
        uint32_t reason;
        int credentials;  // Credentials frames the host heard
    } cases[] = {
        // clang-format off
        {"login refused", {Trusted, FrameKind::Refusal}, kIpcClientAuthenticationFailed,
         kRefused, 1},
        {"untrusted", {Untrusted}, kIpcClientNoSecureConnection,
         KivoSecurity::kCertificateNotTrusted, 0},
        {"other host", {OtherHost}, kIpcClientNoSecureConnection,
         KivoSecurity::kHostNameMismatch, 0},
        {"no TLS", {NoTls}, kIpcClientNoSecureConnection, KivoSecurity::kHandshakeFailed, 0},
        {"out of protocol", {Trusted, FrameKind::Welcome}, kIpcClientProtocolError,
         kIpcClientServiceHungUp, 1},
        {"silent", {Trusted, std::nullopt}, kIpcClientProtocolError, kIpcClientServiceSilent, 1},
        {"service not served", {Trusted, FrameKind::Accepted, FrameKind::Refusal},
         kIpcClientNoService, kRefused, 1},
        // clang-format on
    };
    Library library;
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        ScriptedHost host(test.script);
        const auto started = std::chrono::steady_clock::now();
        std::unique_ptr<AccessPoint> accessPoint;
        const Common::Error error = BindAndConnect(host.Host(), accessPoint);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
        const std::string text = Common::ToUtf8(error.ToText());
        EXPECT_EQ(error.Code(), test.code) << text;
        EXPECT_EQ(error.Reason().Code(), test.reason) << text;
        EXPECT_NE(text.find(host.Host()), std::string::npos) << text;
        EXPECT_EQ(accessPoint, nullptr);
        ASSERT_TRUE(host.AwaitEnded(1));  // the host has read all it was sent
        EXPECT_EQ(host.Heard(FrameKind::Credentials), test.credentials);
    }
}

TEST(RemoteHost, APortWhereNothingListensIsUnreachableWithTheSystemsReason) {
    Library library;
    const std::string host = ScriptedHost({Script::Certificate::Trusted}).Host();  // closed now
    std::unique_ptr<AccessPoint> accessPoint;
    const Common::Error error = BindAndConnect(host, accessPoint);
    const std::string text = Common::ToUtf8(error.ToText());
    EXPECT_EQ(error.Code(), kIpcClientHostUnreachable) << text;
    EXPECT_NE(text.find(host), std::string::npos) << text;
    EXPECT_NE(text.find("Connection refused"), std::string::npos) << text;
}

}  // namespace
