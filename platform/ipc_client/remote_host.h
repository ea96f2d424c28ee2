// IPCClient::OpenHostConnection: the opening of a logged-in connection to a service host over
// TCP and TLS 1.3, on the caller's thread, within one deadline (the login interval,
// socket_transport.h); the browsers of remote hosts (connections.h) greet a service over it and
// hand it to the socket transport.
//
//   1. resolve the host's name (getaddrinfo, any family) and connect to each address in turn,
//      without blocking past the deadline (the resolver itself is not bounded by it);
//   2. run the TLS handshake (platform/security/tls.h): the server's chain must lead to a
//      trusted CA and its certificate must name the host as written;
//   3. only then send the Credentials frame, straight through the verified link (the link takes
//      no application bytes before its handshake has completed either);
//   4. await Accepted, answering Pings.
//
// Errors, each naming the host as "name:port", with the cause as reason:
//   kIpcClientHostUnreachable     the resolver's failure (its text), or the system error of the
//                                 last address tried (refused, unreachable, timed out)
//   kIpcClientNoSecureConnection  the security library's error (CA file, certificate not trusted,
//                                 host name mismatch, handshake failed), or what ended the
//                                 connection or the wait before the handshake completed
//   kIpcClientAuthenticationFailed the host's Refusal of the credentials (its error as reason);
//                                 also a user name or password that no Credentials frame can
//                                 carry (empty or too long), refused before connecting
//   kIpcClientProtocolError       after the handshake: a frame other than Accepted or Refusal,
//                                 a broken frame, the end of the stream, or silence past the
//                                 deadline
//
// Secrets: the user name and password live in a Login, converted to UTF-8 once, and every copy
// that this library makes of them (the login, the Credentials payload and frame) is wiped with
// OPENSSL_cleanse when it goes. The caller's ConnectionParameters are the caller's own.
//
// Thread-safety: a pure function of its arguments and the environment; a Login is read-only once
// made and may be shared.
#pragma once

#include <string>
#include <vector>

#include "core/common/noncopyable.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/host_address.h"
#include "platform/ipc_client/socket_handshake.h"

namespace IPCClient {

/// Bytes wiped with OPENSSL_cleanse when they go. Neither copied nor moved, so that no copy
/// escapes the wipe.
template <typename Bytes>
class Wiped : private Common::NonCopyable {
  public:
    Wiped() = default;
    ~Wiped();

    Bytes value;
};

/// Where and as whom a browser logs in.
struct Login : private Common::NonCopyable {
    HostAddress host;
    Wiped<std::string> user;      // UTF-8
    Wiped<std::string> password;  // UTF-8
};

/// Fills `login` from `parameters`: kIpcClientBadHost (host.h's syntax), or
/// kIpcClientAuthenticationFailed for credentials that no Credentials frame can carry.
[[nodiscard]] Common::Error ReadLogin(const Binding::ConnectionParameters& parameters,
                                      Login& login);

/// See the file comment. Empty error: `opened.socket` is logged in (not yet greeted) and
/// `opened.early` holds what came behind the Accepted frame.
[[nodiscard]] Common::Error OpenHostConnection(const Login& login, const Deadline& deadline,
                                               OpenedSocket& opened);

}  // namespace IPCClient
