#include "core/ipc_client_api/ipc_client.h"

#include <mutex>
#include <utility>

#include "core/common/catalog.h"

namespace IPCClient {
namespace {

// Never destroyed, like the async service's registry: no static destructor may release the last
// reference to a library that still owns threads.
struct Registry {
    std::mutex lock;
    std::shared_ptr<Library> library;
};

Registry& TheRegistry() noexcept {
    static Registry* const registry = new Registry;
    return *registry;
}

Common::Error NotRegistered(const Common::SourceLocation& place) {
    return Common::Error(place, Binding::kIpcClientNotRegistered,
                         Common::GetCatalogMessage(Common::kMsgIpcClientNotRegistered));
}

}  // namespace

std::shared_ptr<Library> GetLibrary() noexcept {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    return registry.library;
}

std::shared_ptr<Library> RegisterLibrary(std::shared_ptr<Library> library) noexcept {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    return std::exchange(registry.library, std::move(library));
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
