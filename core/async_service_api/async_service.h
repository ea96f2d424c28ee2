// The async service: the threads, the timer and the per-thread callback slot that the job
// framework runs on.
//
// The job framework (enterprise/common/async) sits above the platform layer that implements the
// service, so it reaches the service only through this interface. A program makes its service and
// registers it at start, before any job runs, and unregisters it before the service shuts down
// (platform/async_service does both for our programs). With no service registered the framework
// runs submitted work at once on the calling thread and has no metronome.
//
// Blocking on a service thread. A completion handler that runs on a service thread may make a
// synchronous call and wait for work that itself needs a service thread. Such a thread announces
// its wait with ScopedBlockingWait so that the service can lend another thread meanwhile; without
// it, as many such waits as there are threads would stop every thread for good.
//
// Thread-safety: the registry functions and every operation of a Service may be called from any
// thread at any time.
#pragma once

#include <chrono>
#include <memory>

#include "core/common/noncopyable.h"

namespace Async {
class SynchronizationCallback;
}  // namespace Async

namespace AsyncService {

/// Work handed to the service. The service calls exactly one of Run and Abandon, once, and then
/// destroys the task.
class Task : private Common::NonCopyable {
  public:
    virtual ~Task() = default;
    /// Does the work, on a service thread.
    virtual void Run() noexcept = 0;
    /// Called instead of Run when the work will never run: its timer was canceled, or the service
    /// is shutting down. Runs on the thread that cancels, shuts down or submits.
    virtual void Abandon() noexcept = 0;
};

/// A task waiting for its time on the service's timer.
class TimerHandle : private Common::NonCopyable {
  public:
    virtual ~TimerHandle() = default;
    /// Abandons the task at once on this thread unless its time has already come. True when this
    /// call abandoned it.
    virtual bool Cancel() noexcept = 0;
};

/// See the file comment.
class Service : private Common::NonCopyable {
  public:
    virtual ~Service() = default;

    /// Queues `task` to run on a service thread. When it cannot be queued (the service is shutting
    /// down, or out of memory) the task is abandoned at once on the calling thread.
    virtual void Submit(std::unique_ptr<Task> task) noexcept = 0;

    /// Runs `task` on a service thread once `delay` has passed, unless it is canceled first. When
    /// it cannot wait (the service is shutting down, or out of memory) the task is abandoned at
    /// once on the calling thread and the handle is null.
    virtual std::shared_ptr<TimerHandle> Schedule(std::chrono::milliseconds delay,
                                                  std::unique_ptr<Task> task) noexcept = 0;

    /// The calling thread is about to block until other work has run. Calls nest per thread; only
    /// the outermost pair counts. Use ScopedBlockingWait rather than calling these directly.
    virtual void BeginBlockingWait() noexcept = 0;
    /// The calling thread no longer blocks.
    virtual void EndBlockingWait() noexcept = 0;

    /// The top of the calling thread's stack of synchronisation callbacks; null when it is empty.
    /// The job framework owns the stack; the service keeps the slot so that each of its threads
    /// starts every task with an empty stack.
    virtual Async::SynchronizationCallback* TopSynchronizationCallback() noexcept = 0;
    /// Replaces the top of the calling thread's stack.
    virtual void SetTopSynchronizationCallback(Async::SynchronizationCallback* top) noexcept = 0;
};

/// The registered service; null when none is.
std::shared_ptr<Service> GetAsyncService() noexcept;

/// Registers `service` (null: none) and returns the service it replaces.
std::shared_ptr<Service> RegisterAsyncService(std::shared_ptr<Service> service) noexcept;

/// Announces to the registered service, for the life of the object, that this thread blocks. A
/// thread of the service that blocks may then be stood in for by another thread.
class ScopedBlockingWait : private Common::NonCopyable {
  public:
    ScopedBlockingWait() noexcept;
    ~ScopedBlockingWait();

  private:
    const std::shared_ptr<Service> service_;
};

}  // namespace AsyncService
