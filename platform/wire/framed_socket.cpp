#include "platform/wire/framed_socket.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace KivoWire {
namespace {

// The error of a failed socket call, with the system's text.
Common::Error SocketFailure(const Common::SourceLocation& place, const char* what) {
    const int lastError = errno;
    return Common::Error(place, kSocketFailure,
                         std::string("The connection to the peer failed while ") + what + ".")
        .AddWindowsError(static_cast<uint32_t>(lastError));
}

}  // namespace

FramedSocket::~FramedSocket() {
    if (fd_ >= 0)
        ::close(fd_);
}

FramedSocket::Status FramedSocket::ReadAvailable(std::vector<Frame>& frames, Common::Error& failure,
                                                 size_t budget) {
    uint8_t chunk[64 * 1024];
    size_t taken = 0;
    Status status = Status::Open;
    while (taken < budget) {
        const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got == 0) {
            status = Status::Closed;
            break;
        }
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                failure =
                    SocketFailure(COMMON_PLACE("KivoWire::FramedSocket::ReadAvailable"), "reading");
                return Status::Failed;
            }
            break;
        }
        taken += static_cast<size_t>(got);
        failure = reader_.Feed(std::span<const uint8_t>(chunk, static_cast<size_t>(got)));
        if (!failure.IsEmpty())
            return Status::Failed;
    }
    for (Frame frame; reader_.Next(frame);)
        frames.push_back(std::move(frame));
    return status;
}

void FramedSocket::Queue(std::vector<uint8_t> frame) {
    pending_ += frame.size();
    output_.push_back(std::move(frame));
}

FramedSocket::Status FramedSocket::Flush(Common::Error& failure) {
    while (!output_.empty()) {
        const std::vector<uint8_t>& first = output_.front();
        const ssize_t sent = ::send(fd_, first.data() + sentOfFirst_, first.size() - sentOfFirst_,
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return Status::Blocked;
            failure = SocketFailure(COMMON_PLACE("KivoWire::FramedSocket::Flush"), "writing");
            return Status::Failed;
        }
        sentOfFirst_ += static_cast<size_t>(sent);
        pending_ -= static_cast<size_t>(sent);
        if (sentOfFirst_ == first.size()) {
            output_.pop_front();
            sentOfFirst_ = 0;
        }
    }
    return Status::Open;
}

}  // namespace KivoWire
