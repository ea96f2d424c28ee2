// KivoServer::SocketServer: serves server components to clients on the same machine over the
// Unix sockets of service identifiers (platform/wire: socket_paths.h for where, frame.h for the
// frames).
//
// Threads: ONE I/O thread waits on every socket with epoll, on an eventfd that carries replies
// and the stop, and on one timerfd set to the earliest liveness deadline; it accepts, reads,
// writes, answers Hellos and Pings and sends Pings, and never runs a component. A small fixed
// pool of workers calls StartCall (and ConnectionClosed); a component may answer from any thread,
// and its reply waits in a queue (mutex + eventfd) until the I/O thread writes it.
//
// A connection:
//
//   accepted --peer's credentials-->  (the peer must be this process's user, root, or in the
//                                       allowed group; else it is refused on its Hello)
//   HELLO WAIT --Hello of a served service, peer allowed--> OPEN (Welcome sent)
//              --Hello of another service, peer refused---> REFUSED (Refusal sent, closed once
//                                                            written)
//   OPEN: Calls go to the workers, at most kMaxCallsInFlight at once (one more is answered at
//         once with a Failure of kTooManyCalls); replies leave in the order they come; Pings are
//         answered at once. While the unsent output passes `outputBound` the connection is not
//         read (its requests wait in the peer) until the output drains to half of it.
//   any --EOF, socket error, a frame that breaks the protocol (also a frame cut short by EOF,
//         or a frame other than Hello first), `deadAfter` without a frame--> CLOSED
//
// Liveness: a connection whose peer sent nothing for `pingAfter` is pinged; after `deadAfter`
// without a frame it is closed (while it is not read for its output, the peer's reading of that
// output counts as a sign of life).
//
// The component's view of a connection: each accepted connection gets a number never reused
// while the server runs. ConnectionClosed is called once for a connection that made calls, on a
// worker, after its last StartCall has returned; no StartCall for it follows (a call still queued
// when the connection ends is dropped). Replies to a closed connection go nowhere.
//
// Bounds: at most `maxConnections` at once (one more is refused with kTooManyConnections); when
// accept finds no descriptor left the listeners rest until a connection closes or `pingAfter`
// has passed, so the loop never spins. A reply packet over the frame limit is answered with a
// Failure instead.
//
// Stop: stops accepting (the socket files are removed), closes every connection without
// answering its calls (clients see the connection lost; a call is never answered with the
// canceled error), tells the components of the ended connections, and joins every thread.
//
// Thread-safety: Start, Stop and the destructor from one thread (not a worker of the server);
// Paths from any thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/ipc_client_api/server_component.h"

namespace KivoServer {

/// A socket, descriptor or thread that the server cannot have.
inline constexpr uint32_t kServerFailure = 0xFC00A0;
/// Another live process answers on a socket the server would listen on.
inline constexpr uint32_t kServiceRunning = 0xFC00A1;
/// A Hello for a service identifier that the server does not serve.
inline constexpr uint32_t kServiceNotServed = 0xFC00A2;
/// A peer whose user may not use the service.
inline constexpr uint32_t kPeerNotAllowed = 0xFC00A3;
/// A call past the bound of calls in flight on one connection.
inline constexpr uint32_t kTooManyCalls = 0xFC00A4;
/// A connection past the bound of connections.
inline constexpr uint32_t kTooManyConnections = 0xFC00A5;
/// A reply packet larger than a frame carries.
inline constexpr uint32_t kReplyTooLargeForFrame = 0xFC00A6;

/// The calls one connection may have in flight.
inline constexpr size_t kMaxCallsInFlight = 64;

/// How a server listens and bounds its peers.
struct ServerOptions {
    /// The directory of the sockets (created 0750 when missing).
    std::string directory;
    /// The service identifiers to listen for, one socket each.
    std::vector<uint32_t> services;
    /// The group whose members may connect besides this process's user and root; the directory
    /// (when created) and the sockets then belong to it.
    std::optional<gid_t> group;
    /// Workers that call the components; 0: the number of cores.
    uint32_t workers = 0;
    std::chrono::milliseconds pingAfter{1000};
    std::chrono::milliseconds deadAfter{3000};
    size_t maxConnections = 1000;
    /// Unsent output past which a connection is not read.
    size_t outputBound = size_t{128} << 20;
    /// Hears one line (no newline) per connection opened or closed and per failure; empty:
    /// standard error.
    std::function<void(const std::string& line)> log;
};

/// See the file comment.
class SocketServer : private Common::NonCopyable {
  public:
    /// Listens on the sockets of `options.services` and serves `components` (each by its
    /// component id) on every one. Throws Common::Error: kServerFailure, kServiceRunning, or the
    /// socket path's error.
    [[nodiscard]] static std::unique_ptr<SocketServer> Start(
        std::vector<std::shared_ptr<Binding::ServerComponent>> components, ServerOptions options);
    /// Stops the server.
    ~SocketServer();

    /// See the file comment. Later calls do nothing.
    void Stop() noexcept;
    /// The socket paths, in the order of the services.
    [[nodiscard]] const std::vector<std::string>& Paths() const noexcept;

    struct State;

  private:
    explicit SocketServer(std::unique_ptr<State> state);
    const std::unique_ptr<State> state_;
};

}  // namespace KivoServer
