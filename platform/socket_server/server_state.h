// The inside of KivoServer::SocketServer (socket_server.h tells the behaviour): its connections
// and the state that its I/O thread and workers share. socket_server.cpp runs the loop, accepts
// and keeps time; connection_io.cpp reads, writes and dispatches; login.cpp logs TCP peers in.
//
// Thread-safety: the I/O thread owns everything but `gates` (under `gateLock`, shared with the
// workers), `stopping`, and what Start sets before the thread runs.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/ipc_client/worker_pool.h"
#include "platform/socket_server/authenticator.h"
#include "platform/socket_server/failure_delays.h"
#include "platform/socket_server/listeners.h"
#include "platform/socket_server/mailbox.h"
#include "platform/socket_server/socket_server.h"
#include "platform/wire/framed_socket.h"

namespace KivoServer {

using Clock = std::chrono::steady_clock;

/// Where a connection stands in its login (socket_server.h draws the states).
enum class Login : uint8_t {
    None,         // a Unix connection: the kernel names its peer
    Credentials,  // TCP: TLS handshake, then awaiting the Credentials frame
    Checking,     // TCP: its password is being checked
    Refusing,     // TCP: refused; the Refusal waits for the failure delay, then to be written
    Accepted,     // TCP: logged in
};

/// One accepted connection; the I/O thread's alone.
struct Connection {
    uint64_t id = 0;
    std::unique_ptr<KivoWire::FramedSocket> socket;
    Peer peer;
    bool allowed = false;
    bool welcomed = false;
    bool closeWhenFlushed = false;       // refused: closed once the Refusal is written
    bool paused = false;                 // not read while its output passes the bound
    bool watched = false;                // registered with epoll
    uint32_t events = 0;                 // as registered
    std::unordered_set<uint64_t> calls;  // call ids in flight
    Clock::time_point heard;             // the last sign of life
    bool pinged = false;
    uint64_t pings = 0;
    Clock::time_point check;  // its entry in State::checks
    // TCP
    Login login = Login::None;
    std::string address;                // the peer's address, without its port
    std::string user;                   // once its credentials came, for the log
    std::vector<KivoWire::Frame> held;  // frames behind the credentials, taken once accepted
};

/// The calls of one connection between the I/O thread and the workers (under State::gateLock).
struct Gate {
    size_t pending = 0;  // queued for a worker or inside StartCall
    bool closed = false;
};

/// The message of `error`, for the log.
[[nodiscard]] std::string Line(const Common::Error& error);

struct SocketServer::State {
    ServerOptions options;
    std::map<uint32_t, std::shared_ptr<Binding::ServerComponent>> components;
    std::vector<uint8_t> welcome;
    std::vector<uint8_t> loginRefusal;  // the one Refusal frame of every failed login
    std::vector<Listener> listeners;    // the Unix sockets, then the TCP listener
    std::vector<std::string> paths;
    std::string remoteAddress;
    int epollFd = -1;
    int timerFd = -1;
    std::shared_ptr<Mailbox> mailbox;
    std::unique_ptr<IPCClient::WorkerPool> pool;
    std::unique_ptr<Authenticator> authenticator;
    std::thread thread;
    std::atomic<bool> stopping{false};
    bool stopped = false;

    // The I/O thread's own.
    uint64_t lastConnection = 0;
    std::unordered_map<uint64_t, Connection> connections;
    std::set<std::pair<Clock::time_point, uint64_t>> checks;
    bool listening = true;
    Clock::time_point restUntil;  // while !listening
    Clock::time_point armed = Clock::time_point::max();
    size_t loggingIn = 0;  // TCP connections not yet accepted
    std::optional<FailureDelays> failureDelays;

    std::mutex gateLock;
    std::unordered_map<uint64_t, Gate> gates;

    ~State();

    // socket_server.cpp: the loop, accepting, time and closing.
    void Log(const std::string& line) const;
    void Watch(int fd, uint64_t tag, uint32_t events, int operation);
    void Run() noexcept;
    void Accept(const Listener& listener);
    void Rest(const Common::Error& failure);
    void Listen();
    void RefuseAtOnce(int fd);
    void Schedule(Connection& connection, Clock::time_point when);
    void Expire();
    void ArmTimer();
    void Close(Connection& connection, const std::string& reason);

    // connection_io.cpp: reading, writing and calls.
    void Serve(uint64_t id, uint32_t events);
    void Read(Connection& connection);
    bool Handle(Connection& connection, KivoWire::Frame& frame);  // false: closed
    bool Greet(Connection& connection, const std::vector<uint8_t>& payload);
    bool Dispatch(Connection& connection, KivoWire::Frame& frame);
    Common::Error Submit(uint64_t id, const KivoWire::FrameHeader& header,
                         std::shared_ptr<Binding::ServerComponent> component,
                         std::vector<uint8_t> request);
    void Leave(uint64_t id) noexcept;
    void TellClosed(uint64_t id) noexcept;
    void Deliver();
    bool Flush(Connection& connection);  // false: closed
    void UpdateEvents(Connection& connection);

    // login.cpp: TCP peers.
    void AcceptRemote(int fd, const sockaddr_storage& peer, const Listener& listener);
    bool TakeCredentials(Connection& connection, KivoWire::Frame& frame);  // false: closed
    void TakeVerdict(Answer& verdict);
    void ExpireLogin(Connection& connection);
};

/// True while a TCP connection has not logged in.
[[nodiscard]] inline bool LoggingIn(const Connection& connection) noexcept {
    return connection.login != Login::None && connection.login != Login::Accepted;
}

}  // namespace KivoServer
