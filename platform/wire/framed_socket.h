// KivoWire::FramedSocket: one connected, non-blocking stream socket that carries frames, as an
// event loop drives it (the client library's I/O thread, or kivod's).
//
// The loop calls ReadAvailable when the socket is readable and Flush when it is writable (or
// after queueing); neither blocks. Output waits in a queue whose size is kept (Pending), so that
// the owner can stop reading a peer that does not read its answers. Sends use MSG_NOSIGNAL: a
// peer that has gone never raises SIGPIPE. The socket is closed with the object.
//
// Thread-safety: one thread at a time (the loop's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/wire/frame_reader.h"

namespace KivoWire {

/// A socket call that failed (the system's error is the reason).
inline constexpr uint32_t kSocketFailure = 0xAE0013;

/// See the file comment.
class FramedSocket : private Common::NonCopyable {
  public:
    /// How a read or flush left the socket.
    enum class Status {
        Open,     // more may come (read) or everything queued was sent (flush)
        Blocked,  // flush: output is left for the next writable event
        Closed,   // the peer closed its end (read)
        Failed,   // a socket error or a frame that breaks the protocol: close it
    };

    /// Takes `fd` (connected, non-blocking).
    explicit FramedSocket(int fd) : fd_(fd) {}
    ~FramedSocket();

    [[nodiscard]] int Descriptor() const noexcept { return fd_; }

    /// Reads what the socket holds (at most `budget` bytes, so that one busy peer cannot keep
    /// the loop) and appends the complete frames to `frames`. On Failed, `failure` says why.
    [[nodiscard]] Status ReadAvailable(std::vector<Frame>& frames, Common::Error& failure,
                                       size_t budget = 1u << 20);
    /// Queues the bytes of one frame.
    void Queue(std::vector<uint8_t> frame);
    /// Sends what is queued until the socket would block.
    [[nodiscard]] Status Flush(Common::Error& failure);
    /// The bytes queued and not yet sent.
    [[nodiscard]] size_t Pending() const noexcept { return pending_; }
    /// True while a frame has been read in part.
    [[nodiscard]] bool InsideFrame() const noexcept { return reader_.InsideFrame(); }

  private:
    int fd_;
    FrameReader reader_;
    std::deque<std::vector<uint8_t>> output_;
    size_t sentOfFirst_ = 0;
    size_t pending_ = 0;
};

}  // namespace KivoWire
