// IPCClient::WorkerPool: the threads of the IPC client library.
//
// The library runs the service side of in-process calls and every handler of a started call job
// on these threads, never on the async service's. A task may block for as long as a component
// holds its call, so the pool starts a new thread whenever a task arrives and no idle thread is
// left for it, up to a bound; past the bound tasks wait in the queue. Threads live until Stop.
//
// Stop runs every task still queued (tasks queued by those tasks too, while a thread is left to
// run them), then joins every thread. After Stop, Submit refuses work.
//
// Thread-safety: Submit from any thread; Stop from any thread but the pool's own.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace IPCClient {

/// See the file comment.
class WorkerPool : private Common::NonCopyable {
  public:
    explicit WorkerPool(size_t maxThreads);
    /// Stops the pool if Stop was not called.
    ~WorkerPool();

    /// Queues `task`. An error (kIpcClientNotInitialized after Stop, kIpcClientThreadStartFailed
    /// when no thread can run it) means that the task will never run.
    Common::Error Submit(std::function<void()> task);

    /// See the file comment. Later calls do nothing.
    void Stop() noexcept;

    /// True on a thread of this pool.
    bool IsOwnThread() const noexcept;
    /// True on a thread of any worker pool.
    static bool OnWorkerThread() noexcept;

  private:
    void Work() noexcept;

    const size_t maxThreads_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> queue_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    size_t running_ = 0;  // threads that have not left Work
    bool stopping_ = false;
};

}  // namespace IPCClient
