// The library against a scripted host over TLS: a login accepted (Pings answered on the way, each
// later Connect logging in anew), and each way that Bind or Connect fails.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <map>

#include "core/common/text.h"
#include "platform/ipc_client/socket_transport.h"
#include "platform/ipc_client/tests/call_test_support.h"
#include "platform/security/tls.h"
#include "platform/wire/framed_socket.h"
#include "tests/support/test_pki.h"

namespace {

using namespace Binding;
using namespace IpcClientTest;
using KivoWire::FrameKind;
using Status = KivoWire::FramedSocket::Status;
constexpr uint32_t kYeb = 34;
constexpr uint32_t kRefused = 0xAE0042;  // the code of the host's refusals

// The test CA, which the library trusts for the whole program (its client context is kept), and
// logins that give up after 2 s.
struct Pki : ::testing::Environment {
    void SetUp() override {
        files = KivoSecurityTesting::MakeTestPki(KivoSecurityTesting::TestFolder());
        setenv(KivoSecurity::kCaFileVariable, files.caFile.c_str(), 1);
        setenv(IPCClient::kLoginIntervalVariable, "2000", 1);
    }
    KivoSecurityTesting::TestPki files;
};
const Pki* const pki = static_cast<Pki*>(::testing::AddGlobalTestEnvironment(new Pki));

// The host's certificate, and what it answers to Credentials (between two Pings; a Ping:
// silence) and to Hello.
struct Script {
    enum class Peer { Trusted, OtherHost, Untrusted, Plain } peer;
    FrameKind login = FrameKind::Accepted;
    FrameKind greeting = FrameKind::Welcome;
};

// A host on 127.0.0.1 that serves `connections` connections in turn, each until it ends or is
// silent for 10 s; with none, it refuses them.
struct ScriptedHost {
    ScriptedHost(const Script& script, int connections) {
        const KivoSecurityTesting::TestPki& files = pki->files;
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
        std::unique_ptr<KivoSecurity::TlsLink> link;
        EXPECT_TRUE(context == nullptr ||
                    KivoSecurity::MakeServerLink(context, fd, link).IsEmpty());
        const auto peer = link ? std::make_unique<KivoWire::FramedSocket>(std::move(link))
                               : std::make_unique<KivoWire::FramedSocket>(fd);  // plain frames
        for (Status status = Status::Open; status == Status::Open || status == Status::Blocked;) {
            pollfd watched{fd, static_cast<short>(POLLIN | (peer->WantsWritable() ? POLLOUT : 0)),
                           0};
            std::vector<KivoWire::Frame> frames;
            Common::Error failure;
            status = poll(&watched, 1, 10000) == 1 ? peer->ReadAvailable(frames, failure)
                                                   : Status::Failed;
            for (const KivoWire::Frame& frame : frames) {
                ++heard[frame.header.kind];
                for (const FrameKind kind : answers[frame.header.kind]) {
                    const KivoWire::ComponentVersion components[] = {{kComponent, 3}};
                    const Common::Error refusal(COMMON_PLACE("ScriptedHost::Serve"), kRefused);
                    peer->Queue(KivoWire::EncodeFrame(
                        kind, 0, 0, frame.header.callId,
                        kind == Welcome   ? KivoWire::WelcomePayload(components)
                        : kind == Refusal ? KivoWire::ErrorPayload(refusal)
                        : kind == Reply
                            ? TestComponent().HandleCall(frame.header.methodId, frame.payload)
                            : std::vector<uint8_t>()));
                }
            }
            if (status == Status::Open) {
                status = peer->Flush(failure);
            }
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
    Library library;
    std::unique_ptr<Binder> binder;
    ASSERT_TRUE(IPCClient_CreateBinder(binder).IsEmpty());
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        const int connects = test.code == 0 ? 2 : 1;  // the first over Bind's connection
        ScriptedHost host(test.script, test.code == kIpcClientHostUnreachable ? 0 : connects);
        const std::string name = (test.code == 0 ? "localhost:" : "127.0.0.1:") + host.port;
        const Common::Error error = [&] {  // nothing of the client stays open after it
            std::unique_ptr<ServiceBrowser> browser;
            Common::Error failure = binder->Bind({name, u"u", u"p"}, browser);
            for (int connect = 0; connect < connects && failure.IsEmpty(); ++connect) {
                std::unique_ptr<AccessPoint> accessPoint;
                int output = -1;
                std::unique_ptr<CallJob> job;
                failure = browser->Connect(kYeb, 0, accessPoint);
                if (failure.IsEmpty()) {
                    failure = accessPoint->Call(MakeRequest(kEcho, 41, output), job);
                }
                if (failure.IsEmpty()) {
                    failure = job->Run();
                    EXPECT_EQ(output, 42);
                }
            }
            return failure;
        }();
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
