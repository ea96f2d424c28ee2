// The opening of a connection to a service program, on the caller's thread, before the I/O
// thread takes it over (socket_transport.h): the wait for the peer's next frame, the greeting
// (Hello and Welcome), and IPCClient::OpenServiceSocket, which opens a local service's Unix
// socket. Remote hosts add their login in front of the greeting (remote_host.h).
//
// AwaitFrame is the one loop of every opening: it sends what the socket holds and reads, with
// poll, until a frame other than a Ping or Pong came (the Pings are answered), the caller's
// condition holds (a TLS handshake has completed, say), the peer ended or the deadline passed.
//
// OpenServiceSocket: the socket of the service is KivoWire::SocketAddress(
// KivoWire::SocketDirectory(), id). The caller connects and greets, all within `bound` (the
// dead interval): a Welcome gives the component versions; a Refusal, a close, a frame of any
// other kind, a broken frame or silence fails the opening. Frames that came in behind the
// Welcome are handed on for the I/O thread to answer. Every failure is kIpcClientNoService
// naming the service and the socket path, with the cause as its reason: the system error
// (ENOENT: no service program listens there; ECONNREFUSED: one did and has gone), the path that
// does not fit a socket address, the service's refusal, or kIpcClientServiceSilent /
// kIpcClientServiceHungUp. A service id with no socket at all fails with the plain
// kIpcClientNoService. Nothing stays open after a failure.
//
// Thread-safety: functions of their arguments (and the environment); a socket is used by the
// calling thread alone until it is handed to the transport.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/wire/frame.h"
#include "platform/wire/framed_socket.h"

namespace IPCClient {

/// A connection whose service has welcomed it (or, before the greeting, a logged-in one).
struct OpenedSocket {
    std::unique_ptr<KivoWire::FramedSocket> socket;  // non-blocking
    std::vector<KivoWire::ComponentVersion> components;
    std::vector<KivoWire::Frame> early;  // read behind the last awaited frame
};

/// When an opening gives up: the time, and the bound it was given (named by its silence error).
struct Deadline {
    std::chrono::steady_clock::time_point end;
    std::chrono::milliseconds bound;

    /// The deadline `bound` from now.
    [[nodiscard]] static Deadline After(std::chrono::milliseconds bound) {
        return {std::chrono::steady_clock::now() + bound, bound};
    }
    /// The milliseconds left, rounded up; 0 or less once passed.
    [[nodiscard]] long long Left() const;
};

/// See the file comment: on success either `frames` begins with a frame other than a Ping or
/// Pong (frames already in it count), or `settled` (when given) holds. Failures, which callers
/// wrap: the link's error, kIpcClientServiceHungUp (the peer ended the stream) and
/// kIpcClientServiceSilent (the deadline passed).
[[nodiscard]] Common::Error AwaitFrame(KivoWire::FramedSocket& socket, const Deadline& deadline,
                                       std::vector<KivoWire::Frame>& frames,
                                       const std::function<bool()>& settled = nullptr);

/// Sends Hello for `serviceId` over `opened.socket` and awaits the service's answer, after the
/// frames already in `opened.early`. On Welcome, `opened.components` holds the versions and
/// `opened.early` the frames behind it. Otherwise the cause, which callers wrap: the service's
/// refusal, a frame out of place, a broken Welcome, or AwaitFrame's failure.
[[nodiscard]] Common::Error GreetService(uint32_t serviceId, const Deadline& deadline,
                                         OpenedSocket& opened);

/// See the file comment.
[[nodiscard]] Common::Error OpenServiceSocket(uint32_t serviceId, std::chrono::milliseconds bound,
                                              OpenedSocket& opened);

/// kIpcClientNoService at `place`: service `serviceId` is not available at `where` (a socket
/// path or a host and port), because of `reason` (may be empty).
[[nodiscard]] Common::Error ServiceUnreachable(const Common::SourceLocation& place,
                                               uint32_t serviceId, const std::string& where,
                                               const Common::Error& reason);
/// kIpcClientServiceSilent for `interval` at `place`.
[[nodiscard]] Common::Error ServiceSilent(const Common::SourceLocation& place,
                                          std::chrono::milliseconds interval);
/// kIpcClientServiceHungUp at `place`.
[[nodiscard]] Common::Error ServiceHungUp(const Common::SourceLocation& place);
/// kIpcClientServiceHungUp at `place` for a frame of `kind` that has no place where it came.
[[nodiscard]] Common::Error UnexpectedFrame(const Common::SourceLocation& place,
                                            KivoWire::FrameKind kind);

}  // namespace IPCClient
