// Binding::ServerComponent: the service side of one component, as a transport reaches it.
//
// A transport (the in-process one, or a server program behind a socket) routes each call to the
// component registered under the request's component id and hands it the connection the call
// came over, the method id and the request packet exactly as Request::Pack made it; the reply
// packet that the component gives back goes unchanged to Request::DeserializeReply on the
// caller's side. Components build on the server helpers of enterprise/common/ipc
// (server_call.h), which share the parameter and record code with the client, so that both sides
// agree on every packet.
//
// A call may be answered at once, inside StartCall, or later from any thread (a parked long
// poll): the component calls the reply exactly once either way. A component reports a failed
// method inside its reply packet (the reply's "result"); it fails the reply itself (a non-empty
// error, no packet) only when it cannot answer at all, for a method number it does not know.
//
// Connections: a transport numbers the connections it carries (a number is never reused while
// the transport runs) and calls ConnectionClosed once for each connection that has made calls,
// when it ends; the component then releases what it kept for that connection and answers the
// calls it holds for it (their replies go nowhere).
//
// SynchronousServerComponent is the base of components that answer every call at once and keep
// nothing per connection.
//
// Thread-safety: StartCall and ConnectionClosed may be called from several threads at once; a
// component serialises what it must itself. Transports call them on worker threads, never on a
// thread that carries other connections' packets, so a component may do blocking work inside.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace Binding {

/// Hears the end of one call: a non-empty `failure` when there is no reply packet, otherwise the
/// reply packet.
using ReplyCallback = std::function<void(const Common::Error& failure, std::vector<uint8_t> reply)>;

/// See the file comment.
class ServerComponent : private Common::NonCopyable {
  public:
    virtual ~ServerComponent() = default;

    /// The component's identifier within its service (271 for the view manager).
    virtual uint32_t GetComponentID() const = 0;
    /// The interface version it offers, as AccessPoint::GetComponentVersion reports it.
    virtual uint32_t GetInterfaceVersion() const = 0;

    /// Answers one call of method `methodId` over connection `connection` through `reply`,
    /// exactly once, now or later. `request` is valid during the call only. Never throws.
    virtual void StartCall(uint64_t connection, uint32_t methodId, std::span<const uint8_t> request,
                           ReplyCallback reply) noexcept = 0;

    /// The connection `connection` has ended; see the file comment.
    virtual void ConnectionClosed(uint64_t connection) noexcept = 0;
};

/// A component that answers every call at once; see the file comment.
class SynchronousServerComponent : public ServerComponent {
  public:
    /// The reply packet for `request`. Throws Common::Error only when there is no reply (an
    /// unknown method).
    virtual std::vector<uint8_t> HandleCall(uint32_t methodId,
                                            std::span<const uint8_t> request) = 0;

    /// Replies with HandleCall's packet, or fails the reply with its error.
    void StartCall(uint64_t connection, uint32_t methodId, std::span<const uint8_t> request,
                   ReplyCallback reply) noexcept override;
    void ConnectionClosed(uint64_t /*connection*/) noexcept override {}
};

}  // namespace Binding
