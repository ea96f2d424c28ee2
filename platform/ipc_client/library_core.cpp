#include "platform/ipc_client/library_core.h"

#include <utility>
#include <vector>

#include "platform/ipc_client/call_job.h"
#include "platform/ipc_client/in_process_transport.h"
#include "platform/ipc_client/library_errors.h"

namespace IPCClient {

LibraryCore::LibraryCore()
    : pool_(kMaxThreads),
      inProcess_(std::make_unique<InProcessTransport>(pool_)),
      sockets_(
          std::make_unique<SocketTransport>(pool_, SocketTransport::IntervalsFromEnvironment())),
      transport_(*inProcess_, *sockets_) {}

LibraryCore::~LibraryCore() {
    Shutdown();
}

Common::Error LibraryCore::Track(const std::shared_ptr<CallState>& call) {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopped_) {
        return NotInitialized(COMMON_PLACE("IPCClient::LibraryCore::Track"));
    }
    calls_.emplace(call.get(), call);
    return Common::Error();
}

void LibraryCore::Untrack(const CallState* call) noexcept {
    std::lock_guard<std::mutex> hold(lock_);
    calls_.erase(call);
}

bool LibraryCore::IsShutDown() {
    std::lock_guard<std::mutex> hold(lock_);
    return stopped_;
}

void LibraryCore::Shutdown() noexcept {
    std::vector<std::shared_ptr<CallState>> inFlight;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopped_ = true;
        for (const auto& [key, call] : calls_) {
            if (std::shared_ptr<CallState> live = call.lock()) {
                inFlight.push_back(std::move(live));
            }
        }
        calls_.clear();
    }
    // Outside the lock: canceling queues handlers, which may try to start calls of their own.
    for (const std::shared_ptr<CallState>& call : inFlight) {
        call->Cancel();
    }
    inFlight.clear();
    // The transport's threads go before the pool's: what the transport still ends is handed to
    // the pool, which runs it before it stops.
    transport_.Shutdown();
    pool_.Stop();
}

}  // namespace IPCClient
