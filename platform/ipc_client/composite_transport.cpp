#include "platform/ipc_client/composite_transport.h"

#include <utility>

#include "core/ipc_client_api/local_components.h"
#include "platform/ipc_client/library_errors.h"

namespace IPCClient {

Common::Error CompositeTransport::Connect(uint32_t serviceId, uint32_t& connectionId) {
    Transport& chosen = Binding::HasLocalService(serviceId) ? *inProcess_ : *sockets_;
    const Common::Error error = chosen.Connect(serviceId, connectionId);
    if (error.IsEmpty()) {
        std::lock_guard<std::mutex> hold(lock_);
        owners_[connectionId] = &chosen;
    }
    return error;
}

Transport* CompositeTransport::Owner(uint32_t connectionId) {
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = owners_.find(connectionId);
    return found == owners_.end() ? nullptr : found->second;
}

Common::Error CompositeTransport::GetComponentVersion(uint32_t connectionId, uint32_t componentId,
                                                      uint32_t& version) {
    Transport* const owner = Owner(connectionId);
    if (owner == nullptr) {
        return ConnectionClosed(COMMON_PLACE("IPCClient::CompositeTransport::GetComponentVersion"));
    }
    return owner->GetComponentVersion(connectionId, componentId, version);
}

Common::Error CompositeTransport::Send(uint32_t connectionId, uint32_t componentId,
                                       uint32_t methodId, std::vector<uint8_t> request,
                                       ReplyCallback done) {
    Transport* const owner = Owner(connectionId);
    if (owner == nullptr) {
        return ConnectionClosed(COMMON_PLACE("IPCClient::CompositeTransport::Send"));
    }
    return owner->Send(connectionId, componentId, methodId, std::move(request), std::move(done));
}

void CompositeTransport::CloseConnection(uint32_t connectionId) noexcept {
    Transport* owner = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = owners_.find(connectionId);
        if (found == owners_.end()) {
            return;
        }
        owner = found->second;
        owners_.erase(found);
    }
    owner->CloseConnection(connectionId);
}

void CompositeTransport::Shutdown() noexcept {
    sockets_->Shutdown();
    inProcess_->Shutdown();
}

}  // namespace IPCClient
