// IPCClient::OpenServiceSocket: the opening of one connection to a service program, on the
// caller's thread, before the I/O thread takes it over (socket_transport.h).
//
// The socket of the service is KivoWire::SocketAddress(KivoWire::SocketDirectory(), id). The
// caller connects, sends Hello with the service id, and waits for the service's first frame,
// all within `bound` (the dead interval): a Welcome gives the component versions; a Refusal, a
// close, a frame of any other kind, a broken frame or silence fails the opening. Frames that
// came in behind the Welcome (a Ping, say) are handed on for the I/O thread to answer.
//
// Every failure is kIpcClientNoService naming the service and the socket path, with the cause
// as its reason: the system error (ENOENT: no service program listens there; ECONNREFUSED: one
// did and has gone), the path that does not fit a socket address, the service's refusal, or
// kIpcClientServiceSilent / kIpcClientServiceHungUp. A service id with no socket at all fails
// with the plain kIpcClientNoService. Nothing stays open after a failure.
//
// Thread-safety: a pure function of its arguments and the environment.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/wire/frame.h"
#include "platform/wire/framed_socket.h"

namespace IPCClient {

/// A connection whose service has welcomed it.
struct OpenedSocket {
    std::unique_ptr<KivoWire::FramedSocket> socket;  // non-blocking
    std::vector<KivoWire::ComponentVersion> components;
    std::vector<KivoWire::Frame> early;  // read behind the Welcome
};

/// See the file comment.
[[nodiscard]] Common::Error OpenServiceSocket(uint32_t serviceId, std::chrono::milliseconds bound,
                                              OpenedSocket& opened);

/// kIpcClientServiceSilent for `interval` at `place`.
[[nodiscard]] Common::Error ServiceSilent(const Common::SourceLocation& place,
                                          std::chrono::milliseconds interval);
/// kIpcClientServiceHungUp at `place`.
[[nodiscard]] Common::Error ServiceHungUp(const Common::SourceLocation& place);
/// kIpcClientServiceHungUp at `place` for a frame of `kind` that has no place where it came.
[[nodiscard]] Common::Error UnexpectedFrame(const Common::SourceLocation& place,
                                            KivoWire::FrameKind kind);

}  // namespace IPCClient
