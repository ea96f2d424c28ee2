// KivoWire::FramedSocket: one connected, non-blocking stream that carries frames, as an event
// loop drives it (the client library's I/O thread, or kivod's), over a link (link.h): a plain
// socket or TLS.
//
// The loop calls ReadAvailable when the socket is readable and Flush when it is writable (or
// after queueing, or after reading: a TLS link may have records of its own to send); neither
// blocks. Output waits in a queue whose size is kept (Pending), so that the owner can stop
// reading a peer that does not read its answers; WantsWritable says whether the loop should
// wait for room in the socket. The link, and so the socket, is closed with the object.
//
// Thread-safety: one thread at a time (the loop's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include <memory>

#include "platform/wire/frame_reader.h"
#include "platform/wire/link.h"
#include "platform/wire/socket_link.h"

namespace KivoWire {

/// See the file comment.
class FramedSocket : private Common::NonCopyable {
  public:
    /// How a read or flush left the socket: Open (more may come, or everything that could go
    /// went), Blocked (flush: output waits for room), Closed (read: the peer ended), Failed (a
    /// socket error or a frame that breaks the protocol: close it).
    using Status = LinkStatus;

    /// Frames over the plain socket `fd` (connected, non-blocking), which it takes.
    explicit FramedSocket(int fd) : FramedSocket(std::make_unique<SocketLink>(fd)) {}
    /// Frames over `link`.
    explicit FramedSocket(std::unique_ptr<Link> link) : link_(std::move(link)) {}

    [[nodiscard]] int Descriptor() const noexcept { return link_->Descriptor(); }
    /// The link under the frames.
    [[nodiscard]] Link& GetLink() noexcept { return *link_; }

    /// Reads what the socket holds (at most `budget` bytes, so that one busy peer cannot keep
    /// the loop) and appends the complete frames to `frames`. On Failed, `failure` says why.
    [[nodiscard]] Status ReadAvailable(std::vector<Frame>& frames, Common::Error& failure,
                                       size_t budget = 1u << 20);
    /// Queues the bytes of one frame.
    void Queue(std::vector<uint8_t> frame);
    /// Sends what is queued until the socket would block (or the link cannot take more yet).
    [[nodiscard]] Status Flush(Common::Error& failure);
    /// The bytes queued and not yet sent, the link's own included.
    [[nodiscard]] size_t Pending() const noexcept { return pending_ + link_->Held(); }
    /// True when output waits for room in the socket (not for a handshake).
    [[nodiscard]] bool WantsWritable() const noexcept {
        return link_->Held() > 0 || (pending_ > 0 && link_->ReadyToSend());
    }
    /// The bytes of frames received so far (what the stream carried, not what the socket did).
    [[nodiscard]] uint64_t Received() const noexcept { return received_; }
    /// True while a frame has been read in part.
    [[nodiscard]] bool InsideFrame() const noexcept { return reader_.InsideFrame(); }

  private:
    const std::unique_ptr<Link> link_;
    FrameReader reader_;
    std::vector<uint8_t> incoming_;  // reused between reads
    uint64_t received_ = 0;
    std::deque<std::vector<uint8_t>> output_;
    size_t sentOfFirst_ = 0;
    size_t pending_ = 0;
};

}  // namespace KivoWire
