#include "enterprise/common/async/waiting_handler.h"

#include "core/async_service_api/async_service.h"

namespace Async {

WaitingHandler::WaitingHandler(bool autoReset)
    : event_(autoReset ? Common::Event::ResetMode::Auto : Common::Event::ResetMode::Manual, false) {
}

void WaitingHandler::Completed(const Common::Error& error) {
    {
        std::lock_guard<std::mutex> hold(resultLock_);
        result_ = error;
    }
    event_.Set();
}

Common::Error WaitingHandler::Wait(SynchronizationContext context) {
    CurrentSynchronizationCallbackStorage()->Synchronize(context);
    {
        AsyncService::ScopedBlockingWait blocking;
        event_.Wait();
    }
    std::lock_guard<std::mutex> hold(resultLock_);
    return result_;
}

void Synchronizer::Completed(const Common::Error& error) {
    waiting_.Completed(error);
}

Common::Error Synchronizer::Wait(SynchronizationContext context) {
    return waiting_.Wait(context);
}

}  // namespace Async
