// IPCClient::SocketTransport: connections to service programs (kivod) over Unix sockets, in the
// frames of platform/wire/frame.h.
//
// Connect opens the service's socket and waits for its Welcome on the caller's thread
// (socket_handshake.h), then adopts it; Adopt also takes the connections to remote hosts, which
// their browsers open over TLS (remote_host.h). The Welcome's component versions answer
// GetComponentVersion without a round trip. From then on ONE I/O thread (epoll over every
// connection's socket, an eventfd that wakes it, a timerfd for the liveness deadlines) reads and
// writes every connection of the library. It runs no handler, component or reply reader: a Reply or
// Failure frame ends its call through the worker pool (the `done` callback runs there). It answers
// a service's Ping with a Pong at once.
//
// Calls: each gets a call id of its connection; at most kMaxCallsInFlight are sent and not yet
// answered, and the replies are matched by call id in any order. Further calls wait in the
// connection's queue, in order, until one in flight ends. A late reply of a canceled call still
// ends its exchange (the call job drops it unread) and frees its place.
//
// Liveness: a connection from which nothing came for the ping interval is sent a Ping (again
// each ping interval while it stays silent); one from which nothing came for the dead interval
// fails. Intervals: KIVO_PING_MS (default 1000) and KIVO_DEAD_MS (default 3000), read when the
// library initialises; values that are not positive decimal numbers are ignored. The opening of
// a remote connection (resolving, TLS, login and greeting) has KIVO_LOGIN_MS (default 20000):
// a host answers a refused login only after a delay that grows to 8 s.
//
// A connection goes through these states:
//
//   OPEN ---peer closed, socket error, broken or misplaced frame, dead interval---> FAILED
//     |                                                                                |
//     '---CloseConnection / Shutdown---> (gone) <---CloseConnection / Shutdown---------'
//
//   OPEN    its socket is in the epoll set; calls are in flight or queued.
//   FAILED  its socket is closed; every call that was in flight or queued has ended with
//           kIpcClientConnectionLost (reason: why), and every later Send fails at once with it.
//           No reconnection is tried: a new access point makes a new connection.
//   gone    CloseConnection ends the calls still in flight or queued with
//           kIpcClientConnectionClosed; Shutdown with kIpcClientNotInitialized. Later sends over
//           its number fail with kIpcClientConnectionClosed.
//
// Invariants: every `done` of an accepted Send is called exactly once, through the pool, never
// under the transport's lock; a connection's in-flight map holds at most kMaxCallsInFlight
// calls, and its queue is empty while the map has room; sockets are touched only under the lock.
//
// Sends use MSG_NOSIGNAL: a service that has gone never raises SIGPIPE, and the library never
// changes the program's signal handling.
//
// Thread-safety: see transport.h. The I/O thread starts with the first Connect.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/ipc_client/socket_handshake.h"
#include "platform/ipc_client/transport.h"
#include "platform/ipc_client/worker_pool.h"
#include "platform/wire/frame.h"

namespace IPCClient {

/// The most calls of one connection that are sent and not yet answered.
inline constexpr size_t kMaxCallsInFlight = 64;
/// The environment variables of the liveness intervals, in milliseconds.
inline constexpr const char* kPingIntervalVariable = "KIVO_PING_MS";
inline constexpr const char* kDeadIntervalVariable = "KIVO_DEAD_MS";
inline constexpr const char* kLoginIntervalVariable = "KIVO_LOGIN_MS";

/// See the file comment.
class SocketTransport final : public Transport {
  public:
    using Clock = std::chrono::steady_clock;

    /// The liveness intervals, and the bound of a remote opening.
    struct Intervals {
        std::chrono::milliseconds ping{1000};
        std::chrono::milliseconds dead{3000};
        std::chrono::milliseconds login{20000};
    };
    /// The intervals that the environment asks for.
    [[nodiscard]] static Intervals IntervalsFromEnvironment();

    /// Ends the exchanges through `pool`, which must outlive the transport.
    SocketTransport(WorkerPool& pool, Intervals intervals);
    /// Shuts down.
    ~SocketTransport() override;

    [[nodiscard]] Common::Error Connect(uint32_t serviceId, uint32_t& connectionId) override;
    /// Takes over `opened`, a connection that its service has welcomed, as a new connection
    /// (`connectionId`). On failure the socket is closed.
    [[nodiscard]] Common::Error Adopt(OpenedSocket opened, uint32_t& connectionId);
    /// The intervals the transport was made with.
    [[nodiscard]] const Intervals& GetIntervals() const noexcept { return intervals_; }
    [[nodiscard]] Common::Error GetComponentVersion(uint32_t connectionId, uint32_t componentId,
                                                    uint32_t& version) override;
    [[nodiscard]] Common::Error Send(uint32_t connectionId, uint32_t componentId, uint32_t methodId,
                                     std::vector<uint8_t> request, ReplyCallback done) override;
    void CloseConnection(uint32_t connectionId) noexcept override;
    void Shutdown() noexcept override;

  private:
    struct Connection;
    // One ended exchange: its callback with the failure or the reply packet.
    struct Ending {
        ReplyCallback done;
        Common::Error failure;
        std::vector<uint8_t> packet;
    };
    // Exchanges that ended, to be handed to the pool once the lock is released.
    using Endings = std::vector<Ending>;

    // Makes the epoll set, the eventfd and the timerfd and starts the I/O thread; under lock_.
    [[nodiscard]] Common::Error StartLocked();
    void Loop() noexcept;
    // One connection's socket is readable (or hung up); under lock_.
    void Serve(Connection& connection, Clock::time_point now, Endings& endings);
    // Acts on the frames read from a connection; under lock_.
    void Take(Connection& connection, std::vector<KivoWire::Frame>& frames, Endings& endings);
    // Moves queued calls into flight while the connection has room; under lock_.
    static void Pump(Connection& connection);
    // Sends what a connection's socket holds and watches it for room when it blocks; under lock_.
    void Flush(Connection& connection, Endings& endings);
    // Pings silent connections, fails dead ones; the next deadline; under lock_.
    [[nodiscard]] Clock::time_point CheckLiveness(Clock::time_point now, Endings& endings);
    // Moves the connection to FAILED with `reason`; under lock_.
    void Fail(Connection& connection, const Common::Error& reason, Endings& endings);
    // Closes the socket and ends every call of the connection with `outcome`; under lock_.
    void EndCalls(Connection& connection, const Common::Error& outcome, Endings& endings);
    // Hands the ended exchanges to the pool; never under lock_.
    void Dispatch(Endings endings) noexcept;
    // Sets the timer to `deadline` (none: time_point::max); under lock_.
    void Arm(Clock::time_point deadline) noexcept;
    // Wakes the I/O thread; under lock_.
    void Wake() const noexcept;

    WorkerPool& pool_;
    const Intervals intervals_;

    std::mutex lock_;
    bool stopped_ = false;
    int epoll_ = -1;
    int wake_ = -1;
    int timer_ = -1;
    std::thread thread_;
    std::unordered_map<uint32_t, std::unique_ptr<Connection>> connections_;
};

}  // namespace IPCClient
