#include <sys/epoll.h>

#include <algorithm>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/socket_server/server_state.h"

namespace KivoServer {
namespace {

using KivoWire::FrameKind;

// What one read may take: enough to keep a busy peer from holding the loop; before its login a
// TCP peer gets hardly more than it may send then (its TLS records come whole anyway).
constexpr size_t kReadBudget = size_t{1} << 20;
constexpr size_t kLoginReadBudget = KivoWire::kMaxLoginBytes + 1;

std::vector<uint8_t> FailureFrame(uint64_t callId, const Common::Error& error) {
    return KivoWire::EncodeFrame(FrameKind::Failure, 0, 0, callId, KivoWire::ErrorPayload(error));
}

// Whether the connection's input is taken now.
bool Reading(const Connection& connection) {
    return !connection.paused && connection.login != Login::Checking &&
           connection.login != Login::Refusing;
}

}  // namespace

void SocketServer::State::Serve(uint64_t id, uint32_t events) {
    const auto found = connections.find(id);
    if (found == connections.end())
        return;
    Connection& connection = found->second;
    if ((events & EPOLLOUT) != 0 && !Flush(connection))
        return;
    if (Reading(connection) && (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0)
        Read(connection);
    else if ((events & (EPOLLHUP | EPOLLERR)) != 0)
        Close(connection, "the peer has gone");  // a socket not read now is not read for its EOF
}

void SocketServer::State::Read(Connection& connection) {
    std::vector<KivoWire::Frame> frames;
    Common::Error failure;
    const KivoWire::FramedSocket::Status status = connection.socket->ReadAvailable(
        frames, failure, LoggingIn(connection) ? kLoginReadBudget : kReadBudget);
    if (status == KivoWire::FramedSocket::Status::Failed) {
        Close(connection, Line(failure));
        return;
    }
    if (LoggingIn(connection) && connection.socket->Received() > KivoWire::kMaxLoginBytes) {
        Close(connection, "the peer sent more than " + std::to_string(KivoWire::kMaxLoginBytes) +
                              " bytes before its login");
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
        // Its check waits for the dead interval of the ping; a live peer is pinged again after
        // the ping interval instead.
        Schedule(connection, connection.heard + options.pingAfter);
    }
    if (status == KivoWire::FramedSocket::Status::Closed)
        Close(connection, connection.socket->InsideFrame() ? "the peer ended inside a frame"
                                                           : "the peer closed it");
    else
        Flush(connection);  // also what the link has to send of its own (a TLS handshake)
}

bool SocketServer::State::Handle(Connection& connection, KivoWire::Frame& frame) {
    const KivoWire::FrameHeader& header = frame.header;
    if (connection.login == Login::Credentials)
        return TakeCredentials(connection, frame);
    if (connection.login == Login::Checking) {
        connection.held.push_back(std::move(frame));
        return true;
    }
    if (connection.closeWhenFlushed || connection.login == Login::Refusing)
        return true;  // refused: nothing more is taken
    if (header.kind == FrameKind::Hello && !connection.welcomed)
        return Greet(connection, frame.payload);
    if (!connection.welcomed || (header.kind != FrameKind::Call && header.kind != FrameKind::Ping &&
                                 header.kind != FrameKind::Pong)) {
        Close(connection, "the peer broke the service protocol: a frame of kind " +
                              std::to_string(static_cast<int>(header.kind)) +
                              (connection.welcomed ? " after the Welcome" : " before Hello"));
        return false;
    }
    if (header.kind == FrameKind::Ping)
        connection.socket->Queue(KivoWire::EncodeFrame(FrameKind::Pong, 0, 0, header.callId, {}));
    else if (header.kind == FrameKind::Call)
        return Dispatch(connection, frame);
    return true;
}

bool SocketServer::State::Greet(Connection& connection, const std::vector<uint8_t>& payload) {
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
        refusal = Common::Error(
            COMMON_PLACE("KivoServer::SocketServer::Greet"), kServiceNotServed,
            "KIVO: Service " + std::to_string(service) + " is not served by this service program.");
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

bool SocketServer::State::Dispatch(Connection& connection, KivoWire::Frame& frame) {
    const KivoWire::FrameHeader& header = frame.header;
    if (connection.calls.count(header.callId) != 0) {
        Close(connection, "the peer broke the service protocol: call " +
                              std::to_string(header.callId) + " is already in flight");
        return false;
    }
    const auto component = components.find(header.componentId);
    Common::Error refused;
    if (connection.calls.size() >= kMaxCallsInFlight) {
        refused =
            Common::Error(COMMON_PLACE("KivoServer::SocketServer::Dispatch"), kTooManyCalls,
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
Common::Error SocketServer::State::Submit(uint64_t id, const KivoWire::FrameHeader& header,
                                          std::shared_ptr<Binding::ServerComponent> component,
                                          std::vector<uint8_t> request) {
    {
        std::lock_guard<std::mutex> hold(gateLock);
        ++gates[id].pending;
    }
    Common::Error failure = pool->Submit([this, id, callId = header.callId,
                                          method = header.methodId, component,
                                          request = std::move(request)] {
        bool closed = false;
        {
            std::lock_guard<std::mutex> hold(gateLock);
            closed = gates[id].closed;
        }
        if (!closed) {
            component->StartCall(id, method, request,
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

// A call of connection `id` has left the workers; the last one of a closed connection tells the
// components.
void SocketServer::State::Leave(uint64_t id) noexcept {
    {
        std::lock_guard<std::mutex> hold(gateLock);
        const auto found = gates.find(id);
        if (found == gates.end() || --found->second.pending > 0 || !found->second.closed)
            return;
        gates.erase(found);
    }
    TellClosed(id);
}

void SocketServer::State::TellClosed(uint64_t id) noexcept {
    for (const auto& [componentId, component] : components)
        component->ConnectionClosed(id);
}

// Writes the answers that the components left, and takes the verdicts of logins.
void SocketServer::State::Deliver() {
    for (Answer& answer : mailbox->Take()) {
        if (answer.kind != AnswerKind::Reply) {
            TakeVerdict(answer);
            continue;
        }
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
bool SocketServer::State::Flush(Connection& connection) {
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

// Watches the connection for what it needs now: input while it is read, output while some waits
// for room in the socket.
void SocketServer::State::UpdateEvents(Connection& connection) {
    const uint32_t events = (Reading(connection) ? static_cast<uint32_t>(EPOLLIN) : 0u) |
                            (connection.socket->WantsWritable() ? EPOLLOUT : 0u);
    if (connection.watched && events == connection.events)
        return;
    Watch(connection.socket->Descriptor(), connection.id, events,
          connection.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
    connection.watched = true;
    connection.events = events;
}

}  // namespace KivoServer
