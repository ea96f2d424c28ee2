#include "core/async_service_api/async_service.h"

#include <utility>

#include "core/common/registered_instance.h"

namespace AsyncService {

std::shared_ptr<Service> GetAsyncService() noexcept {
    return Common::RegisteredInstance<Service>::Get();
}

std::shared_ptr<Service> RegisterAsyncService(std::shared_ptr<Service> service) noexcept {
    return Common::RegisteredInstance<Service>::Exchange(std::move(service));
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
