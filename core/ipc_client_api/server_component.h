// Binding::ServerComponent: the service side of one component, as a transport reaches it.
//
// A transport (the in-process one, or a server program behind a socket) routes each call to the
// component registered under the request's component id and hands it the method id and the
// request packet exactly as Request::Pack made it; the reply packet that the component returns
// goes back unchanged to Request::DeserializeReply on the caller's side. Components build on the
// server helpers of enterprise/common/ipc (server_call.h), which share the parameter and record
// code with the client, so that both sides agree on every packet.
//
// A component reports a failed method inside its reply (the reply's "result"). HandleCall throws
// Common::Error only when it cannot answer at all, for a method number it does not know: the
// transport then fails the call with that error.
//
// Thread-safety: HandleCall may be called from several threads at once; a component serialises
// what it must itself.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/common/noncopyable.h"

namespace Binding {

/// See the file comment.
class ServerComponent : private Common::NonCopyable {
  public:
    virtual ~ServerComponent() = default;

    /// The component's identifier within its service (271 for the view manager).
    virtual uint32_t GetComponentID() const = 0;
    /// The interface version it offers, as AccessPoint::GetComponentVersion reports it.
    virtual uint32_t GetInterfaceVersion() const = 0;

    /// Answers one call of method `methodId` with the reply packet for `request`.
    virtual std::vector<uint8_t> HandleCall(uint32_t methodId,
                                            std::span<const uint8_t> request) = 0;
};

}  // namespace Binding
