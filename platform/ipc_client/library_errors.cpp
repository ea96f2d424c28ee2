#include "platform/ipc_client/library_errors.h"

#include <string>
#include <string_view>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"

namespace IPCClient {
namespace {

std::u16string Number(uint32_t value) {
    return Common::ToUtf16(std::to_string(value));
}

}  // namespace

Common::Error NotInitialized(const Common::SourceLocation& place) {
    return Common::Error(place, Binding::kIpcClientNotInitialized,
                         Common::GetCatalogMessage(Common::kMsgIpcClientNotInitialized));
}

Common::Error Canceled(const Common::SourceLocation& place) {
    return Common::Error(place, Common::kCanceled,
                         Common::GetCatalogMessage(Common::kMsgAsyncCanceled));
}

Common::Error UnexpectedException(const Common::SourceLocation& place,
                                  const std::exception& exception) {
    return Common::Error(place, Binding::kIpcClientUnexpectedException,
                         std::string_view(exception.what()));
}

Common::Error NoService(const Common::SourceLocation& place, uint32_t serviceId) {
    return Common::Error(
        place, Binding::kIpcClientNoService,
        Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgIpcClientNoService),
                                     {Number(serviceId)}));
}

Common::Error NoComponent(const Common::SourceLocation& place, uint32_t componentId) {
    return Common::Error(
        place, Binding::kIpcClientNoComponent,
        Common::FormatCatalogMessage(Common::GetCatalogMessage(Common::kMsgIpcClientNoComponent),
                                     {Number(componentId)}));
}

Common::Error ConnectionClosed(const Common::SourceLocation& place) {
    return Common::Error(place, Binding::kIpcClientConnectionClosed,
                         Common::GetCatalogMessage(Common::kMsgIpcClientConnectionClosed));
}

Common::Error ConnectionLost(const Common::SourceLocation& place, const Common::Error& reason) {
    Common::Error lost(place, Binding::kIpcClientConnectionLost,
                       Common::GetCatalogMessage(Common::kMsgIpcClientConnectionLost));
    if (!reason.IsEmpty()) {
        lost.Add(reason);
    }
    return lost;
}

}  // namespace IPCClient
