// IPCClient::Transport: how the library opens connections to services and carries request
// packets over them to a service's components, and their reply packets back. The call jobs
// (call_job.h) sit above it and keep the handler contract; a transport only moves packets.
//
// Transports: the in-process one (in_process_transport.h) serves the components registered in
// this process; the socket one (socket_transport.h) reaches service programs over Unix sockets;
// the composite one (composite_transport.h) picks between them per service.
//
// Each access point is one connection (AccessPoint::GetConnectionID): Connect opens it and
// numbers it, its calls name it, and its end closes it, so that a service releases what it kept
// for that connection. A connection number is never given twice in a process (NewConnectionId),
// so transports can share one numbering.
//
// Thread-safety: every operation may be called from any thread; Shutdown once, not from a thread
// of the library.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/ipc_client_api/server_component.h"

namespace IPCClient {

/// Hears the end of one exchange: a non-empty `failure` when no reply came (the component is
/// missing, or could not answer, or the connection ended), otherwise the reply packet.
using ReplyCallback = Binding::ReplyCallback;

/// See the file comment.
class Transport : private Common::NonCopyable {
  public:
    virtual ~Transport() = default;

    /// Opens a connection to the service `serviceId`. Empty error: `connectionId` names it until
    /// CloseConnection; otherwise nothing is left open.
    [[nodiscard]] virtual Common::Error Connect(uint32_t serviceId, uint32_t& connectionId) = 0;

    /// The interface version of component `componentId` of the connection's service.
    [[nodiscard]] virtual Common::Error GetComponentVersion(uint32_t connectionId,
                                                            uint32_t componentId,
                                                            uint32_t& version) = 0;

    /// Sends `request` over connection `connectionId` to method `methodId` of the component.
    /// Empty error: `done` will be called exactly once, on a thread of the library and never
    /// inside Send. Otherwise `done` is never called.
    [[nodiscard]] virtual Common::Error Send(uint32_t connectionId, uint32_t componentId,
                                             uint32_t methodId, std::vector<uint8_t> request,
                                             ReplyCallback done) = 0;

    /// The connection has ended (its access point is gone). Exchanges still in flight over it
    /// end all the same; an unknown number is ignored.
    virtual void CloseConnection(uint32_t connectionId) noexcept = 0;

    /// The library shuts down (before its pool stops): every connection ends and the exchanges
    /// in flight end with an error; later operations fail with kIpcClientNotInitialized.
    virtual void Shutdown() noexcept = 0;
};

/// A connection number that no connection of this process has had before; never 0.
[[nodiscard]] uint32_t NewConnectionId() noexcept;

}  // namespace IPCClient
