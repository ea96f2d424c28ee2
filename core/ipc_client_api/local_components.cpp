#include "core/ipc_client_api/local_components.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/ipc_client_api/ipc_client.h"

namespace Binding {
namespace {

using Key = std::pair<uint32_t, uint32_t>;  // service, component

// Never destroyed: components may still be looked up by library threads while the process exits.
struct Registry {
    std::mutex lock;
    std::map<Key, std::shared_ptr<ServerComponent>> components;
};

Registry& TheRegistry() noexcept {
    static Registry* const registry = new Registry;
    return *registry;
}

uint32_t ComponentIdOf(const std::shared_ptr<ServerComponent>& component) {
    return component == nullptr ? 0 : component->GetComponentID();
}

}  // namespace

Common::Error RegisterLocalComponent(uint32_t serviceId,
                                     std::shared_ptr<ServerComponent> component) {
    COMMON_ASSERT(component != nullptr);
    if (component == nullptr) {
        return Common::Error();
    }
    const uint32_t componentId = component->GetComponentID();
    Registry& registry = TheRegistry();
    {
        std::lock_guard<std::mutex> hold(registry.lock);
        if (registry.components.try_emplace(Key(serviceId, componentId), std::move(component))
                .second) {
            return Common::Error();
        }
    }
    const std::u16string componentText = Common::ToUtf16(std::to_string(componentId));
    const std::u16string serviceText = Common::ToUtf16(std::to_string(serviceId));
    return Common::Error(COMMON_PLACE("Binding::RegisterLocalComponent"),
                         kIpcClientDuplicateComponent,
                         Common::FormatCatalogMessage(
                             Common::GetCatalogMessage(Common::kMsgIpcClientDuplicateComponent),
                             {componentText, serviceText}));
}

void UnregisterLocalComponent(uint32_t serviceId, uint32_t componentId) noexcept {
    std::shared_ptr<ServerComponent> removed;
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    const auto found = registry.components.find(Key(serviceId, componentId));
    if (found != registry.components.end()) {
        // Released after the lock: the component's destructor may call back into the registry.
        removed = std::move(found->second);
        registry.components.erase(found);
    }
}

std::shared_ptr<ServerComponent> FindLocalComponent(uint32_t serviceId, uint32_t componentId) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    const auto found = registry.components.find(Key(serviceId, componentId));
    return found == registry.components.end() ? nullptr : found->second;
}

std::vector<std::shared_ptr<ServerComponent>> FindLocalComponents(uint32_t serviceId) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    std::vector<std::shared_ptr<ServerComponent>> found;
    for (auto entry = registry.components.lower_bound(Key(serviceId, 0));
         entry != registry.components.end() && entry->first.first == serviceId; ++entry) {
        found.push_back(entry->second);
    }
    return found;
}

bool HasLocalService(uint32_t serviceId) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    const auto first = registry.components.lower_bound(Key(serviceId, 0));
    return first != registry.components.end() && first->first.first == serviceId;
}

ScopedLocalComponent::ScopedLocalComponent(uint32_t serviceId,
                                           std::shared_ptr<ServerComponent> component)
    : serviceId_(serviceId), componentId_(ComponentIdOf(component)) {
    const Common::Error error = RegisterLocalComponent(serviceId, std::move(component));
    if (!error.IsEmpty()) {
        throw error;
    }
}

ScopedLocalComponent::~ScopedLocalComponent() {
    UnregisterLocalComponent(serviceId_, componentId_);
}

}  // namespace Binding
