#include "platform/socket_server/socket_server.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "core/common/text.h"
#include "platform/socket_server/server_state.h"
#include "platform/socket_server/tcp_listener.h"

namespace KivoServer {
namespace {

using KivoWire::FrameKind;

// epoll tags: connections are tagged with their number (from 1), the rest with high bits.
constexpr uint64_t kWakeTag = uint64_t{1} << 63;
constexpr uint64_t kTimerTag = kWakeTag | 1;
constexpr uint64_t kListenerTag = uint64_t{1} << 62;

}  // namespace

std::string Line(const Common::Error& error) {
    return Common::ToUtf8(error.Message());
}

SocketServer::State::~State() {
    for (Listener& listener : listeners)
        CloseListener(listener);
    if (epollFd >= 0)
        ::close(epollFd);
    if (timerFd >= 0)
        ::close(timerFd);
}

void SocketServer::State::Log(const std::string& line) const {
    if (options.log) {
        options.log(line);
        return;
    }
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
}

void SocketServer::State::Watch(int fd, uint64_t tag, uint32_t events, int operation) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = tag;
    if (::epoll_ctl(epollFd, operation, fd, &event) != 0)
        Log(Line(SystemFailure(COMMON_PLACE("KivoServer::SocketServer::Run"), kServerFailure,
                               "A socket cannot be watched")));
}

void SocketServer::State::Run() noexcept {
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

void SocketServer::State::Accept(const Listener& listener) {
    for (;;) {
        sockaddr_storage peerAddress{};
        socklen_t size = sizeof peerAddress;
        const int fd = ::accept4(listener.fd, reinterpret_cast<sockaddr*>(&peerAddress), &size,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                Rest(SystemFailure(COMMON_PLACE("KivoServer::SocketServer::Accept"), kServerFailure,
                                   "A connection cannot be accepted"));
            return;
        }
        if (!listener.address.empty()) {
            AcceptRemote(fd, peerAddress, listener);
            continue;
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
            std::to_string(connection.peer.uid) + ", gid " + std::to_string(connection.peer.gid));
        Schedule(connection, connection.heard + options.pingAfter);
        UpdateEvents(connection);
    }
}

// Accept found no descriptor (or another failure): the listeners rest until a connection
// closes or the ping interval has passed, so that the loop does not spin on them.
void SocketServer::State::Rest(const Common::Error& failure) {
    Log(Line(failure));
    for (const Listener& listener : listeners)
        Watch(listener.fd, 0, 0, EPOLL_CTL_MOD);
    listening = false;
    restUntil = Clock::now() + options.pingAfter;
}

void SocketServer::State::Listen() {
    if (listening)
        return;
    for (size_t i = 0; i < listeners.size(); ++i)
        Watch(listeners[i].fd, kListenerTag | i, EPOLLIN, EPOLL_CTL_MOD);
    listening = true;
}

// A Unix connection past the bound: the Refusal goes in one send (it fits an empty socket).
void SocketServer::State::RefuseAtOnce(int fd) {
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

void SocketServer::State::Schedule(Connection& connection, Clock::time_point when) {
    checks.erase({connection.check, connection.id});
    connection.check = when;
    checks.emplace(when, connection.id);
}

// Runs the liveness and login checks that are due, and wakes resting listeners.
void SocketServer::State::Expire() {
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
        if (LoggingIn(connection)) {
            ExpireLogin(connection);
            continue;
        }
        if (now - connection.heard >= options.deadAfter) {
            Close(connection, "no frame for " + std::to_string(options.deadAfter.count()) + " ms");
            continue;
        }
        if (now - connection.heard >= options.pingAfter && !connection.pinged) {
            connection.pinged = true;
            connection.socket->Queue(
                KivoWire::EncodeFrame(FrameKind::Ping, 0, 0, ++connection.pings, {}));
            if (!Flush(connection))
                continue;
        }
        Schedule(connection,
                 connection.heard + (connection.pinged ? options.deadAfter : options.pingAfter));
    }
}

void SocketServer::State::ArmTimer() {
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

void SocketServer::State::Close(Connection& connection, const std::string& reason) {
    const uint64_t id = connection.id;
    Log("connection " + std::to_string(id) + " closed: " + reason);
    if (LoggingIn(connection)) {
        --loggingIn;
        authenticator->Forget(id);
    }
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

std::unique_ptr<SocketServer> SocketServer::Start(
    std::vector<std::shared_ptr<Binding::ServerComponent>> components, ServerOptions options) {
    auto state = std::make_unique<State>();
    std::vector<KivoWire::ComponentVersion> versions;
    for (const std::shared_ptr<Binding::ServerComponent>& component : components) {
        versions.push_back({component->GetComponentID(), component->GetInterfaceVersion()});
        state->components[component->GetComponentID()] = component;
    }
    state->welcome = KivoWire::WelcomePayload(versions);
    const Common::Error refusal(COMMON_PLACE("KivoServer::SocketServer::Start"),
                                kAuthenticationFailed,
                                "KIVO: The user name or password is not accepted.");
    state->loginRefusal =
        KivoWire::EncodeFrame(FrameKind::Refusal, 0, 0, 0, KivoWire::ErrorPayload(refusal));
    uint32_t workers =
        options.workers != 0 ? options.workers : std::max(1u, std::thread::hardware_concurrency());
    if (options.remote)
        workers += static_cast<uint32_t>(std::max<size_t>(options.remote->maxHashing, 1));
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
    if (settings.remote) {
        if (settings.remote->tls == nullptr || settings.remote->verifier == nullptr)
            throw Common::Error(COMMON_PLACE("KivoServer::SocketServer::Start"), kServerFailure,
                                "KIVO: Listening on TCP needs a TLS context and the users; there "
                                "is no plaintext mode.");
        state->listeners.push_back(ListenTcp(settings.remote->listen));
        state->remoteAddress = state->listeners.back().address;
        state->failureDelays.emplace(settings.remote->loginFailureDelay);
    }
    for (size_t i = 0; i < state->listeners.size(); ++i)
        state->Watch(state->listeners[i].fd, kListenerTag | i, EPOLLIN, EPOLL_CTL_ADD);

    state->pool = std::make_unique<IPCClient::WorkerPool>(workers);
    if (settings.remote)
        state->authenticator = std::make_unique<Authenticator>(
            settings.remote->verifier, *state->pool, state->mailbox, settings.remote->maxHashing);
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
    // Runs the calls still queued (their connections are closed, so they are dropped), the
    // password checks started, and the components' notices of the ended connections.
    state_->pool->Stop();
    state_->mailbox->Close();
}

const std::vector<std::string>& SocketServer::Paths() const noexcept {
    return state_->paths;
}

const std::string& SocketServer::RemoteAddress() const noexcept {
    return state_->remoteAddress;
}

}  // namespace KivoServer
