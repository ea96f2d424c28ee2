#include "core/ipc_client_api/server_component.h"

#include <exception>
#include <string_view>
#include <utility>

#include "core/ipc_client_api/ipc_client.h"

namespace Binding {

void SynchronousServerComponent::StartCall(uint64_t /*connection*/, uint32_t methodId,
                                           std::span<const uint8_t> request,
                                           ReplyCallback reply) noexcept {
    std::vector<uint8_t> packet;
    Common::Error failure;
    try {
        packet = HandleCall(methodId, request);
    } catch (const Common::Error& error) {
        failure = error;
    } catch (const std::exception& exception) {
        failure = Common::Error(COMMON_PLACE("Binding::SynchronousServerComponent::StartCall"),
                                kIpcClientUnexpectedException, std::string_view(exception.what()));
    }
    reply(failure, std::move(packet));
}

}  // namespace Binding
