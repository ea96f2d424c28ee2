#include "platform/socket_server/socket_server.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/worker_pool.h"
#include "platform/socket_server/listeners.h"
#include "platform/socket_server/mailbox.h"
#include "platform/wire/framed_socket.h"

namespace KivoServer {
namespace {

using Clock = std::chrono::steady_clock;
using KivoWire::FrameKind;

// epoll tags: connections are tagged with their number (from 1), the rest with high bits.
constexpr uint64_t kWakeTag = uint64_t{1} << 63;
constexpr uint64_t kTimerTag = kWakeTag | 1;
constexpr uint64_t kListenerTag = uint64_t{1} << 62;

// One accepted connection; the I/O thread's alone.
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
};

// The calls of one connection between the I/O thread and the workers (under State::gateLock).
struct Gate {
    size_t pending = 0;  // queued for a worker or inside StartCall
    bool closed = false;
};

std::string Line(const Common::Error& error) {
    return Common::ToUtf8(error.Message());
}

std::vector<uint8_t> FailureFrame(uint64_t callId, const Common::Error& error) {
    return KivoWire::EncodeFrame(FrameKind::Failure, 0, 0, callId, KivoWire::ErrorPayload(error));
}

}  // namespace

struct SocketServer::State {
    ServerOptions options;
    std::map<uint32_t, std::shared_ptr<Binding::ServerComponent>> components;
    std::vector<uint8_t> welcome;
    std::vector<Listener> listeners;
    std::vector<std::string> paths;
    int epollFd = -1;
    int timerFd = -1;
    std::shared_ptr<Mailbox> mailbox;
    std::unique_ptr<IPCClient::WorkerPool> pool;
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

    std::mutex gateLock;
    std::unordered_map<uint64_t, Gate> gates;

    ~State() {
        for (Listener& listener : listeners)
            CloseListener(listener);
        if (epollFd >= 0)
            ::close(epollFd);
        if (timerFd >= 0)
            ::close(timerFd);
    }

    void Log(const std::string& line) const {
        if (options.log) {
            options.log(line);
            return;
        }
        const std::string text = line + "\n";
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
    }

    void Watch(int fd, uint64_t tag, uint32_t events, int operation) {
        epoll_event event{};
        event.events = events;
        event.data.u64 = tag;
        if (::epoll_ctl(epollFd, operation, fd, &event) != 0)
            Log(Line(SystemFailure(COMMON_PLACE("KivoServer::SocketServer::Run"), kServerFailure,
                                   "A socket cannot be watched")));
    }

    // ---- The I/O thread ----

    void Run() noexcept {
        constexpr int kEventsPerWait = 64;
        epoll_event events[kEventsPerWait];
        while (!stopping.load()) {
            const int count = ::epoll_wait(epollFd, events, kEventsPerWait, -1);
            if (count < 0 && errno != EINTR)
                break;  // cannot happen with a valid epoll set
            for (int i = 0; i < count && !stopping.load(); ++i) {
                const uint64_t tag = events[i].data.u64;
                if (tag == kWakeTag)
                    Deliver();
                else if (tag == kTimerTag)
                    Expire();
                else if ((tag & kListenerTag) != 0)
                    Accept(listeners[tag & ~kListenerTag]);
                else
                    Serve(tag, events[i].events);
            }
            ArmTimer();
        }
        for (Listener& listener : listeners)
            CloseListener(listener);
        while (!connections.empty())
            Close(connections.begin()->second, "the service stops");
    }

    void Accept(const Listener& listener) {
        for (;;) {
            const int fd = ::accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno != EAGAIN && errno != EWOULDBLOCK)
                    Rest(SystemFailure(COMMON_PLACE("KivoServer::SocketServer::Accept"),
                                       kServerFailure, "A connection cannot be accepted"));
                return;
            }
            if (connections.size() >= options.maxConnections) {
                RefuseAtOnce(fd);
                continue;
            }
            Connection& connection = connections[++lastConnection];
            connection.id = lastConnection;
            connection.socket = std::make_unique<KivoWire::FramedSocket>(fd);
            connection.heard = Clock::now();
            const bool known = ReadPeer(fd, connection.peer);
            connection.allowed = known && PeerAllowed(connection.peer, options.group);
            Log("connection " + std::to_string(connection.id) + " opened on " + listener.path +
                ": pid " + std::to_string(connection.peer.pid) + ", uid " +
                std::to_string(connection.peer.uid) + ", gid " +
                std::to_string(connection.peer.gid));
            Schedule(connection, connection.heard + options.pingAfter);
            UpdateEvents(connection);
        }
    }

    // Accept found no descriptor (or another failure): the listeners rest until a connection
    // closes or the ping interval has passed, so that the loop does not spin on them.
    void Rest(const Common::Error& failure) {
        Log(Line(failure));
        for (const Listener& listener : listeners)
            Watch(listener.fd, 0, 0, EPOLL_CTL_MOD);
        listening = false;
        restUntil = Clock::now() + options.pingAfter;
    }

    void Listen() {
        if (listening)
            return;
        for (size_t i = 0; i < listeners.size(); ++i)
            Watch(listeners[i].fd, kListenerTag | i, EPOLLIN, EPOLL_CTL_MOD);
        listening = true;
    }

    // A connection past the bound: the Refusal goes in one send (it fits an empty socket).
    void RefuseAtOnce(int fd) {
        const Common::Error refusal(
            COMMON_PLACE("KivoServer::SocketServer::Accept"), kTooManyConnections,
            "KIVO: The service already holds its " + std::to_string(options.maxConnections) +
                " connections; try again later.");
        Log("connection refused: " + Line(refusal));
        const std::vector<uint8_t> frame =
            KivoWire::EncodeFrame(FrameKind::Refusal, 0, 0, 0, KivoWire::ErrorPayload(refusal));
        [[maybe_unused]] const ssize_t sent =
            ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
    }

    void Serve(uint64_t id, uint32_t events) {
        const auto found = connections.find(id);
        if (found == connections.end())
            return;
        Connection& connection = found->second;
        if ((events & EPOLLOUT) != 0 && !Flush(connection))
            return;
        if (!connection.paused && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0)
            Read(connection);
        else if ((events & (EPOLLHUP | EPOLLERR)) != 0)
            Close(connection, "the peer has gone");  // a paused socket is not read for its EOF
    }

    void Read(Connection& connection) {
        std::vector<KivoWire::Frame> frames;
        Common::Error failure;
        const KivoWire::FramedSocket::Status status =
            connection.socket->ReadAvailable(frames, failure);
        if (status == KivoWire::FramedSocket::Status::Failed) {
            Close(connection, Line(failure));
            return;
        }
        const bool answeredPing = connection.pinged && !frames.empty();
        for (KivoWire::Frame& frame : frames) {
            connection.heard = Clock::now();
            connection.pinged = false;
            if (!Handle(connection, frame))
                return;  // closed
        }
        if (answeredPing) {
            // Its check waits for the dead interval of the ping; a live peer is pinged again
            // after the ping interval instead.
            checks.erase({connection.check, connection.id});
            Schedule(connection, connection.heard + options.pingAfter);
        }
        if (status == KivoWire::FramedSocket::Status::Closed)
            Close(connection, connection.socket->InsideFrame() ? "the peer ended inside a frame"
                                                               : "the peer closed it");
        else
            Flush(connection);
    }

    // False when the connection was closed.
    bool Handle(Connection& connection, KivoWire::Frame& frame) {
        const KivoWire::FrameHeader& header = frame.header;
        if (connection.closeWhenFlushed)
            return true;  // refused: nothing more is taken
        if (header.kind == FrameKind::Hello && !connection.welcomed)
            return Greet(connection, frame.payload);
        if (!connection.welcomed ||
            (header.kind != FrameKind::Call && header.kind != FrameKind::Ping &&
             header.kind != FrameKind::Pong)) {
            Close(connection, "the peer broke the service protocol: a frame of kind " +
                                  std::to_string(static_cast<int>(header.kind)) +
                                  (connection.welcomed ? " after the Welcome" : " before Hello"));
            return false;
        }
        if (header.kind == FrameKind::Ping)
            connection.socket->Queue(
                KivoWire::EncodeFrame(FrameKind::Pong, 0, 0, header.callId, {}));
        else if (header.kind == FrameKind::Call)
            return Dispatch(connection, frame);
        return true;
    }

    bool Greet(Connection& connection, const std::vector<uint8_t>& payload) {
        uint32_t service = 0;
        Common::Error refusal = KivoWire::ReadHello(payload, service);
        const bool served = std::find(options.services.begin(), options.services.end(), service) !=
                            options.services.end();
        if (refusal.IsEmpty() && !connection.allowed) {
            refusal = Common::Error(
                COMMON_PLACE("KivoServer::SocketServer::Greet"), kPeerNotAllowed,
                "KIVO: User " + std::to_string(connection.peer.uid) +
                    " may not use this service: it serves its own user, root" +
                    (options.group ? " and the members of group " + std::to_string(*options.group)
                                   : std::string()) +
                    ".");
        } else if (refusal.IsEmpty() && !served) {
            refusal =
                Common::Error(COMMON_PLACE("KivoServer::SocketServer::Greet"), kServiceNotServed,
                              "KIVO: Service " + std::to_string(service) +
                                  " is not served by this service program.");
        }
        if (refusal.IsEmpty()) {
            connection.welcomed = true;
            connection.socket->Queue(KivoWire::EncodeFrame(FrameKind::Welcome, 0, 0, 0, welcome));
            return true;
        }
        Log("connection " + std::to_string(connection.id) + " refused: " + Line(refusal));
        connection.closeWhenFlushed = true;
        connection.socket->Queue(
            KivoWire::EncodeFrame(FrameKind::Refusal, 0, 0, 0, KivoWire::ErrorPayload(refusal)));
        return true;
    }

    bool Dispatch(Connection& connection, KivoWire::Frame& frame) {
        const KivoWire::FrameHeader& header = frame.header;
        if (connection.calls.count(header.callId) != 0) {
            Close(connection, "the peer broke the service protocol: call " +
                                  std::to_string(header.callId) + " is already in flight");
            return false;
        }
        const auto component = components.find(header.componentId);
        Common::Error refused;
        if (connection.calls.size() >= kMaxCallsInFlight) {
            refused = Common::Error(
                COMMON_PLACE("KivoServer::SocketServer::Dispatch"), kTooManyCalls,
                "KIVO: The connection already has " + std::to_string(kMaxCallsInFlight) +
                    " calls in flight; this call was not made.");
        } else if (component == components.end()) {
            refused = Common::Error(COMMON_PLACE("KivoServer::SocketServer::Dispatch"),
                                    Binding::kIpcClientNoComponent,
                                    Common::FormatCatalogMessage(
                                        Common::GetCatalogMessage(Common::kMsgIpcClientNoComponent),
                                        {Common::ToUtf16(std::to_string(header.componentId))}));
        } else {
            refused = Submit(connection.id, header, component->second, std::move(frame.payload));
        }
        if (!refused.IsEmpty())
            connection.socket->Queue(FailureFrame(header.callId, refused));
        else
            connection.calls.insert(header.callId);
        return true;
    }

    // Hands one call to a worker; the error when no worker can take it.
    Common::Error Submit(uint64_t id, const KivoWire::FrameHeader& header,
                         std::shared_ptr<Binding::ServerComponent> component,
                         std::vector<uint8_t> request) {
        {
            std::lock_guard<std::mutex> hold(gateLock);
            ++gates[id].pending;
        }
        Common::Error failure =
            pool->Submit([this, id, callId = header.callId, method = header.methodId, component,
                          request = std::move(request)] {
                bool closed = false;
                {
                    std::lock_guard<std::mutex> hold(gateLock);
                    closed = gates[id].closed;
                }
                if (!closed) {
                    component->StartCall(
                        id, method, request,
                        [mailbox = mailbox, id, callId](const Common::Error& failure,
                                                        std::vector<uint8_t> reply) {
                            mailbox->Post(Answer{id, callId, failure, std::move(reply)});
                        });
                }
                Leave(id);
            });
        if (!failure.IsEmpty())
            Leave(id);
        return failure;
    }

    // A call of connection `id` has left the workers; the last one of a closed connection tells
    // the components.
    void Leave(uint64_t id) noexcept {
        {
            std::lock_guard<std::mutex> hold(gateLock);
            const auto found = gates.find(id);
            if (found == gates.end() || --found->second.pending > 0 || !found->second.closed)
                return;
            gates.erase(found);
        }
        TellClosed(id);
    }

    void TellClosed(uint64_t id) noexcept {
        for (const auto& [componentId, component] : components)
            component->ConnectionClosed(id);
    }

    // Writes the answers that the components left.
    void Deliver() {
        for (Answer& answer : mailbox->Take()) {
            const auto found = connections.find(answer.connection);
            if (found == connections.end() || found->second.calls.erase(answer.callId) == 0)
                continue;  // the connection has gone: the answer goes nowhere
            Connection& connection = found->second;
            if (answer.failure.IsEmpty() && answer.reply.size() > KivoWire::kMaxPayloadBytes)
                answer.failure = Common::Error(
                    COMMON_PLACE("KivoServer::SocketServer::Deliver"), kReplyTooLargeForFrame,
                    "KIVO: The reply of " + std::to_string(answer.reply.size()) +
                        " bytes passes the frame limit of " +
                        std::to_string(KivoWire::kMaxPayloadBytes) + " bytes.");
            connection.socket->Queue(
                answer.failure.IsEmpty()
                    ? KivoWire::EncodeFrame(FrameKind::Reply, 0, 0, answer.callId, answer.reply)
                    : FailureFrame(answer.callId, answer.failure));
            Flush(connection);
        }
    }

    // Sends what is queued; false when the connection was closed.
    bool Flush(Connection& connection) {
        const size_t before = connection.socket->Pending();
        Common::Error failure;
        if (connection.socket->Flush(failure) == KivoWire::FramedSocket::Status::Failed) {
            Close(connection, Line(failure));
            return false;
        }
        const size_t pending = connection.socket->Pending();
        if (connection.closeWhenFlushed && pending == 0) {
            Close(connection, "refused");
            return false;
        }
        if (connection.paused && pending < before)
            connection.heard = Clock::now();  // the peer reads: it lives
        if (!connection.paused && pending > options.outputBound)
            connection.paused = true;
        else if (connection.paused && pending <= options.outputBound / 2)
            connection.paused = false;
        UpdateEvents(connection);
        return true;
    }

    // Watches the connection for what it needs now: input unless paused, output while some
    // waits.
    void UpdateEvents(Connection& connection) {
        const uint32_t events = (connection.paused ? 0u : static_cast<uint32_t>(EPOLLIN)) |
                                (connection.socket->Pending() > 0 ? EPOLLOUT : 0u);
        if (connection.watched && events == connection.events)
            return;
        Watch(connection.socket->Descriptor(), connection.id, events,
              connection.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
        connection.watched = true;
        connection.events = events;
    }

    void Schedule(Connection& connection, Clock::time_point when) {
        connection.check = when;
        checks.emplace(when, connection.id);
    }

    // Runs the liveness checks that are due, and wakes resting listeners.
    void Expire() {
        uint64_t expirations = 0;
        [[maybe_unused]] const ssize_t read = ::read(timerFd, &expirations, sizeof expirations);
        armed = Clock::time_point::max();
        const Clock::time_point now = Clock::now();
        if (!listening && now >= restUntil)
            Listen();
        while (!checks.empty() && checks.begin()->first <= now) {
            const uint64_t id = checks.begin()->second;
            checks.erase(checks.begin());
            const auto found = connections.find(id);
            if (found == connections.end())
                continue;
            Connection& connection = found->second;
            if (now - connection.heard >= options.deadAfter) {
                Close(connection,
                      "no frame for " + std::to_string(options.deadAfter.count()) + " ms");
                continue;
            }
            if (now - connection.heard >= options.pingAfter && !connection.pinged) {
                connection.pinged = true;
                connection.socket->Queue(
                    KivoWire::EncodeFrame(FrameKind::Ping, 0, 0, ++connection.pings, {}));
                if (!Flush(connection))
                    continue;
            }
            Schedule(connection, connection.heard +
                                     (connection.pinged ? options.deadAfter : options.pingAfter));
        }
    }

    void ArmTimer() {
        Clock::time_point next = checks.empty() ? Clock::time_point::max() : checks.begin()->first;
        if (!listening)
            next = std::min(next, restUntil);
        if (next == armed)
            return;
        armed = next;
        itimerspec setting{};
        if (next != Clock::time_point::max()) {
            const int64_t wait = std::max<int64_t>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count(),
                1);  // zero would disarm it
            setting.it_value.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
            setting.it_value.tv_nsec = static_cast<long>(wait % 1'000'000'000);
        }
        ::timerfd_settime(timerFd, 0, &setting, nullptr);
    }

    void Close(Connection& connection, const std::string& reason) {
        const uint64_t id = connection.id;
        Log("connection " + std::to_string(id) + " closed: " + reason);
        checks.erase({connection.check, id});
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, connection.socket->Descriptor(), nullptr);
        connections.erase(id);  // closes the socket
        bool tell = false;
        {
            std::lock_guard<std::mutex> hold(gateLock);
            const auto found = gates.find(id);
            if (found != gates.end()) {
                found->second.closed = true;
                tell = found->second.pending == 0;
                if (tell)
                    gates.erase(found);
            }
        }
        if (tell && !pool->Submit([this, id] { TellClosed(id); }).IsEmpty())
            TellClosed(id);
        Listen();
    }
};

std::unique_ptr<SocketServer> SocketServer::Start(
    std::vector<std::shared_ptr<Binding::ServerComponent>> components, ServerOptions options) {
    auto state = std::make_unique<State>();
    std::vector<KivoWire::ComponentVersion> versions;
    for (const std::shared_ptr<Binding::ServerComponent>& component : components) {
        versions.push_back({component->GetComponentID(), component->GetInterfaceVersion()});
        state->components[component->GetComponentID()] = component;
    }
    state->welcome = KivoWire::WelcomePayload(versions);
    const uint32_t workers =
        options.workers != 0 ? options.workers : std::max(1u, std::thread::hardware_concurrency());
    state->options = std::move(options);
    const ServerOptions& settings = state->options;

    state->epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    state->timerFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd >= 0)
        state->mailbox = std::make_shared<Mailbox>(wakeFd);
    if (state->epollFd < 0 || state->timerFd < 0 || wakeFd < 0)
        throw SystemFailure(COMMON_PLACE("KivoServer::SocketServer::Start"), kServerFailure,
                            "The service cannot make its descriptors");
    state->Watch(wakeFd, kWakeTag, EPOLLIN, EPOLL_CTL_ADD);
    state->Watch(state->timerFd, kTimerTag, EPOLLIN, EPOLL_CTL_ADD);

    PrepareDirectory(settings.directory, settings.group);
    for (const uint32_t service : settings.services) {
        state->listeners.push_back(Listen(settings.directory, service, settings.group));
        state->paths.push_back(state->listeners.back().path);
    }
    for (size_t i = 0; i < state->listeners.size(); ++i)
        state->Watch(state->listeners[i].fd, kListenerTag | i, EPOLLIN, EPOLL_CTL_ADD);

    state->pool = std::make_unique<IPCClient::WorkerPool>(workers);
    try {
        state->thread = std::thread([raw = state.get()] { raw->Run(); });
    } catch (const std::system_error&) {
        throw Common::Error(COMMON_PLACE("KivoServer::SocketServer::Start"), kServerFailure,
                            "KIVO: The service cannot start its I/O thread.");
    }
    return std::unique_ptr<SocketServer>(new SocketServer(std::move(state)));
}

SocketServer::SocketServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

SocketServer::~SocketServer() {
    Stop();
}

void SocketServer::Stop() noexcept {
    if (state_->stopped)
        return;
    state_->stopped = true;
    state_->stopping.store(true);
    state_->mailbox->Wake();
    if (state_->thread.joinable())
        state_->thread.join();
    // Runs the calls still queued (their connections are closed, so they are dropped) and the
    // components' notices of the ended connections.
    state_->pool->Stop();
    state_->mailbox->Close();
}

const std::vector<std::string>& SocketServer::Paths() const noexcept {
    return state_->paths;
}

}  // namespace KivoServer
