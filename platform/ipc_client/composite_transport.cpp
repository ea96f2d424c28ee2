#include "platform/ipc_client/composite_transport.h"

#include <utility>

#include "core/ipc_client_api/local_components.h"

namespace IPCClient {

Common::Error CompositeTransport::Connect(uint32_t serviceId, uint32_t& connectionId) {
    if (!Binding::HasLocalService(serviceId)) {
        return sockets_.Connect(serviceId, connectionId);
    }
    const Common::Error error = inProcess_.Connect(serviceId, connectionId);
    if (error.IsEmpty()) {
        std::lock_guard<std::mutex> hold(lock_);
        inProcessConnections_.insert(connectionId);
    }
    return error;
}

Transport& CompositeTransport::Owner(uint32_t connectionId) {
    std::lock_guard<std::mutex> hold(lock_);
    return inProcessConnections_.count(connectionId) != 0 ? inProcess_ : sockets_;
}

Common::Error CompositeTransport::GetComponentVersion(uint32_t connectionId, uint32_t componentId,
                                                      uint32_t& version) {
    return Owner(connectionId).GetComponentVersion(connectionId, componentId, version);
}

Common::Error CompositeTransport::Send(uint32_t connectionId, uint32_t componentId,
                                       uint32_t methodId, std::vector<uint8_t> request,
                                       ReplyCallback done) {
    return Owner(connectionId)
        .Send(connectionId, componentId, methodId, std::move(request), std::move(done));
}

void CompositeTransport::CloseConnection(uint32_t connectionId) noexcept {
    Transport* owner = &sockets_;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (inProcessConnections_.erase(connectionId) != 0) {
            owner = &inProcess_;
        }
    }
    owner->CloseConnection(connectionId);
}

void CompositeTransport::Shutdown() noexcept {
    sockets_.Shutdown();
    inProcess_.Shutdown();
}

}  // namespace IPCClient
