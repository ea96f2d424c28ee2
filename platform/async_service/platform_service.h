// AsyncService::PlatformService: the async service of our programs, and the scope that installs it.
//
// The service is a thread pool with compensating workers (thread_pool.h), a metronome whose tasks
// run on the pool (metronome.h) and the per-thread slot of synchronisation callbacks.
//
// Shutdown order. A program makes one ScopedAsyncService at the top of main, before any job runs.
// Its destruction, still inside main, first unregisters the service, so that work started from
// then on runs without it, then shuts the service down: the metronome abandons the tasks still
// waiting and stops its thread, then the pool abandons its queued tasks and joins every worker
// once its current task returns. Abandoned work completes with the job framework's canceled
// error. No thread of the service outlives the scope, and no static destructor joins one.
//
// Thread-safety: every operation may be called from any thread; Shutdown must not be called from
// a thread of the service.
#pragma once

#include <cstdint>
#include <memory>

#include "core/async_service_api/async_service.h"
#include "core/common/noncopyable.h"
#include "platform/async_service/metronome.h"
#include "platform/async_service/thread_pool.h"

namespace AsyncService {

/// How many threads a service runs.
struct ServiceOptions {
    /// Base workers of the pool; 0 means one per processor, at least two.
    uint32_t workers = 0;
    /// Bound of the workers started to stand in for blocked ones.
    uint32_t maxCompensatingWorkers = 16;
};

/// See the file comment.
class PlatformService final : public Service {
  public:
    /// Starts the threads. Throws Common::Error (kThreadStartFailed) when one cannot start.
    explicit PlatformService(const ServiceOptions& options = {});
    /// Shuts down if Shutdown was not called.
    ~PlatformService() override;

    void Submit(std::unique_ptr<Task> task) noexcept override;
    std::shared_ptr<TimerHandle> Schedule(std::chrono::milliseconds delay,
                                          std::unique_ptr<Task> task) noexcept override;
    void BeginBlockingWait() noexcept override;
    void EndBlockingWait() noexcept override;
    Async::SynchronizationCallback* TopSynchronizationCallback() noexcept override;
    void SetTopSynchronizationCallback(Async::SynchronizationCallback* top) noexcept override;

    /// Abandons the waiting timers, then the queued tasks, and joins every thread (see the file
    /// comment). Later calls do nothing.
    void Shutdown() noexcept;

    /// The pool, for tests and benchmarks.
    const ThreadPool& Pool() const noexcept { return pool_; }

  private:
    ThreadPool pool_;
    Metronome metronome_;
};

/// Makes a PlatformService and registers it for its lifetime; see the file comment.
class ScopedAsyncService : private Common::NonCopyable {
  public:
    explicit ScopedAsyncService(const ServiceOptions& options = {});
    /// Restores the service registered before, then shuts this one down.
    ~ScopedAsyncService();

    PlatformService& Get() const noexcept { return *service_; }

  private:
    const std::shared_ptr<PlatformService> service_;
    std::shared_ptr<Service> previous_;
};

}  // namespace AsyncService
