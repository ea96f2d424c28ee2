#include "core/async_service_api/async_service.h"

#include <mutex>
#include <utility>

namespace AsyncService {
namespace {

// Never destroyed: no static destructor may release the last reference to a service, whose
// destruction would join its threads while the process exits.
struct Registry {
    std::mutex lock;
    std::shared_ptr<Service> service;
};

Registry& TheRegistry() noexcept {
    static Registry* const registry = new Registry;
    return *registry;
}

}  // namespace

std::shared_ptr<Service> GetAsyncService() noexcept {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    return registry.service;
}

std::shared_ptr<Service> RegisterAsyncService(std::shared_ptr<Service> service) noexcept {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    return std::exchange(registry.service, std::move(service));
}

ScopedBlockingWait::ScopedBlockingWait() noexcept : service_(GetAsyncService()) {
    if (service_ != nullptr) {
        service_->BeginBlockingWait();
    }
}

ScopedBlockingWait::~ScopedBlockingWait() {
    if (service_ != nullptr) {
        service_->EndBlockingWait();
    }
}

}  // namespace AsyncService
