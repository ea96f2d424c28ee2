// IPCClient::Transport: how the library carries one request packet to a service's component and
// its reply packet back. The call jobs (call_job.h) sit above it and keep the handler contract;
// a transport only moves packets.
//
// The in-process transport (in_process_transport.h) serves the components registered in this
// process; a transport to service programs over sockets takes its place behind this interface.
//
// Each access point is one connection (AccessPoint::GetConnectionID): its calls name it, and its
// end closes it, so that a service releases what it kept for that connection.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/ipc_client_api/server_component.h"

namespace IPCClient {

/// Hears the end of one exchange: a non-empty `failure` when no reply came (the component is
/// missing, or could not answer), otherwise the reply packet.
using ReplyCallback = Binding::ReplyCallback;

/// See the file comment.
class Transport : private Common::NonCopyable {
  public:
    virtual ~Transport() = default;

    /// Empty when the service `serviceId` can be reached.
    virtual Common::Error OpenService(uint32_t serviceId) = 0;

    /// The interface version of component `componentId` of the service.
    virtual Common::Error GetComponentVersion(uint32_t serviceId, uint32_t componentId,
                                              uint32_t& version) = 0;

    /// Sends `request` over connection `connectionId` to method `methodId` of the component.
    /// Empty error: `done` will be called exactly once, on a thread of the library and never
    /// inside Send. Otherwise `done` is never called.
    virtual Common::Error Send(uint32_t serviceId, uint32_t connectionId, uint32_t componentId,
                               uint32_t methodId, std::vector<uint8_t> request,
                               ReplyCallback done) = 0;

    /// The connection `connectionId` to the service has ended (its access point is gone).
    virtual void CloseConnection(uint32_t serviceId, uint32_t connectionId) noexcept = 0;
};

}  // namespace IPCClient
