// The per-thread slot behind Service::TopSynchronizationCallback.
//
// Thread-safety: each thread sees only its own slot.
#pragma once

namespace Async {
class SynchronizationCallback;
}  // namespace Async

namespace AsyncService::Detail {

/// The top of the calling thread's stack of synchronisation callbacks.
inline thread_local Async::SynchronizationCallback* topSynchronizationCallback = nullptr;

}  // namespace AsyncService::Detail
