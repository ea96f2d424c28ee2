#include "platform/ipc_client/in_process_transport.h"

#include <exception>
#include <memory>
#include <string>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"
#include "core/ipc_client_api/local_components.h"
#include "platform/ipc_client/library_errors.h"

namespace IPCClient {
namespace {

Common::Error NoComponent(const Common::SourceLocation& place, uint32_t componentId) {
    const std::u16string component = Common::ToUtf16(std::to_string(componentId));
    return Common::Error(
        place, Binding::kIpcClientNoComponent,
        Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgIpcClientNoComponent),
                                     {component}));
}

// One exchange, on a pool thread.
void Exchange(uint32_t serviceId, uint32_t componentId, uint32_t methodId,
              const std::vector<uint8_t>& request, const ReplyCallback& done) {
    std::vector<uint8_t> reply;
    Common::Error failure;
    const std::shared_ptr<Binding::ServerComponent> component =
        Binding::FindLocalComponent(serviceId, componentId);
    if (component == nullptr) {
        failure = NoComponent(COMMON_PLACE("IPCClient::InProcessTransport::Send"), componentId);
    } else {
        try {
            reply = component->HandleCall(methodId, request);
        } catch (const Common::Error& error) {
            failure = error;
        } catch (const std::exception& exception) {
            failure =
                UnexpectedException(COMMON_PLACE("IPCClient::InProcessTransport::Send"), exception);
        }
    }
    done(failure, std::move(reply));
}

}  // namespace

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

Common::Error InProcessTransport::Send(uint32_t serviceId, uint32_t componentId, uint32_t methodId,
                                       std::vector<uint8_t> request, ReplyCallback done) {
    return pool_.Submit(
        [serviceId, componentId, methodId, request = std::move(request), done = std::move(done)] {
            Exchange(serviceId, componentId, methodId, request, done);
        });
}

}  // namespace IPCClient
