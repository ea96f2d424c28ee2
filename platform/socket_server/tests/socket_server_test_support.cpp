#include "platform/socket_server/tests/socket_server_test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "enterprise/common/ipc/view_manager/requests.h"
#include "platform/security/tls.h"
#include "platform/socket_server/tcp_listener.h"
#include "platform/store/tests/store_test_support.h"

namespace SocketServerTest {

using namespace KivoWire;
using Clock = std::chrono::steady_clock;

const KivoSecurityTesting::TestPki& Pki() {
    static const KivoStoreTest::ScratchFolder folder;
    static const KivoSecurityTesting::TestPki pki = [] {
        KivoSecurityTesting::TestPki made = KivoSecurityTesting::MakeTestPki(folder.File("."));
        ::setenv(KivoSecurity::kCaFileVariable, made.caFile.c_str(), 1);
        return made;
    }();
    return pki;
}

std::vector<uint8_t> Hello(std::vector<uint8_t> payload) {
    return EncodeFrame(FrameKind::Hello, 0, 0, 0, payload);
}

std::vector<uint8_t> Credentials(const std::string& user, const std::string& password) {
    std::vector<uint8_t> payload;
    EXPECT_TRUE(CredentialsPayload(user, password, payload).IsEmpty());
    return EncodeFrame(FrameKind::Credentials, 0, 0, 0, payload);
}

int Dial(const std::string& address) {
    sockaddr_storage peer{};
    socklen_t size = 0;
    EXPECT_TRUE(KivoServer::ResolveListenAddress(address, peer, size).IsEmpty());
    const int fd = ::socket(peer.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval bound{static_cast<time_t>(kBound.count()), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<const sockaddr*>(&peer), size));
    return fd;
}

std::unique_ptr<Client> Client::Remote(const std::string& address) {
    (void)Pki();
    const int fd = Dial(address);
    EXPECT_EQ(0, ::fcntl(fd, F_SETFL, O_NONBLOCK));
    std::shared_ptr<const KivoSecurity::TlsContext> context;
    EXPECT_TRUE(KivoSecurity::ClientContext(context).IsEmpty());
    std::unique_ptr<KivoSecurity::TlsLink> link;
    EXPECT_TRUE(KivoSecurity::MakeClientLink(context, fd, "127.0.0.1", link).IsEmpty());
    return std::make_unique<Client>(std::move(link));
}

std::unique_ptr<Client> Client::Local(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    EXPECT_EQ(0, ::fcntl(fd, F_SETFL, O_NONBLOCK));
    return std::make_unique<Client>(std::make_unique<SocketLink>(fd));
}

void Client::Call(uint32_t method, uint64_t callId, const std::vector<uint8_t>& packet) {
    Send(EncodeFrame(FrameKind::Call, 271, method, callId, packet));
}

void Client::End() {
    Drain();
    ::shutdown(socket.Descriptor(), SHUT_WR);
}

Frame Client::Next(bool withPings) {
    for (const auto deadline = Clock::now() + kBound;; Step(deadline)) {
        while (!frames.empty()) {
            Frame frame = std::move(frames.front());
            frames.pop_front();
            if (withPings || frame.header.kind != FrameKind::Ping)
                return frame;
        }
        if (ended)
            return Frame{{kEnded}, {}};
    }
}

void Client::Drain() {
    for (const auto deadline = Clock::now() + kBound; !ended;) {
        Common::Error failure;
        ended = socket.Flush(failure) == FramedSocket::Status::Failed;
        if (socket.Pending() == 0)
            return;
        Step(deadline);
    }
}

void Client::Open(bool login) {
    if (login)
        socket.Queue(Credentials("u", "p"));
    Send(Hello());  // behind the credentials: waits in the server for the check
    if (login) {
        ASSERT_EQ(FrameKind::Accepted, Next().header.kind);
    }
    ASSERT_EQ(FrameKind::Welcome, Next().header.kind);
    uint32_t view = 0;
    Kivo::ViewManagement::UnitVector units;
    const auto request = Kivo::ViewManagement::CreateOpenDynamicViewRequest(
        {KivoStoreTest::TypePattern(u"Machine"), nullptr}, view, units);
    Call(request->GetMethodID(), 1, request->Pack());
    EXPECT_TRUE(request->DeserializeReply(Next().payload).IsEmpty());
}

bool Client::Pings(uint64_t callId) {
    Send(EncodeFrame(FrameKind::Ping, 0, 0, callId, {}));
    const Frame pong = Next();
    return pong.header.kind == FrameKind::Pong && pong.header.callId == callId;
}

void Client::Step(Clock::time_point deadline) {
    Common::Error failure;
    ended = ended || socket.Flush(failure) == FramedSocket::Status::Failed;
    pollfd ready{socket.Descriptor(),
                 static_cast<short>(POLLIN | (socket.WantsWritable() ? POLLOUT : 0)), 0};
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (ended || left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) < 0) {
        EXPECT_TRUE(ended) << "no answer within the bound";
        ended = true;
        return;
    }
    if ((ready.revents & (POLLIN | POLLHUP | POLLERR)) == 0)
        return;
    std::vector<Frame> got;
    const FramedSocket::Status status = socket.ReadAvailable(got, failure);
    frames.insert(frames.end(), got.begin(), got.end());
    ended = status == FramedSocket::Status::Closed || status == FramedSocket::Status::Failed;
}

}  // namespace SocketServerTest
