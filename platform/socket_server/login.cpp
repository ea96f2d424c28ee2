#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include "platform/security/tls.h"
#include "platform/socket_server/server_state.h"
#include "platform/socket_server/tcp_listener.h"

namespace KivoServer {
namespace {

using KivoWire::FrameKind;

// A user name as the log shows it: control characters (a peer's line breaks among them) become
// '?'.
std::string Printable(std::string text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return text;
}

std::string Milliseconds(std::chrono::milliseconds time) {
    return std::to_string(time.count()) + " ms";
}

}  // namespace

void SocketServer::State::AcceptRemote(int fd, const sockaddr_storage& peer,
                                       const Listener& listener) {
    const std::string from = AddressText(peer);
    const auto refuse = [&](const std::string& why) {
        Log("connection from " + from + " closed at once: " + why);
        ::close(fd);
    };
    const RemoteOptions& remote = *options.remote;
    if (connections.size() >= options.maxConnections)
        return refuse("the service already holds its " + std::to_string(options.maxConnections) +
                      " connections");
    if (loggingIn >= remote.maxLoggingIn)
        return refuse(std::to_string(remote.maxLoggingIn) + " connections are logging in");
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // frames leave at once
    std::unique_ptr<KivoSecurity::TlsLink> link;
    if (Common::Error failure = KivoSecurity::MakeServerLink(remote.tls, fd, link);
        !failure.IsEmpty()) {
        Log("connection from " + from + " closed at once: " + Line(failure));
        return;  // the link took the descriptor
    }
    Connection& connection = connections[++lastConnection];
    connection.id = lastConnection;
    connection.socket = std::make_unique<KivoWire::FramedSocket>(std::move(link));
    connection.heard = Clock::now();
    connection.login = Login::Credentials;
    connection.address = AddressText(peer, false);
    ++loggingIn;
    Log("connection " + std::to_string(connection.id) + " opened from " + from + " on " +
        listener.address);
    Schedule(connection, connection.heard + remote.loginBound);
    UpdateEvents(connection);
}

bool SocketServer::State::TakeCredentials(Connection& connection, KivoWire::Frame& frame) {
    if (frame.header.kind != FrameKind::Credentials) {
        Close(connection, "the peer broke the login: a frame of kind " +
                              std::to_string(static_cast<int>(frame.header.kind)) +
                              " before its credentials");
        return false;
    }
    std::string user, password;
    const Common::Error bad = KivoWire::ReadCredentials(frame.payload, user, password);
    Wipe(frame.payload);
    if (!bad.IsEmpty()) {
        Close(connection, Line(bad));
        return false;
    }
    connection.login = Login::Checking;
    connection.user = Printable(user);
    checks.erase({connection.check, connection.id});  // the check answers in its own time
    authenticator->Check(connection.id, std::move(user), std::move(password));
    UpdateEvents(connection);
    return true;
}

void SocketServer::State::TakeVerdict(Answer& verdict) {
    authenticator->Finished();
    const auto found = connections.find(verdict.connection);
    if (found == connections.end() || found->second.login != Login::Checking)
        return;  // it has gone
    Connection& connection = found->second;
    const std::string name = "connection " + std::to_string(connection.id);
    if (!verdict.failure.IsEmpty()) {
        Close(connection, Line(verdict.failure));
        return;
    }
    const Clock::time_point now = Clock::now();
    if (verdict.kind == AnswerKind::LoginRefused) {
        connection.login = Login::Refusing;
        connection.held.clear();
        const std::chrono::milliseconds delay = failureDelays->Fail(connection.address, now);
        Log(name + " login refused for " + connection.user + " from " + connection.address +
            ", answered in " + Milliseconds(delay));
        Schedule(connection, now + delay);
        return;
    }
    connection.login = Login::Accepted;
    connection.allowed = true;
    --loggingIn;
    Log(name + " logged in as " + connection.user);
    connection.socket->Queue(KivoWire::EncodeFrame(FrameKind::Accepted, 0, 0, 0, {}));
    connection.heard = now;
    Schedule(connection, now + options.pingAfter);
    for (KivoWire::Frame& frame : std::exchange(connection.held, {})) {
        if (!Handle(connection, frame))
            return;  // closed
    }
    Flush(connection);
}

void SocketServer::State::ExpireLogin(Connection& connection) {
    if (connection.login != Login::Refusing) {
        Close(connection, "no login within " + Milliseconds(options.remote->loginBound));
    } else if (!connection.closeWhenFlushed) {
        // The failure delay has passed; the refusal gets the login bound to be written.
        connection.closeWhenFlushed = true;
        connection.socket->Queue(loginRefusal);
        Schedule(connection, Clock::now() + options.remote->loginBound);
        Flush(connection);
    } else {
        Close(connection,
              "the refusal was not taken within " + Milliseconds(options.remote->loginBound));
    }
}

}  // namespace KivoServer
