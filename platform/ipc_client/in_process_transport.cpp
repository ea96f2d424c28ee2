#include "platform/ipc_client/in_process_transport.h"

#include <memory>
#include <utility>

#include "core/ipc_client_api/local_components.h"
#include "platform/ipc_client/library_errors.h"

namespace IPCClient {

void InProcessTransport::Exchange(uint32_t serviceId, uint32_t connectionId, uint32_t componentId,
                                  uint32_t methodId, const std::vector<uint8_t>& request,
                                  ReplyCallback done) {
    bool closed = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        closed = connections_[connectionId].closed;
    }
    const std::shared_ptr<Binding::ServerComponent> component =
        Binding::FindLocalComponent(serviceId, componentId);
    if (closed || component == nullptr) {
        done(closed ? ConnectionClosed(COMMON_PLACE("IPCClient::InProcessTransport::Send"))
                    : NoComponent(COMMON_PLACE("IPCClient::InProcessTransport::Send"), componentId),
             {});
        Leave(connectionId);
        return;
    }
    // A reply given later, on a thread of the component, reaches the caller through the pool:
    // the callers' handlers run on threads of the library only.
    WorkerPool& pool = pool_;
    component->StartCall(
        connectionId, methodId, request,
        [&pool, done = std::move(done)](const Common::Error& failure, std::vector<uint8_t> reply) {
            if (pool.IsOwnThread()) {
                done(failure, std::move(reply));
                return;
            }
            auto shared = std::make_shared<std::vector<uint8_t>>(std::move(reply));
            const Common::Error queued =
                pool.Submit([done, failure, shared] { done(failure, std::move(*shared)); });
            if (!queued.IsEmpty()) {
                // The library has stopped; nobody waits for the reply any more.
                done(failure, std::move(*shared));
            }
        });
    Leave(connectionId);
}

void InProcessTransport::Leave(uint32_t connectionId) noexcept {
    uint32_t serviceId = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = connections_.find(connectionId);
        if (found == connections_.end() || --found->second.exchanges > 0 || !found->second.closed) {
            return;
        }
        serviceId = found->second.serviceId;
        connections_.erase(found);
    }
    TellClosed(serviceId, connectionId);
}

void InProcessTransport::TellClosed(uint32_t serviceId, uint32_t connectionId) noexcept {
    for (const auto& component : Binding::FindLocalComponents(serviceId)) {
        component->ConnectionClosed(connectionId);
    }
}

Common::Error InProcessTransport::Connect(uint32_t serviceId, uint32_t& connectionId) {
    if (!Binding::HasLocalService(serviceId)) {
        return NoService(COMMON_PLACE("IPCClient::InProcessTransport::Connect"), serviceId);
    }
    connectionId = NewConnectionId();
    std::lock_guard<std::mutex> hold(lock_);
    connections_[connectionId].serviceId = serviceId;
    return Common::Error();
}

Common::Error InProcessTransport::GetComponentVersion(uint32_t connectionId, uint32_t componentId,
                                                      uint32_t& version) {
    uint32_t serviceId = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = connections_.find(connectionId);
        if (found == connections_.end() || found->second.closed) {
            return ConnectionClosed(
                COMMON_PLACE("IPCClient::InProcessTransport::GetComponentVersion"));
        }
        serviceId = found->second.serviceId;
    }
    const std::shared_ptr<Binding::ServerComponent> component =
        Binding::FindLocalComponent(serviceId, componentId);
    if (component == nullptr) {
        return NoComponent(COMMON_PLACE("IPCClient::InProcessTransport::GetComponentVersion"),
                           componentId);
    }
    version = component->GetInterfaceVersion();
    return Common::Error();
}

Common::Error InProcessTransport::Send(uint32_t connectionId, uint32_t componentId,
                                       uint32_t methodId, std::vector<uint8_t> request,
                                       ReplyCallback done) {
    uint32_t serviceId = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = connections_.find(connectionId);
        if (found == connections_.end() || found->second.closed) {
            return ConnectionClosed(COMMON_PLACE("IPCClient::InProcessTransport::Send"));
        }
        serviceId = found->second.serviceId;
        found->second.called = true;
        ++found->second.exchanges;
    }
    const Common::Error queued =
        pool_.Submit([this, serviceId, connectionId, componentId, methodId,
                      request = std::move(request), done = std::move(done)]() mutable {
            Exchange(serviceId, connectionId, componentId, methodId, request, std::move(done));
        });
    if (!queued.IsEmpty()) {
        Leave(connectionId);
    }
    return queued;
}

void InProcessTransport::CloseConnection(uint32_t connectionId) noexcept {
    uint32_t serviceId = 0;
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = connections_.find(connectionId);
        if (found == connections_.end()) {
            return;
        }
        found->second.closed = true;
        if (found->second.exchanges > 0) {
            return;  // the last exchange to leave tells the components
        }
        const bool called = found->second.called;
        serviceId = found->second.serviceId;
        connections_.erase(found);
        if (!called) {
            return;  // the components never heard of it
        }
    }
    TellClosed(serviceId, connectionId);
}

}  // namespace IPCClient
