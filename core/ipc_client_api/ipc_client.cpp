#include "core/ipc_client_api/ipc_client.h"

#include <utility>

#include "core/common/catalog.h"
#include "core/common/registered_instance.h"

namespace IPCClient {
namespace {

Common::Error NotRegistered(const Common::SourceLocation& place) {
    return Common::Error(place, Binding::kIpcClientNotRegistered,
                         Common::GetCatalogMessage(Common::kMsgIpcClientNotRegistered));
}

}  // namespace

std::shared_ptr<Library> GetLibrary() noexcept {
    return Common::RegisteredInstance<Library>::Get();
}

std::shared_ptr<Library> RegisterLibrary(std::shared_ptr<Library> library) noexcept {
    return Common::RegisteredInstance<Library>::Exchange(std::move(library));
}

}  // namespace IPCClient

Common::Error IPCClient_Init() noexcept {
    const std::shared_ptr<IPCClient::Library> library = IPCClient::GetLibrary();
    if (library == nullptr) {
        return IPCClient::NotRegistered(COMMON_PLACE("IPCClient_Init"));
    }
    return library->Init();
}

Common::Error IPCClient_Deinit() noexcept {
    const std::shared_ptr<IPCClient::Library> library = IPCClient::GetLibrary();
    if (library == nullptr) {
        return IPCClient::NotRegistered(COMMON_PLACE("IPCClient_Deinit"));
    }
    return library->Deinit();
}

Common::Error IPCClient_CreateBinder(std::unique_ptr<Binding::Binder>& binder) noexcept {
    binder.reset();
    const std::shared_ptr<IPCClient::Library> library = IPCClient::GetLibrary();
    if (library == nullptr) {
        return IPCClient::NotRegistered(COMMON_PLACE("IPCClient_CreateBinder"));
    }
    return library->CreateBinder(binder);
}

Common::Error IPCClient_GetLocalBrowser(
    std::unique_ptr<Binding::ServiceBrowser>& browser) noexcept {
    browser.reset();
    const std::shared_ptr<IPCClient::Library> library = IPCClient::GetLibrary();
    if (library == nullptr) {
        return IPCClient::NotRegistered(COMMON_PLACE("IPCClient_GetLocalBrowser"));
    }
    return library->GetLocalBrowser(browser);
}
