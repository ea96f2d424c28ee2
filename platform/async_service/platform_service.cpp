#include "platform/async_service/platform_service.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "platform/async_service/callback_slot.h"

namespace AsyncService {
namespace {

uint32_t BaseWorkers(const ServiceOptions& options) {
    if (options.workers != 0) {
        return options.workers;
    }
    return std::max(2u, std::thread::hardware_concurrency());
}

}  // namespace

PlatformService::PlatformService(const ServiceOptions& options)
    : pool_(BaseWorkers(options), options.maxCompensatingWorkers), metronome_(pool_) {}

PlatformService::~PlatformService() {
    Shutdown();
}

void PlatformService::Submit(std::unique_ptr<Task> task) noexcept {
    pool_.Submit(std::move(task));
}

std::shared_ptr<TimerHandle> PlatformService::Schedule(std::chrono::milliseconds delay,
                                                       std::unique_ptr<Task> task) noexcept {
    return metronome_.Schedule(delay, std::move(task));
}

void PlatformService::BeginBlockingWait() noexcept {
    pool_.BeginBlockingWait();
}

void PlatformService::EndBlockingWait() noexcept {
    pool_.EndBlockingWait();
}

Async::SynchronizationCallback* PlatformService::TopSynchronizationCallback() noexcept {
    return Detail::topSynchronizationCallback;
}

void PlatformService::SetTopSynchronizationCallback(Async::SynchronizationCallback* top) noexcept {
    Detail::topSynchronizationCallback = top;
}

// Timers first: a beat that comes due is handed to the pool, which must still take it.
void PlatformService::Shutdown() noexcept {
    metronome_.Stop();
    pool_.Stop();
}

ScopedAsyncService::ScopedAsyncService(const ServiceOptions& options)
    : service_(std::make_shared<PlatformService>(options)),
      previous_(RegisterAsyncService(service_)) {}

ScopedAsyncService::~ScopedAsyncService() {
    RegisterAsyncService(std::move(previous_));
    service_->Shutdown();
}

}  // namespace AsyncService
