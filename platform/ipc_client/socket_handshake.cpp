#include "platform/ipc_client/socket_handshake.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/library_errors.h"
#include "platform/wire/socket_paths.h"

namespace IPCClient {
namespace {

// The opening of service `serviceId` at `path` failed with the system error `code`.
Common::Error Unreachable(uint32_t serviceId, const std::string& path, int code) {
    Common::Error error = ServiceUnreachable(COMMON_PLACE("IPCClient::OpenServiceSocket"),
                                             serviceId, path, Common::Error());
    return error.AddWindowsError(static_cast<uint32_t>(code));
}

// Connects `fd` to `address`, blocking at most `bound`; an errno value, 0 when connected.
int ConnectWithin(int fd, const sockaddr_un& address, std::chrono::milliseconds bound) {
    // A Unix socket's connect waits for room in the listener's backlog for at most the send
    // timeout.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(bound.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((bound.count() % 1000) * 1000);
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) != 0) {
        return errno;
    }
    while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return errno;
    }
    return 0;
}

// Answers the Pings and drops the Pongs at the front of `frames`.
void AnswerPings(KivoWire::FramedSocket& socket, std::vector<KivoWire::Frame>& frames) {
    auto first = frames.begin();
    for (; first != frames.end(); ++first) {
        if (first->header.kind == KivoWire::FrameKind::Ping) {
            socket.Queue(
                KivoWire::EncodeFrame(KivoWire::FrameKind::Pong, 0, 0, first->header.callId, {}));
        } else if (first->header.kind != KivoWire::FrameKind::Pong) {
            break;
        }
    }
    frames.erase(frames.begin(), first);
}

}  // namespace

long long Deadline::Left() const {
    return std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
        .count();
}

Common::Error AwaitFrame(KivoWire::FramedSocket& socket, const Deadline& deadline,
                         std::vector<KivoWire::Frame>& frames,
                         const std::function<bool()>& settled) {
    KivoWire::FramedSocket::Status status = KivoWire::FramedSocket::Status::Open;
    Common::Error failure;
    for (;;) {
        AnswerPings(socket, frames);
        if (!frames.empty() || (settled && settled())) {
            return Common::Error();
        }
        if (status == KivoWire::FramedSocket::Status::Failed) {
            return failure;
        }
        if (status == KivoWire::FramedSocket::Status::Closed) {
            return ServiceHungUp(COMMON_PLACE("IPCClient::AwaitFrame"));
        }
        if (socket.Flush(failure) == KivoWire::FramedSocket::Status::Failed) {
            return failure;
        }
        const long long left = deadline.Left();
        if (left <= 0) {
            return ServiceSilent(COMMON_PLACE("IPCClient::AwaitFrame"), deadline.bound);
        }
        pollfd watched{socket.Descriptor(), POLLIN, 0};
        if (socket.WantsWritable()) {
            watched.events |= POLLOUT;
        }
        const int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno != EINTR) {
            return Common::LastSystemError(COMMON_PLACE("IPCClient::AwaitFrame"),
                                           Binding::kIpcClientServiceHungUp);
        }
        if (ready > 0 && (watched.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            status = socket.ReadAvailable(frames, failure);
        }
    }
}

Common::Error GreetService(uint32_t serviceId, const Deadline& deadline, OpenedSocket& opened) {
    opened.socket->Queue(KivoWire::EncodeFrame(KivoWire::FrameKind::Hello, 0, 0, 0,
                                               KivoWire::HelloPayload(serviceId)));
    std::vector<KivoWire::Frame> frames = std::move(opened.early);
    opened.early.clear();
    if (Common::Error failure = AwaitFrame(*opened.socket, deadline, frames); !failure.IsEmpty()) {
        return failure;
    }
    const KivoWire::Frame& first = frames.front();
    switch (first.header.kind) {
        case KivoWire::FrameKind::Welcome:
            if (Common::Error bad = KivoWire::ReadWelcome(first.payload, opened.components);
                !bad.IsEmpty()) {
                return bad;
            }
            break;
        case KivoWire::FrameKind::Refusal:
            return KivoWire::ReadError(first.payload);
        default:
            return UnexpectedFrame(COMMON_PLACE("IPCClient::GreetService"), first.header.kind);
    }
    opened.early.assign(std::make_move_iterator(frames.begin() + 1),
                        std::make_move_iterator(frames.end()));
    return Common::Error();
}

Common::Error ServiceUnreachable(const Common::SourceLocation& place, uint32_t serviceId,
                                 const std::string& where, const Common::Error& reason) {
    Common::Error error(place, Binding::kIpcClientNoService,
                        Common::FormatCatalogMessage(
                            Common::GetCatalogMessage(Common::kMsgIpcClientServiceUnreachable),
                            {Common::ToUtf16(std::to_string(serviceId)), Common::ToUtf16(where)}));
    if (!reason.IsEmpty()) {
        error.Add(reason);
    }
    return error;
}

Common::Error ServiceSilent(const Common::SourceLocation& place,
                            std::chrono::milliseconds interval) {
    return Common::Error(
        place, Binding::kIpcClientServiceSilent,
        Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgIpcClientServiceSilent),
                                     {Common::ToUtf16(std::to_string(interval.count()))}));
}

Common::Error ServiceHungUp(const Common::SourceLocation& place) {
    return Common::Error(place, Binding::kIpcClientServiceHungUp,
                         Common::GetCatalogMessage(Common::kMsgIpcClientServiceHungUp));
}

Common::Error UnexpectedFrame(const Common::SourceLocation& place, KivoWire::FrameKind kind) {
    const std::u16string number = Common::ToUtf16(std::to_string(static_cast<unsigned>(kind)));
    return Common::Error(
        place, Binding::kIpcClientServiceHungUp,
        Common::FormatCatalogMessage(
            Common::GetCatalogMessage(Common::kMsgIpcClientUnexpectedFrame), {number}));
}

Common::Error OpenServiceSocket(uint32_t serviceId, std::chrono::milliseconds bound,
                                OpenedSocket& opened) {
    const Deadline deadline = Deadline::After(bound);
    sockaddr_un address{};
    std::string path;
    const Common::Error placed =
        KivoWire::SocketAddress(KivoWire::SocketDirectory(), serviceId, address, path);
    if (placed.Code() == KivoWire::kNoSocketForService) {
        return NoService(COMMON_PLACE("IPCClient::OpenServiceSocket"), serviceId);
    }
    if (!placed.IsEmpty()) {
        return ServiceUnreachable(COMMON_PLACE("IPCClient::OpenServiceSocket"), serviceId, path,
                                  placed);
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Unreachable(serviceId, path, errno);
    }
    OpenedSocket greeted;
    greeted.socket = std::make_unique<KivoWire::FramedSocket>(fd);  // closes it on every path
    if (const int failed = ConnectWithin(fd, address, bound); failed != 0) {
        return Unreachable(serviceId, path, failed);
    }
    if (Common::Error failure = GreetService(serviceId, deadline, greeted); !failure.IsEmpty()) {
        return ServiceUnreachable(COMMON_PLACE("IPCClient::OpenServiceSocket"), serviceId, path,
                                  failure);
    }
    opened = std::move(greeted);
    return Common::Error();
}

}  // namespace IPCClient
