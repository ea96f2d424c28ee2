// KivoServer::SocketServer: serves server components to clients on the same machine over the
// Unix sockets of service identifiers (platform/wire: socket_paths.h for where, frame.h for the
// frames), and, when asked, to clients on other hosts over TCP inside TLS, who log in with a user
// name and password.
//
// Threads: ONE I/O thread waits on every socket with epoll, on an eventfd that carries replies,
// login verdicts and the stop, and on one timerfd set to the earliest deadline; it accepts,
// reads, writes (TLS included), answers Hellos and Pings and sends Pings, and never runs a
// component or a password check. A fixed pool of workers calls StartCall (and ConnectionClosed)
// and checks passwords; a component may answer from any thread, and its reply waits in a queue
// (mutex + eventfd) until the I/O thread writes it.
//
// A Unix connection:
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
// A TCP connection logs in first, then goes on as a Unix connection whose peer is allowed:
//
//   accepted (past `maxLoggingIn` connections logging in, or `maxConnections` in all: closed at
//   |         once, nothing sent)
//   TLS HANDSHAKE --handshake done (the link's own doing)--> AWAIT CREDENTIALS
//   AWAIT CREDENTIALS --Credentials frame--> CHECKING (not read meanwhile; frames that came
//                                            behind the Credentials wait for the verdict)
//   CHECKING --password accepted--> Accepted sent, HELLO WAIT as above (the frames that waited
//            |                      are taken first)
//            '--refused-----------> REFUSING: after the address's failure delay (timer), the
//                                   Refusal kAuthenticationFailed is sent, closed once written
//   HANDSHAKE, AWAIT CREDENTIALS --any other frame, a bad Credentials payload, more than
//         kMaxLoginBytes carried, `loginBound` since accept, EOF, a TLS failure--> CLOSED
//
// Login invariants: before Accepted is sent a TCP connection is never pinged, never sends
// anything but TLS records of the handshake and the Refusal, and is read at most about
// kMaxLoginBytes (plus one TLS record) at a time; at most `maxHashing` checks run on the pool
// (the rest wait, first come first checked); a wrong password and an unknown user get the same
// Refusal bytes after the same work (one key derivation each). Repeated failures from one
// address are answered later and later (failure_delays.h); the delay is a timer, the loop never
// sleeps. The pool holds `maxHashing` threads more than `workers`, so checks never take the
// workers of calls. No password is ever logged or kept after its check.
//
// Liveness: a connection whose peer sent nothing for `pingAfter` is pinged; after `deadAfter`
// without a frame it is closed (while it is not read for its output, the peer's reading of that
// output counts as a sign of life). A TCP connection is under these rules once it is accepted.
//
// The component's view of a connection: each accepted connection gets a number never reused
// while the server runs. ConnectionClosed is called once for a connection that made calls, on a
// worker, after its last StartCall has returned; no StartCall for it follows (a call still queued
// when the connection ends is dropped). Replies to a closed connection go nowhere.
//
// Bounds: at most `maxConnections` at once (one more on a Unix socket is refused with
// kTooManyConnections); when accept finds no descriptor left the listeners rest until a
// connection closes or `pingAfter` has passed, so the loop never spins. A reply packet over the
// frame limit is answered with a Failure instead.
//
// Log lines (no newline): "connection <n> opened on <socket path>: pid <p>, uid <u>, gid <g>",
// "connection <n> opened from <address>:<port> on <listen address>", "connection <n> logged in
// as <user>", "connection <n> login refused for <user> from <address>, answered in <d> ms",
// "connection <n> refused: <error>" (a Hello refused), "connection refused: <error>" (a Unix
// connection past the bound), "connection from <address>:<port> closed at once: <why>" (a TCP
// connection past a bound), "connection <n> closed: <reason>", and failures. User names are
// logged with control characters replaced by '?'; passwords never.
//
// Stop: stops accepting (the socket files are removed), closes every connection without
// answering its calls (clients see the connection lost; a call is never answered with the
// canceled error), tells the components of the ended connections, and joins every thread.
//
// Thread-safety: Start, Stop and the destructor from one thread (not a worker of the server);
// Paths and RemoteAddress from any thread.
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

namespace KivoSecurity {
class PasswordVerifier;
class TlsContext;
}  // namespace KivoSecurity

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
/// A login whose user name or password is not accepted (an unknown user alike):
/// "KIVO: The user name or password is not accepted."
inline constexpr uint32_t kAuthenticationFailed = 0xFC00AA;
/// A TCP address to listen on that cannot be read or resolved (tcp_listener.h).
inline constexpr uint32_t kBadListenAddress = 0xFC00AB;

/// The calls one connection may have in flight.
inline constexpr size_t kMaxCallsInFlight = 64;

/// How a server listens on TCP and lets peers of other hosts log in.
struct RemoteOptions {
    /// "<host>:<port>" or "[<IPv6 address>]:<port>"; port 0 lets the kernel choose.
    std::string listen;
    /// The server's certificate and key.
    std::shared_ptr<const KivoSecurity::TlsContext> tls;
    /// The users and their passwords.
    std::shared_ptr<KivoSecurity::PasswordVerifier> verifier;
    /// Connections accepted and not yet logged in, past which new ones are closed at once.
    size_t maxLoggingIn = 64;
    /// The time from accept to the credentials.
    std::chrono::milliseconds loginBound{10000};
    /// The base of the failure delays (failure_delays.h); 0 turns them off.
    std::chrono::milliseconds loginFailureDelay{250};
    /// Password checks at once on the pool.
    size_t maxHashing = 2;
};

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
    /// Hears one line (no newline) per connection opened or closed, per login and per failure
    /// (see the file comment); empty: standard error.
    std::function<void(const std::string& line)> log;
    /// Listening on TCP as well; none: Unix sockets only.
    std::optional<RemoteOptions> remote;
};

/// See the file comment.
class SocketServer : private Common::NonCopyable {
  public:
    /// Listens on the sockets of `options.services` (and on TCP with `options.remote`) and
    /// serves `components` (each by its component id) on every one. Throws Common::Error:
    /// kServerFailure (also for remote options without a TLS context or verifier),
    /// kServiceRunning, kBadListenAddress, or the socket path's error.
    [[nodiscard]] static std::unique_ptr<SocketServer> Start(
        std::vector<std::shared_ptr<Binding::ServerComponent>> components, ServerOptions options);
    /// Stops the server.
    ~SocketServer();

    /// See the file comment. Later calls do nothing.
    void Stop() noexcept;
    /// The socket paths, in the order of the services.
    [[nodiscard]] const std::vector<std::string>& Paths() const noexcept;
    /// The TCP address listened on, "<address>:<port>" with the port bound; empty without TCP.
    [[nodiscard]] const std::string& RemoteAddress() const noexcept;

    struct State;

  private:
    explicit SocketServer(std::unique_ptr<State> state);
    const std::unique_ptr<State> state_;
};

}  // namespace KivoServer
