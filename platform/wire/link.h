// KivoWire::Link: the byte stream under a framed socket (framed_socket.h): a plain socket
// (socket_link.h) or TLS over a socket (platform/security/tls.h), as an event loop drives it.
//
// Receive and Send never block. A link may hold bytes of its own that the socket would not take
// yet (TLS records, handshake messages): Held counts them, and a Send with no bytes sends them.
// A link that cannot take application bytes yet (a TLS handshake still under way) takes none
// and says so through ReadyToSend, so that a loop waits for the peer rather than for room in
// the socket.
//
// Thread-safety: one thread at a time (the loop's).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace KivoWire {

/// How a receive or send left the link.
enum class LinkStatus {
    Open,     // more may come (receive), or everything offered was taken and sent (send)
    Blocked,  // send: the socket is full; the rest waits for a writable event
    Closed,   // receive: the peer ended the stream
    Failed,   // the socket or the protocol under the frames failed: close it
};

/// See the file comment.
class Link : private Common::NonCopyable {
  public:
    virtual ~Link() = default;

    /// The descriptor that the loop watches; the link closes it.
    [[nodiscard]] virtual int Descriptor() const noexcept = 0;
    /// Reads what the socket holds (at most about `budget` bytes of it) and appends the bytes
    /// that the stream carries to `received`. On Failed, `failure` says why.
    [[nodiscard]] virtual LinkStatus Receive(std::vector<uint8_t>& received, size_t budget,
                                             Common::Error& failure) = 0;
    /// Sends what the link holds, then as much of `bytes` as the socket takes; `taken` counts the
    /// bytes of `bytes` that the link took (sent, or held to be sent). Open: all were taken and
    /// nothing is held. On Failed, `failure` says why.
    [[nodiscard]] virtual LinkStatus Send(std::span<const uint8_t> bytes, size_t& taken,
                                          Common::Error& failure) = 0;
    /// The bytes the link holds for the socket.
    [[nodiscard]] virtual size_t Held() const noexcept = 0;
    /// False while the link cannot take application bytes (a handshake is under way).
    [[nodiscard]] virtual bool ReadyToSend() const noexcept = 0;
};

}  // namespace KivoWire
