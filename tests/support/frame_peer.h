// KivoTestSupport::FramePeer: the far end of a framed connection that a test scripts by hand (a
// service, a host or a client), over a plain socket or a TLS link. It sends whole frames and reads
// them one at a time; every wait is bounded, and a wait that reaches its bound fails the test.
//
// Thread-safety: a peer belongs to the thread that drives it.
#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "platform/wire/frame.h"
#include "platform/wire/framed_socket.h"

namespace KivoTestSupport {

/// See the file comment.
class FramePeer {
  public:
    /// The kind of the frame that Next gives once the connection has ended.
    static constexpr KivoWire::FrameKind kEnded{};
    /// The longest wait for the peer's next frame, or for room to send.
    static constexpr std::chrono::seconds kBound{20};

    /// Frames over `link` (connected, non-blocking).
    explicit FramePeer(std::unique_ptr<KivoWire::Link> link) : socket(std::move(link)) {}

    /// Queues `bytes` (one frame, or several to go in one write) and drives the connection until
    /// all has left (a TLS handshake first).
    void Send(std::vector<uint8_t> bytes);
    /// The next frame, Pings skipped unless `withPings`; a frame of kind kEnded once the
    /// connection has ended.
    [[nodiscard]] KivoWire::Frame Next(bool withPings = false);

    KivoWire::FramedSocket socket;
    /// The frames received so far by kind, Pings included.
    std::map<KivoWire::FrameKind, int> heard;
    /// True once the connection has ended, failed or stayed silent past the bound.
    bool ended = false;

  private:
    // One round: sends what it can, then (unless `sending` and all has left) waits and reads.
    void Step(std::chrono::steady_clock::time_point deadline, bool sending = false);

    std::deque<KivoWire::Frame> frames_;
};

}  // namespace KivoTestSupport
