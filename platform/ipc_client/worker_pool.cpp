#include "platform/ipc_client/worker_pool.h"

#include <system_error>
#include <utility>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/library_errors.h"

namespace IPCClient {
namespace {

// The pool whose thread this is; null on other threads.
thread_local const WorkerPool* currentPool = nullptr;

}  // namespace

WorkerPool::WorkerPool(size_t maxThreads) : maxThreads_(maxThreads == 0 ? 1 : maxThreads) {}

WorkerPool::~WorkerPool() {
    Stop();
}

Common::Error WorkerPool::Submit(std::function<void()> task) {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_ && running_ == 0) {
        return NotInitialized(COMMON_PLACE("IPCClient::WorkerPool::Submit"));
    }
    // An idle thread that has been woken stays counted as idle until it takes the lock again, so
    // the queued tasks each claim one of them: a new task needs a new thread unless more threads
    // are idle than tasks wait.
    if (queue_.size() >= idle_ && threads_.size() < maxThreads_ && !stopping_) {
        try {
            threads_.emplace_back([this] { Work(); });
            ++running_;
        } catch (const std::system_error& failure) {
            if (threads_.empty()) {
                Common::Error error(
                    COMMON_PLACE("IPCClient::WorkerPool::Submit"),
                    Binding::kIpcClientThreadStartFailed,
                    Common::GetCatalogMessage(Common::kMsgIpcClientThreadStartFailed));
                return error.AddWindowsError(static_cast<uint32_t>(failure.code().value()));
            }
            // The threads already running take the task in turn.
        }
    }
    queue_.push_back(std::move(task));
    wake_.notify_one();
    return Common::Error();
}

void WorkerPool::Stop() noexcept {
    const bool self = IsOwnThread();
    COMMON_ASSERT_TEXT(!self, "A worker pool cannot be stopped from one of its own threads");
    if (self) {
        return;
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        threads = std::move(threads_);
        threads_.clear();
    }
    wake_.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

bool WorkerPool::IsOwnThread() const noexcept {
    return currentPool == this;
}

bool WorkerPool::OnWorkerThread() noexcept {
    return currentPool != nullptr;
}

void WorkerPool::Work() noexcept {
    currentPool = this;
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        ++idle_;
        wake_.wait(hold, [this] { return stopping_ || !queue_.empty(); });
        --idle_;
        if (queue_.empty()) {
            break;  // stopping, and nothing left to run
        }
        std::function<void()> task = std::move(queue_.front());
        queue_.pop_front();
        hold.unlock();
        task();
        task = nullptr;  // what the task holds goes before the next one runs
        hold.lock();
    }
    --running_;
}

}  // namespace IPCClient
