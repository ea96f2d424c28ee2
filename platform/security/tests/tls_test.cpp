// TLS links in pairs over socketpair(), driven by a small poll loop: the handshake and a full-
// duplex megabyte, every refused handshake with its code, the CA file of KIVO_CA_FILE, the
// server's files, and OpenSSL's own client against our server.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <random>

#include "core/common/text.h"
#include "platform/security/platform_security.h"
#include "platform/security/tls.h"
#include "tests/support/test_pki.h"

namespace {

using KivoWire::LinkStatus;
using namespace KivoSecurity;

// One end of a pair: what it still has to send, in Sends of `piece` bytes, and what it received.
struct End {
    std::unique_ptr<TlsLink> link;
    std::vector<uint8_t> out;
    size_t piece = 1 << 20;
    size_t sent = 0;
    std::vector<uint8_t> in;
    LinkStatus status = LinkStatus::Open;
    Common::Error failure;
};

// Moves bytes both ways until `done` holds, an end fails or ends, or nothing moves for 10 s.
// The ciphertext that a link holds stays within a few records all along.
void Pump(
    std::vector<End*> ends, const std::function<bool()>& done = [] { return false; }) {
    for (;;) {
        std::vector<pollfd> watched;
        for (End* end : ends) {
            // Pieces until the link takes less than it is offered; once at least, for what it
            // holds.
            for (bool more = true; more && end->status == LinkStatus::Open;) {
                const size_t offered = std::min(end->piece, end->out.size() - end->sent);
                size_t taken = 0;
                if (end->link->Send(std::span<const uint8_t>(end->out).subspan(end->sent, offered),
                                    taken, end->failure) == LinkStatus::Failed)
                    end->status = LinkStatus::Failed;
                end->sent += taken;
                EXPECT_LE(end->link->Held(), 64u << 10);
                more = offered > 0 && taken == offered;
            }
            if (end->status == LinkStatus::Open)
                end->status = end->link->Receive(end->in, 1 << 20, end->failure);
            if (end->status != LinkStatus::Open)
                return;
            const bool waits =
                end->link->Held() > 0 || (end->link->ReadyToSend() && end->sent < end->out.size());
            watched.push_back({end->link->Descriptor(), short(POLLIN | (waits ? POLLOUT : 0)), 0});
        }
        if (done())
            return;
        ASSERT_GT(::poll(watched.data(), watched.size(), 10000), 0) << "nothing moved for 10 s";
    }
}

class TlsTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        pki_ = KivoSecurityTesting::MakeTestPki(KivoSecurityTesting::TestFolder());
    }
    void SetUp() override { ::setenv(kCaFileVariable, pki_.caFile.c_str(), 1); }

    // A client for `host` and a server presenting `certificate`, over a socketpair.
    static void Connect(End& client, End& server, const std::string& certificate,
                        const std::string& key, const std::string& host) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
        std::shared_ptr<const TlsContext> clientContext, serverContext;
        ASSERT_TRUE(ClientContext(clientContext).IsEmpty());
        ASSERT_TRUE(MakeServerContext(certificate, key, serverContext).IsEmpty());
        ASSERT_TRUE(MakeClientLink(clientContext, fds[0], host, client.link).IsEmpty());
        ASSERT_TRUE(MakeServerLink(serverContext, fds[1], server.link).IsEmpty());
    }

    static inline KivoSecurityTesting::TestPki pki_;
};

TEST_F(TlsTest, AMegabyteCrossesBothWaysAtOnceAndTheEndIsClean) {
    // Whole records, and records so small that one read from the socket holds hundreds.
    for (const auto& [host, piece] :
         {std::pair{"127.0.0.1", size_t{1} << 20}, std::pair{"localhost", size_t{100}}}) {
        End client, server;
        Connect(client, server, pki_.serverCertFile, pki_.serverKeyFile, host);
        std::mt19937 random(7);
        for (End* end : {&client, &server}) {
            end->piece = piece;
            end->out.resize(1 << 20);
            std::generate(end->out.begin(), end->out.end(), [&] { return uint8_t(random()); });
        }
        Pump({&client, &server}, [&] {
            return client.in.size() == server.out.size() && server.in.size() == client.out.size();
        });
        EXPECT_TRUE(client.in == server.out && server.in == client.out) << host;
        client.link.reset();  // sends close_notify
        Pump({&server});
        EXPECT_EQ(server.status, LinkStatus::Closed) << Common::ToUtf8(server.failure.ToText());
    }
}

TEST_F(TlsTest, EachRefusedHandshakeHasItsCode) {
    const struct {
        std::string certificate, key, host;
        uint32_t code;
    } cases[] = {
        {pki_.untrustedCertFile, pki_.untrustedKeyFile, "127.0.0.1", kCertificateNotTrusted},
        {pki_.otherHostCertFile, pki_.otherHostKeyFile, "localhost", kHostNameMismatch},
        {pki_.serverCertFile, pki_.serverKeyFile, "127.0.0.2", kHostNameMismatch},
    };
    for (const auto& run : cases) {
        End client, server;
        Connect(client, server, run.certificate, run.key, run.host);
        Pump({&client, &server});
        EXPECT_EQ(client.failure.Code(), run.code) << Common::ToUtf8(client.failure.ToText());
        // The server learns of it through the client's alert or end, and sends nothing more.
        Pump({&server});
        EXPECT_EQ(server.failure.Code(), kHandshakeFailed) << run.host;
        size_t taken = 9;
        EXPECT_EQ(server.link->Send(std::vector<uint8_t>(3), taken, server.failure),
                  LinkStatus::Failed);
        EXPECT_EQ(taken, 0u);
    }
    // A client that speaks plain bytes, and one that goes in the middle of the handshake.
    for (const bool plain : {true, false}) {
        End client, server;
        Connect(client, server, pki_.serverCertFile, pki_.serverKeyFile, "localhost");
        if (plain) {
            ASSERT_EQ(::write(client.link->Descriptor(), "KIVO hello\n", 11), 11);
        } else {
            Pump({&client}, [&] { return client.link->Held() == 0; });
            client.link.reset();
        }
        Pump({&server});
        EXPECT_EQ(server.failure.Code(), kHandshakeFailed) << plain;
    }
}

TEST_F(TlsTest, TheCaFileAndTheServersFilesAreChecked) {
    const std::string folder = KivoSecurityTesting::TestFolder();
    std::ofstream(folder + "/empty.pem").flush();
    std::ofstream(folder + "/junk.pem") << "-----BEGIN nothing\n";
    const ScopedPlatformSecurity security;
    const std::pair<std::string, uint32_t> caFiles[] = {
        {folder + "/missing.pem", kCaFileUnreadable},
        {folder, kCaFileUnreadable},
        {folder + "/empty.pem", kCaFileEmpty},
        {folder + "/junk.pem", kCaFileEmpty},
        {pki_.caFile, 0},
    };
    for (const auto& [caFile, code] : caFiles) {
        ::setenv(kCaFileVariable, caFile.c_str(), 1);
        std::shared_ptr<const TlsContext> context;
        EXPECT_EQ(ClientContext(context).Code(), code) << caFile;
        EXPECT_EQ(Security_Initialize(1, 0) != 0, code != 0) << caFile;  // the library's answer
    }
    const struct {
        std::string certificate, key;
        uint32_t code;
    } serverFiles[] = {
        {pki_.serverCertFile, pki_.otherHostKeyFile, kTlsSetupFailed},
        {folder + "/missing.pem", pki_.serverKeyFile, kTlsSetupFailed},
        {pki_.serverCertFile, folder + "/missing.key", kTlsSetupFailed},
        {pki_.serverCertFile, pki_.caFile, kFileTooOpen},  // a key file of mode 0644
    };
    for (const auto& run : serverFiles) {
        std::shared_ptr<const TlsContext> context;
        EXPECT_EQ(MakeServerContext(run.certificate, run.key, context).Code(), run.code)
            << run.certificate << " " << run.key;
    }
    // A client link needs the client context and a host to check; the socket is closed.
    std::shared_ptr<const TlsContext> server, client;
    ASSERT_TRUE(MakeServerContext(pki_.serverCertFile, pki_.serverKeyFile, server).IsEmpty());
    ASSERT_TRUE(ClientContext(client).IsEmpty());
    for (const auto& [context, host] : {std::pair{server, "localhost"}, std::pair{client, ""}}) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        std::unique_ptr<TlsLink> link;
        EXPECT_EQ(MakeClientLink(context, fd, host, link).Code(), kTlsSetupFailed);
        EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    }
}

// OpenSSL's own client verifies our server (its IP address included) and a line crosses each
// way; a client that offers nothing newer than TLS 1.2 is refused.
TEST_F(TlsTest, OpenSslsClientTalksWithOurServerOverTls13Only) {
    std::shared_ptr<const TlsContext> context;
    ASSERT_TRUE(MakeServerContext(pki_.serverCertFile, pki_.serverKeyFile, context).IsEmpty());
    const std::string line = "from our server\n";
    for (const bool modern : {true, false}) {
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
        ASSERT_EQ(::listen(listener, 1), 0);
        ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
        FILE* output = ::popen(
            ("echo from s_client | timeout 20 openssl s_client -quiet " +
             std::string(modern ? "-tls1_3" : "-tls1_2") + " -verify_return_error -CAfile " +
             pki_.caFile + " -verify_ip 127.0.0.1 -connect 127.0.0.1:" +
             std::to_string(ntohs(address.sin_port)) + " 2>/dev/null")
                .c_str(),
            "r");
        ASSERT_NE(output, nullptr);
        pollfd waiting{listener, POLLIN, 0};
        ASSERT_EQ(::poll(&waiting, 1, 10000), 1);
        End server;
        ASSERT_TRUE(MakeServerLink(context, ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK),
                                   server.link)
                        .IsEmpty());
        ::close(listener);
        server.out.assign(line.begin(), line.end());
        Pump({&server}, [&] { return server.in.size() >= 14 && server.sent == server.out.size(); });
        EXPECT_EQ(std::string(server.in.begin(), server.in.end()), modern ? "from s_client\n" : "");
        server.link.reset();  // close_notify ends s_client
        char printed[64] = {};
        EXPECT_EQ(std::string(printed, std::fread(printed, 1, sizeof printed - 1, output)),
                  modern ? line : "");
        EXPECT_EQ(::pclose(output) == 0, modern);
    }
}

}  // namespace
