#include "platform/ipc_client/library_errors.h"

#include <string_view>

#include "core/common/catalog.h"
#include "core/ipc_client_api/ipc_client.h"

namespace IPCClient {

Common::Error NotInitialized(const Common::SourceLocation& place) {
    return Common::Error(place, Binding::kIpcClientNotInitialized,
                         Common::GetCatalogMessage(Common::kMsgIpcClientNotInitialized));
}

Common::Error Canceled(const Common::SourceLocation& place) {
    return Common::Error(place, kCanceled, Common::GetCatalogMessage(Common::kMsgAsyncCanceled));
}

Common::Error UnexpectedException(const Common::SourceLocation& place,
                                  const std::exception& exception) {
    return Common::Error(place, Binding::kIpcClientUnexpectedException,
                         std::string_view(exception.what()));
}

}  // namespace IPCClient
