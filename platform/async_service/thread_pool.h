// AsyncService::ThreadPool: the worker threads of the async service.
//
// Tasks run in the order they were submitted, on a fixed number of base workers. A worker that
// announces a blocking wait (BeginBlockingWait) no longer counts: while fewer than the base number
// of workers are free to run tasks, the pool starts a compensating worker, up to a bound, so that
// the work a blocked worker waits for still finds a thread. Once the waits end, surplus workers
// retire as soon as they find the queue empty.
//
// Stop ends the pool in a fixed order: new tasks are abandoned on the submitting thread, tasks
// still queued are abandoned on the stopping thread (which releases workers that wait for them),
// then every worker finishes the task it runs and is joined. No thread of the pool outlives Stop.
//
// Thread-safety: every operation may be called from any thread, except that Stop must not be
// called from a worker of the pool itself.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "core/async_service_api/async_service.h"
#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace AsyncService {

/// Code of the error thrown when the pool cannot start its base workers.
inline constexpr uint32_t kThreadStartFailed = 0xF90030;

/// See the file comment.
class ThreadPool : private Common::NonCopyable {
  public:
    /// Starts `workers` base workers (at least one); at most `maxCompensating` more stand in for
    /// workers that block. Throws Common::Error (kThreadStartFailed) when a base worker cannot
    /// start.
    ThreadPool(uint32_t workers, uint32_t maxCompensating);
    /// Stops the pool if Stop was not called.
    ~ThreadPool();

    /// Queues `task`; see Service::Submit.
    void Submit(std::unique_ptr<Task> task) noexcept;

    /// See Service::BeginBlockingWait; only calls from the pool's own workers count.
    void BeginBlockingWait() noexcept;
    void EndBlockingWait() noexcept;

    /// See the file comment. Later calls do nothing.
    void Stop() noexcept;

    /// True on a worker of this pool.
    bool IsWorkerThread() const noexcept;

    /// Workers started and not yet retired or stopped.
    uint32_t WorkerCount() const;

  private:
    using WorkerList = std::list<std::thread>;

    // Starts one worker; the lock is held. The error says why the thread could not start.
    Common::Error StartWorkerLocked(const Common::SourceLocation& place) noexcept;
    void WorkerMain(WorkerList::iterator self) noexcept;
    // Joins the workers that retired so far.
    void JoinRetired() noexcept;

    const uint32_t baseWorkers_;
    const uint32_t maxWorkers_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::unique_ptr<Task>> queue_;
    WorkerList workers_;
    WorkerList retired_;
    uint32_t liveWorkers_ = 0;
    uint32_t blockedWorkers_ = 0;
    bool stopping_ = false;
};

}  // namespace AsyncService
