#include "platform/ipc_client/socket_transport.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <map>
#include <system_error>
#include <utility>

#include "core/common/catalog.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/library_errors.h"
#include "platform/ipc_client/socket_handshake.h"
#include "platform/wire/framed_socket.h"

namespace IPCClient {
namespace {

// Keys of the epoll set beside the connections' numbers (which fit 32 bits).
constexpr uint64_t kWakeKey = UINT64_MAX;
constexpr uint64_t kTimerKey = UINT64_MAX - 1;
// The longest interval the environment may ask for: a day.
constexpr unsigned long long kMaxIntervalMs = 24ull * 60 * 60 * 1000;

// The interval that `variable` asks for, else `fallback`.
std::chrono::milliseconds IntervalVariable(const char* variable,
                                           std::chrono::milliseconds fallback) {
    const char* const text = std::getenv(variable);
    if (text == nullptr || *text < '0' || *text > '9') {
        return fallback;
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || value == 0 || value > kMaxIntervalMs) {
        return fallback;
    }
    return std::chrono::milliseconds(value);
}

bool AddToSet(int epoll, int fd, uint64_t key) noexcept {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = key;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event) == 0;
}

}  // namespace

struct SocketTransport::Connection {
    // A call that waits for room among the calls in flight.
    struct Queued {
        uint32_t componentId = 0;
        uint32_t methodId = 0;
        std::vector<uint8_t> packet;
        ReplyCallback done;
    };

    uint32_t id = 0;
    std::unique_ptr<KivoWire::FramedSocket> socket;  // null once FAILED
    std::vector<KivoWire::ComponentVersion> components;
    Common::Error failure;  // set when FAILED
    uint64_t nextCallId = 1;
    std::map<uint64_t, ReplyCallback> inFlight;
    std::deque<Queued> queued;
    bool watchingOutput = false;  // EPOLLOUT is in the set
    Clock::time_point lastHeard;
    Clock::time_point lastPing;
};

SocketTransport::Intervals SocketTransport::IntervalsFromEnvironment() {
    Intervals intervals;
    intervals.ping = IntervalVariable(kPingIntervalVariable, intervals.ping);
    intervals.dead = IntervalVariable(kDeadIntervalVariable, intervals.dead);
    intervals.login = IntervalVariable(kLoginIntervalVariable, intervals.login);
    return intervals;
}

SocketTransport::SocketTransport(WorkerPool& pool, Intervals intervals)
    : pool_(pool), intervals_(intervals) {}

SocketTransport::~SocketTransport() {
    Shutdown();
}

Common::Error SocketTransport::StartLocked() {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    timer_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    Common::Error error;
    if (epoll_ < 0 || wake_ < 0 || timer_ < 0 || !AddToSet(epoll_, wake_, kWakeKey) ||
        !AddToSet(epoll_, timer_, kTimerKey)) {
        error = Common::LastSystemError(COMMON_PLACE("IPCClient::SocketTransport::StartLocked"),
                                        Binding::kIpcClientThreadStartFailed);
    } else {
        try {
            thread_ = std::thread([this] { Loop(); });
        } catch (const std::system_error& failure) {
            error = Common::Error(COMMON_PLACE("IPCClient::SocketTransport::StartLocked"),
                                  Binding::kIpcClientThreadStartFailed,
                                  Common::GetCatalogMessage(Common::kMsgIpcClientThreadStartFailed))
                        .AddWindowsError(static_cast<uint32_t>(failure.code().value()));
        }
    }
    if (!error.IsEmpty()) {
        for (int* fd : {&epoll_, &wake_, &timer_}) {
            if (*fd >= 0) {
                ::close(*fd);
            }
            *fd = -1;
        }
    }
    return error;
}

Common::Error SocketTransport::Connect(uint32_t serviceId, uint32_t& connectionId) {
    OpenedSocket opened;
    if (Common::Error failed = OpenServiceSocket(serviceId, intervals_.dead, opened);
        !failed.IsEmpty()) {
        return failed;
    }
    return Adopt(std::move(opened), connectionId);
}

Common::Error SocketTransport::Adopt(OpenedSocket opened, uint32_t& connectionId) {
    auto connection = std::make_unique<Connection>();
    connection->id = NewConnectionId();
    connection->socket = std::move(opened.socket);
    connection->components = std::move(opened.components);
    Endings endings;
    std::lock_guard<std::mutex> hold(lock_);
    if (stopped_) {
        return NotInitialized(COMMON_PLACE("IPCClient::SocketTransport::Adopt"));
    }
    if (!thread_.joinable()) {
        if (Common::Error failed = StartLocked(); !failed.IsEmpty()) {
            return failed;
        }
    }
    if (!AddToSet(epoll_, connection->socket->Descriptor(), connection->id)) {
        return Common::LastSystemError(COMMON_PLACE("IPCClient::SocketTransport::Adopt"),
                                       Binding::kIpcClientNoService);
    }
    connection->lastHeard = connection->lastPing = Clock::now();
    // Only Pings may have come behind the Welcome; no call can have ended yet.
    Take(*connection, opened.early, endings);
    connectionId = connection->id;
    connections_.emplace(connection->id, std::move(connection));
    Wake();  // flushes the Pongs and sets the liveness deadline of the new connection
    return Common::Error();
}

Common::Error SocketTransport::GetComponentVersion(uint32_t connectionId, uint32_t componentId,
                                                   uint32_t& version) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = connections_.find(connectionId);
    if (found == connections_.end()) {
        return ConnectionClosed(COMMON_PLACE("IPCClient::SocketTransport::GetComponentVersion"));
    }
    for (const KivoWire::ComponentVersion& component : found->second->components) {
        if (component.componentId == componentId) {
            version = component.version;
            return Common::Error();
        }
    }
    return NoComponent(COMMON_PLACE("IPCClient::SocketTransport::GetComponentVersion"),
                       componentId);
}

Common::Error SocketTransport::Send(uint32_t connectionId, uint32_t componentId, uint32_t methodId,
                                    std::vector<uint8_t> request, ReplyCallback done) {
    if (request.size() > KivoWire::kMaxPayloadBytes) {
        return Common::Error(COMMON_PLACE("IPCClient::SocketTransport::Send"), KivoWire::kBadFrame);
    }
    std::lock_guard<std::mutex> hold(lock_);
    if (stopped_) {
        return NotInitialized(COMMON_PLACE("IPCClient::SocketTransport::Send"));
    }
    const auto found = connections_.find(connectionId);
    if (found == connections_.end()) {
        return ConnectionClosed(COMMON_PLACE("IPCClient::SocketTransport::Send"));
    }
    Connection& connection = *found->second;
    if (connection.socket == nullptr) {
        return connection.failure;
    }
    connection.queued.push_back({componentId, methodId, std::move(request), std::move(done)});
    Pump(connection);
    Wake();
    return Common::Error();
}

void SocketTransport::CloseConnection(uint32_t connectionId) noexcept {
    Endings endings;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = connections_.find(connectionId);
        if (found == connections_.end()) {
            return;
        }
        EndCalls(*found->second,
                 ConnectionClosed(COMMON_PLACE("IPCClient::SocketTransport::CloseConnection")),
                 endings);
        connections_.erase(found);
    }
    Dispatch(std::move(endings));
}

void SocketTransport::Shutdown() noexcept {
    Endings endings;
    std::thread thread;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        const Common::Error outcome =
            NotInitialized(COMMON_PLACE("IPCClient::SocketTransport::Shutdown"));
        for (auto& [id, connection] : connections_) {
            EndCalls(*connection, outcome, endings);
        }
        connections_.clear();
        thread = std::move(thread_);
        Wake();
    }
    if (thread.joinable()) {
        thread.join();
    }
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (int* fd : {&epoll_, &wake_, &timer_}) {
            if (*fd >= 0) {
                ::close(*fd);
            }
            *fd = -1;
        }
    }
    Dispatch(std::move(endings));
}

void SocketTransport::Loop() noexcept {
    epoll_event events[64];
    for (;;) {
        const int count = ::epoll_wait(epoll_, events, 64, -1);
        Endings endings;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stopped_) {
                return;
            }
            const Clock::time_point now = Clock::now();
            for (int i = 0; i < count; ++i) {  // count < 0: interrupted, nothing to read
                const uint64_t key = events[i].data.u64;
                if (key == kWakeKey || key == kTimerKey) {
                    uint64_t ticks = 0;
                    [[maybe_unused]] const ssize_t got =
                        ::read(key == kWakeKey ? wake_ : timer_, &ticks, sizeof ticks);
                    continue;
                }
                // A connection closed meanwhile is no longer found: its event is stale.
                const auto found = connections_.find(static_cast<uint32_t>(key));
                if (found != connections_.end() && found->second->socket != nullptr &&
                    (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
                    Serve(*found->second, now, endings);
                }
            }
            const Clock::time_point next = CheckLiveness(now, endings);
            for (auto& [id, connection] : connections_) {
                if (connection->socket != nullptr) {
                    Flush(*connection, endings);
                }
            }
            Arm(next);
        }
        Dispatch(std::move(endings));
    }
}

void SocketTransport::Serve(Connection& connection, Clock::time_point now, Endings& endings) {
    std::vector<KivoWire::Frame> frames;
    Common::Error failure;
    const KivoWire::FramedSocket::Status status = connection.socket->ReadAvailable(frames, failure);
    connection.lastHeard = now;
    // The frames that came before an end still count: their calls have their answers.
    Take(connection, frames, endings);
    if (connection.socket == nullptr) {
        return;  // a frame failed it
    }
    if (status == KivoWire::FramedSocket::Status::Closed) {
        Fail(connection, ServiceHungUp(COMMON_PLACE("IPCClient::SocketTransport::Serve")), endings);
    } else if (status == KivoWire::FramedSocket::Status::Failed) {
        Fail(connection, failure, endings);
    }
}

void SocketTransport::Take(Connection& connection, std::vector<KivoWire::Frame>& frames,
                           Endings& endings) {
    for (KivoWire::Frame& frame : frames) {
        const KivoWire::FrameHeader& header = frame.header;
        switch (header.kind) {
            case KivoWire::FrameKind::Reply:
            case KivoWire::FrameKind::Failure: {
                const auto found = connection.inFlight.find(header.callId);
                if (found == connection.inFlight.end()) {
                    break;  // no call of ours has that id: nothing to end
                }
                Ending ending{std::move(found->second), {}, {}};
                connection.inFlight.erase(found);
                if (header.kind == KivoWire::FrameKind::Reply) {
                    ending.packet = std::move(frame.payload);
                } else {
                    ending.failure = KivoWire::ReadError(frame.payload);
                }
                endings.push_back(std::move(ending));
                break;
            }
            case KivoWire::FrameKind::Ping:
                connection.socket->Queue(
                    KivoWire::EncodeFrame(KivoWire::FrameKind::Pong, 0, 0, header.callId, {}));
                break;
            case KivoWire::FrameKind::Pong:
                break;
            case KivoWire::FrameKind::Refusal:
                Fail(connection, KivoWire::ReadError(frame.payload), endings);
                return;
            default:
                Fail(connection,
                     UnexpectedFrame(COMMON_PLACE("IPCClient::SocketTransport::Take"), header.kind),
                     endings);
                return;
        }
    }
    Pump(connection);
}

void SocketTransport::Pump(Connection& connection) {
    while (connection.inFlight.size() < kMaxCallsInFlight && !connection.queued.empty()) {
        Connection::Queued& next = connection.queued.front();
        const uint64_t callId = connection.nextCallId++;
        connection.socket->Queue(KivoWire::EncodeFrame(KivoWire::FrameKind::Call, next.componentId,
                                                       next.methodId, callId, next.packet));
        connection.inFlight.emplace(callId, std::move(next.done));
        connection.queued.pop_front();
    }
}

void SocketTransport::Flush(Connection& connection, Endings& endings) {
    Common::Error failure;
    const KivoWire::FramedSocket::Status status = connection.socket->Flush(failure);
    if (status == KivoWire::FramedSocket::Status::Failed) {
        Fail(connection, failure, endings);
        return;
    }
    const bool blocked = status == KivoWire::FramedSocket::Status::Blocked;
    if (blocked != connection.watchingOutput) {
        epoll_event event{};
        event.events = EPOLLIN | (blocked ? EPOLLOUT : 0u);
        event.data.u64 = connection.id;
        if (::epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.socket->Descriptor(), &event) == 0) {
            connection.watchingOutput = blocked;
        }
    }
}

SocketTransport::Clock::time_point SocketTransport::CheckLiveness(Clock::time_point now,
                                                                  Endings& endings) {
    Clock::time_point next = Clock::time_point::max();
    for (auto& [id, connectionHeld] : connections_) {
        Connection& connection = *connectionHeld;
        if (connection.socket == nullptr) {
            continue;
        }
        const Clock::time_point dead = connection.lastHeard + intervals_.dead;
        if (now >= dead) {
            Fail(connection,
                 ServiceSilent(COMMON_PLACE("IPCClient::SocketTransport::CheckLiveness"),
                               intervals_.dead),
                 endings);
            continue;
        }
        Clock::time_point ping =
            std::max(connection.lastHeard, connection.lastPing) + intervals_.ping;
        if (now >= ping) {
            connection.socket->Queue(KivoWire::EncodeFrame(KivoWire::FrameKind::Ping, 0, 0, 0, {}));
            connection.lastPing = now;
            ping = now + intervals_.ping;
        }
        next = std::min({next, dead, ping});
    }
    return next;
}

void SocketTransport::Fail(Connection& connection, const Common::Error& reason, Endings& endings) {
    connection.failure = ConnectionLost(COMMON_PLACE("IPCClient::SocketTransport::Fail"), reason);
    EndCalls(connection, connection.failure, endings);
}

void SocketTransport::EndCalls(Connection& connection, const Common::Error& outcome,
                               Endings& endings) {
    if (connection.socket != nullptr) {
        ::epoll_ctl(epoll_, EPOLL_CTL_DEL, connection.socket->Descriptor(), nullptr);
        connection.socket.reset();
    }
    for (auto& [callId, done] : connection.inFlight) {
        endings.push_back({std::move(done), outcome, {}});
    }
    connection.inFlight.clear();
    for (Connection::Queued& queued : connection.queued) {
        endings.push_back({std::move(queued.done), outcome, {}});
    }
    connection.queued.clear();
}

void SocketTransport::Dispatch(Endings endings) noexcept {
    for (Ending& ending : endings) {
        auto shared = std::make_shared<Ending>(std::move(ending));
        const Common::Error queued =
            pool_.Submit([shared] { shared->done(shared->failure, std::move(shared->packet)); });
        if (!queued.IsEmpty()) {
            // No thread of the pool can run it: the caller must still hear the end.
            shared->done(shared->failure, std::move(shared->packet));
        }
    }
}

void SocketTransport::Arm(Clock::time_point deadline) noexcept {
    itimerspec setting{};
    if (deadline != Clock::time_point::max()) {
        const auto since = deadline.time_since_epoch();
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        setting.it_value.tv_sec = static_cast<time_t>(seconds.count());
        setting.it_value.tv_nsec = static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
        if (setting.it_value.tv_sec == 0 && setting.it_value.tv_nsec == 0) {
            setting.it_value.tv_nsec = 1;  // 0 would disarm it
        }
    }
    ::timerfd_settime(timer_, TFD_TIMER_ABSTIME, &setting, nullptr);
}

void SocketTransport::Wake() const noexcept {
    if (wake_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
    }
}

}  // namespace IPCClient
