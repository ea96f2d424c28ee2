#include "platform/ipc_client/in_process_transport.h"

#include <memory>
#include <string>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "core/ipc_client_api/local_components.h"

namespace IPCClient {
namespace {

Common::Error NoComponent(const Common::SourceLocation& place, uint32_t componentId) {
    const std::u16string component = Common::ToUtf16(std::to_string(componentId));
    return Common::Error(
        place, Binding::kIpcClientNoComponent,
        Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgIpcClientNoComponent),
                                     {component}));
}

Common::Error ConnectionClosedError(const Common::SourceLocation& place) {
    return Common::Error(place, Binding::kIpcClientConnectionClosed,
                         Common::GetCatalogMessage(Common::kMsgIpcClientConnectionClosed));
}

}  // namespace

void InProcessTransport::Exchange(uint32_t serviceId, uint32_t connectionId, uint32_t componentId,
                                  uint32_t methodId, const std::vector<uint8_t>& request,
                                  ReplyCallback done) {
    const ConnectionKey key(serviceId, connectionId);
    bool closed = false;
    {
        std::lock_guard<std::mutex> hold(lock_);
        closed = connections_[key].closed;
    }
    const std::shared_ptr<Binding::ServerComponent> component =
        Binding::FindLocalComponent(serviceId, componentId);
    if (closed || component == nullptr) {
        done(closed ? ConnectionClosedError(COMMON_PLACE("IPCClient::InProcessTransport::Send"))
                    : NoComponent(COMMON_PLACE("IPCClient::InProcessTransport::Send"), componentId),
             {});
        Leave(key);
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
    Leave(key);
}

void InProcessTransport::Leave(const ConnectionKey& key) noexcept {
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = connections_.find(key);
        if (found == connections_.end() || --found->second.exchanges > 0 || !found->second.closed) {
            return;
        }
        connections_.erase(found);
    }
    for (const auto& component : Binding::FindLocalComponents(key.first)) {
        component->ConnectionClosed(key.second);
    }
}

Common::Error InProcessTransport::OpenService(uint32_t serviceId) {
    if (Binding::HasLocalService(serviceId)) {
        return Common::Error();
    }
    const std::u16string service = Common::ToUtf16(std::to_string(serviceId));
    return Common::Error(COMMON_PLACE("IPCClient::InProcessTransport::OpenService"),
                         Binding::kIpcClientNoService,
                         Common::FormatCatalogMessage(
                             Common::GetCatalogMessage(Common::kMsgIpcClientNoService), {service}));
}

Common::Error InProcessTransport::GetComponentVersion(uint32_t serviceId, uint32_t componentId,
                                                      uint32_t& version) {
    const std::shared_ptr<Binding::ServerComponent> component =
        Binding::FindLocalComponent(serviceId, componentId);
    if (component == nullptr) {
        return NoComponent(COMMON_PLACE("IPCClient::InProcessTransport::GetComponentVersion"),
                           componentId);
    }
    version = component->GetInterfaceVersion();
    return Common::Error();
}

Common::Error InProcessTransport::Send(uint32_t serviceId, uint32_t connectionId,
                                       uint32_t componentId, uint32_t methodId,
                                       std::vector<uint8_t> request, ReplyCallback done) {
    const ConnectionKey key(serviceId, connectionId);
    {
        std::lock_guard<std::mutex> hold(lock_);
        Connection& connection = connections_[key];
        if (connection.closed) {
            return ConnectionClosedError(COMMON_PLACE("IPCClient::InProcessTransport::Send"));
        }
        ++connection.exchanges;
    }
    const Common::Error queued =
        pool_.Submit([this, serviceId, connectionId, componentId, methodId,
                      request = std::move(request), done = std::move(done)]() mutable {
            Exchange(serviceId, connectionId, componentId, methodId, request, std::move(done));
        });
    if (!queued.IsEmpty()) {
        Leave(key);
    }
    return queued;
}

void InProcessTransport::CloseConnection(uint32_t serviceId, uint32_t connectionId) noexcept {
    {
        std::lock_guard<std::mutex> hold(lock_);
        const auto found = connections_.find(ConnectionKey(serviceId, connectionId));
        if (found == connections_.end()) {
            return;  // it made no calls
        }
        found->second.closed = true;
        if (found->second.exchanges > 0) {
            return;  // the last exchange to leave tells the components
        }
        connections_.erase(found);
    }
    for (const auto& component : Binding::FindLocalComponents(serviceId)) {
        component->ConnectionClosed(connectionId);
    }
}

}  // namespace IPCClient
