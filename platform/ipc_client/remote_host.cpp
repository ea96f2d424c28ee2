#include "platform/ipc_client/remote_host.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <span>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "platform/security/tls.h"

namespace IPCClient {

template <typename Bytes>
Wiped<Bytes>::~Wiped() {
    OPENSSL_cleanse(value.data(), value.size());
}

template class Wiped<std::string>;
template class Wiped<std::vector<uint8_t>>;

namespace {

// An error of `code` with catalogue message `message` naming `host`, with `reason` (may be empty).
Common::Error HostFailure(const Common::SourceLocation& place, uint32_t code, uint32_t message,
                          const HostAddress& host, const Common::Error& reason) {
    Common::Error error(place, code,
                        Common::FormatCatalogMessage(Common::GetCatalogMessage(message),
                                                     {Common::ToUtf16(host.Display())}));
    if (!reason.IsEmpty()) {
        error.Add(reason);
    }
    return error;
}

Common::Error NoSecureConnection(const HostAddress& host, const Common::Error& reason) {
    return HostFailure(COMMON_PLACE("IPCClient::OpenHostConnection"),
                       Binding::kIpcClientNoSecureConnection,
                       Common::kMsgIpcClientNoSecureConnection, host, reason);
}

Common::Error ProtocolError(const HostAddress& host, const Common::Error& reason) {
    return HostFailure(COMMON_PLACE("IPCClient::OpenHostConnection"),
                       Binding::kIpcClientProtocolError, Common::kMsgIpcClientProtocolBroken, host,
                       reason);
}

// Converts `text` to UTF-8 in `into` without a reallocation that would leave an unwiped copy.
void ToWipedUtf8(std::u16string_view text, Wiped<std::string>& into) {
    into.value.reserve(text.size() * 3);  // the most UTF-8 bytes a UTF-16 unit can need
    Common::Utf16ToUtf8(text, into.value);
}

// Connects a new non-blocking socket to `address` by `deadline`: the descriptor, or -1 with
// errno.
int ConnectTo(const addrinfo& address, const Deadline& deadline) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address.ai_protocol);
    if (fd < 0) {
        return -1;
    }
    int failed = 0;
    if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0) {
        failed = errno;
        while (failed == EINPROGRESS || failed == EINTR) {
            const long long left = deadline.Left();
            if (left <= 0) {
                failed = ETIMEDOUT;
                break;
            }
            pollfd watched{fd, POLLOUT, 0};
            const int ready =
                ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
            socklen_t size = sizeof failed;
            if (ready < 0) {
                failed = errno;
            } else if (ready > 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &failed, &size) != 0) {
                failed = errno;
            }
        }
    }
    if (failed != 0) {
        ::close(fd);
        errno = failed;
        return -1;
    }
    const int on = 1;  // frames are small and each waits for its answer
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// Resolves `host` and connects to its first address that answers: the descriptor in `fd`.
Common::Error ConnectToHost(const HostAddress& host, const Deadline& deadline, int& fd) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int resolved =
        ::getaddrinfo(host.name.c_str(), std::to_string(host.port).c_str(), &hints, &found);
    int failed = resolved == EAI_SYSTEM ? errno : EHOSTUNREACH;
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    for (const addrinfo* address = found; resolved == 0 && address != nullptr;
         address = address->ai_next) {
        fd = ConnectTo(*address, deadline);
        if (fd >= 0) {
            return Common::Error();
        }
        failed = errno;
    }
    Common::Error unreachable = HostFailure(COMMON_PLACE("IPCClient::OpenHostConnection"),
                                            Binding::kIpcClientHostUnreachable,
                                            Common::kMsgIpcClientHostUnreachable, host, {});
    if (resolved != 0 && resolved != EAI_SYSTEM) {  // the resolver's own text
        return unreachable.Add(Common::Error(COMMON_PLACE("IPCClient::OpenHostConnection"),
                                             Binding::kIpcClientHostUnreachable,
                                             std::string_view(::gai_strerror(resolved))));
    }
    return unreachable.AddWindowsError(static_cast<uint32_t>(failed));
}

// Runs the TLS handshake over `fd` (taken): the verified link in `socket`.
Common::Error Secure(const HostAddress& host, int fd, const Deadline& deadline,
                     std::unique_ptr<KivoWire::FramedSocket>& socket,
                     std::vector<KivoWire::Frame>& frames) {
    std::shared_ptr<const KivoSecurity::TlsContext> context;
    if (Common::Error failed = KivoSecurity::ClientContext(context); !failed.IsEmpty()) {
        ::close(fd);
        return NoSecureConnection(host, failed);
    }
    std::unique_ptr<KivoSecurity::TlsLink> link;
    if (Common::Error failed = KivoSecurity::MakeClientLink(context, fd, host.name, link);
        !failed.IsEmpty()) {
        return NoSecureConnection(host, failed);
    }
    const KivoSecurity::TlsLink& tls = *link;
    socket = std::make_unique<KivoWire::FramedSocket>(std::move(link));
    Common::Error failed =
        AwaitFrame(*socket, deadline, frames, [&tls] { return tls.Established(); });
    if (!failed.IsEmpty()) {
        return NoSecureConnection(host, failed);
    }
    if (!frames.empty()) {  // the host spoke before it heard the credentials
        return ProtocolError(host, UnexpectedFrame(COMMON_PLACE("IPCClient::OpenHostConnection"),
                                                   frames.front().header.kind));
    }
    return Common::Error();
}

// Hands the Credentials frame to the established link of `socket`, wiping every copy.
Common::Error SendCredentials(const Login& login, KivoWire::FramedSocket& socket) {
    Wiped<std::vector<uint8_t>> payload;
    if (Common::Error bad =
            KivoWire::CredentialsPayload(login.user.value, login.password.value, payload.value);
        !bad.IsEmpty()) {
        return bad;
    }
    Wiped<std::vector<uint8_t>> frame;
    frame.value = KivoWire::EncodeFrame(KivoWire::FrameKind::Credentials, 0, 0, 0, payload.value);
    size_t taken = 0;
    Common::Error failure;
    if (socket.GetLink().Send(frame.value, taken, failure) == KivoWire::LinkStatus::Failed) {
        return failure;
    }
    if (taken < frame.value.size()) {  // the link holds no more: the rest waits in the queue
        socket.Queue(std::vector<uint8_t>(frame.value.begin() + static_cast<ptrdiff_t>(taken),
                                          frame.value.end()));
    }
    return Common::Error();
}

}  // namespace

Common::Error ReadLogin(const Binding::ConnectionParameters& parameters, Login& login) {
    if (Common::Error bad = ParseHost(parameters.host, login.host); !bad.IsEmpty()) {
        return bad;
    }
    ToWipedUtf8(parameters.user, login.user);
    ToWipedUtf8(parameters.password, login.password);
    Wiped<std::vector<uint8_t>> payload;
    if (Common::Error bad =
            KivoWire::CredentialsPayload(login.user.value, login.password.value, payload.value);
        !bad.IsEmpty()) {
        return HostFailure(COMMON_PLACE("IPCClient::ReadLogin"),
                           Binding::kIpcClientAuthenticationFailed,
                           Common::kMsgIpcClientNotAuthenticated, login.host, bad);
    }
    return Common::Error();
}

Common::Error OpenHostConnection(const Login& login, const Deadline& deadline,
                                 OpenedSocket& opened) {
    const HostAddress& host = login.host;
    int fd = -1;
    if (Common::Error failed = ConnectToHost(host, deadline, fd); !failed.IsEmpty()) {
        return failed;
    }
    std::unique_ptr<KivoWire::FramedSocket> socket;
    std::vector<KivoWire::Frame> frames;
    if (Common::Error failed = Secure(host, fd, deadline, socket, frames); !failed.IsEmpty()) {
        return failed;
    }
    if (Common::Error failed = SendCredentials(login, *socket); !failed.IsEmpty()) {
        return ProtocolError(host, failed);
    }
    if (Common::Error failed = AwaitFrame(*socket, deadline, frames); !failed.IsEmpty()) {
        return ProtocolError(host, failed);
    }
    const KivoWire::Frame& answer = frames.front();
    switch (answer.header.kind) {
        case KivoWire::FrameKind::Accepted:
            break;
        case KivoWire::FrameKind::Refusal:
            return HostFailure(COMMON_PLACE("IPCClient::OpenHostConnection"),
                               Binding::kIpcClientAuthenticationFailed,
                               Common::kMsgIpcClientNotAuthenticated, host,
                               KivoWire::ReadError(answer.payload));
        default:
            return ProtocolError(
                host,
                UnexpectedFrame(COMMON_PLACE("IPCClient::OpenHostConnection"), answer.header.kind));
    }
    opened.socket = std::move(socket);
    opened.components.clear();
    opened.early.assign(std::make_move_iterator(frames.begin() + 1),
                        std::make_move_iterator(frames.end()));
    return Common::Error();
}

}  // namespace IPCClient
