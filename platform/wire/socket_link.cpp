#include "platform/wire/socket_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace KivoWire {

Common::Error SocketFailure(const Common::SourceLocation& place, int code, const char* doing) {
    return Common::Error(place, kSocketFailure,
                         std::string("The connection to the peer failed while ") + doing + ".")
        .AddWindowsError(static_cast<uint32_t>(code));
}

long ReceiveSome(int fd, std::span<uint8_t> chunk) noexcept {
    for (;;) {
        const ssize_t got = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (got >= 0 || errno != EINTR)
            return static_cast<long>(got);
    }
}

long SendSome(int fd, std::span<const uint8_t> bytes) noexcept {
    for (;;) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent >= 0 || errno != EINTR)
            return static_cast<long>(sent);
    }
}

SocketLink::~SocketLink() {
    if (fd_ >= 0)
        ::close(fd_);
}

LinkStatus SocketLink::Receive(std::vector<uint8_t>& received, size_t budget,
                               Common::Error& failure) {
    uint8_t chunk[64 * 1024];
    size_t taken = 0;
    while (taken < budget) {
        const long got = ReceiveSome(fd_, std::span(chunk, std::min(sizeof chunk, budget - taken)));
        if (got == 0)
            return LinkStatus::Closed;
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            failure =
                SocketFailure(COMMON_PLACE("KivoWire::SocketLink::Receive"), errno, "reading");
            return LinkStatus::Failed;
        }
        taken += static_cast<size_t>(got);
        received.insert(received.end(), chunk, chunk + got);
    }
    return LinkStatus::Open;
}

LinkStatus SocketLink::Send(std::span<const uint8_t> bytes, size_t& taken, Common::Error& failure) {
    taken = 0;
    while (taken < bytes.size()) {
        const long sent = SendSome(fd_, bytes.subspan(taken));
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return LinkStatus::Blocked;
            failure = SocketFailure(COMMON_PLACE("KivoWire::SocketLink::Send"), errno, "writing");
            return LinkStatus::Failed;
        }
        taken += static_cast<size_t>(sent);
    }
    return LinkStatus::Open;
}

}  // namespace KivoWire
