#include "platform/async_service/thread_pool.h"

#include <algorithm>
#include <new>
#include <system_error>
#include <utility>

#include "core/common/assert.h"
#include "core/common/error/error.h"
#include "core/common/trace.h"
#include "platform/async_service/callback_slot.h"
#include "platform/async_service/service_messages.h"

namespace AsyncService {
namespace {

// The pool whose worker the current thread is, and how deep its blocking waits nest.
thread_local const ThreadPool* currentPool = nullptr;
thread_local uint32_t blockingDepth = 0;

// Level of traced errors that nobody else reports.
constexpr uint32_t kUnreportedTraceLevel = 4;

// A task must leave the stack of synchronisation callbacks as it found it: empty.
void CheckCallbackStackIsEmpty() noexcept {
    if (Detail::topSynchronizationCallback != nullptr) {
        COMMON_ASSERT_TEXT(false, "A task returned with a synchronisation callback registered.");
        Detail::topSynchronizationCallback = nullptr;
    }
}

}  // namespace

ThreadPool::ThreadPool(uint32_t workers, uint32_t maxCompensating)
    : baseWorkers_(std::max<uint32_t>(workers, 1)), maxWorkers_(baseWorkers_ + maxCompensating) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (uint32_t i = 0; i < baseWorkers_; ++i) {
        Common::Error failure =
            StartWorkerLocked(COMMON_PLACE("AsyncService::ThreadPool::ThreadPool"));
        if (!failure.IsEmpty()) {
            lock.unlock();
            Stop();
            throw failure;
        }
    }
}

ThreadPool::~ThreadPool() {
    Stop();
}

void ThreadPool::Submit(std::unique_ptr<Task> task) noexcept {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!stopping_) {
            try {
                queue_.push_back(std::move(task));  // on failure the task stays with us
                wake_.notify_one();
                return;
            } catch (const std::bad_alloc&) {
                // no room in the queue: abandoned below, outside the lock
            }
        }
    }
    task->Abandon();
}

Common::Error ThreadPool::StartWorkerLocked(const Common::SourceLocation& place) noexcept {
    uint32_t systemError = 0;
    try {
        workers_.emplace_back();
        try {
            workers_.back() = std::thread(&ThreadPool::WorkerMain, this, std::prev(workers_.end()));
            ++liveWorkers_;
            return {};
        } catch (const std::system_error& e) {
            systemError = static_cast<uint32_t>(e.code().value());
            workers_.pop_back();
        } catch (const std::bad_alloc&) {
            workers_.pop_back();
        }
    } catch (const std::bad_alloc&) {
        // no room for the list node
    }
    Common::Error failure(place, kThreadStartFailed, kThreadStartFailedText);
    if (systemError != 0) {
        failure.AddWindowsError(systemError);
    }
    return failure;
}

void ThreadPool::BeginBlockingWait() noexcept {
    if (currentPool != this || blockingDepth++ > 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> hold(mutex_);
        ++blockedWorkers_;
        if (!stopping_ && liveWorkers_ - blockedWorkers_ < baseWorkers_ &&
            liveWorkers_ < maxWorkers_) {
            Common::Error failure =
                StartWorkerLocked(COMMON_PLACE("AsyncService::ThreadPool::BeginBlockingWait"));
            if (!failure.IsEmpty()) {
                // The blocked worker goes without a stand-in; the base workers still run tasks.
                Common::TraceError(kUnreportedTraceLevel, failure);
            }
        }
    }
    JoinRetired();
}

void ThreadPool::EndBlockingWait() noexcept {
    if (currentPool != this || blockingDepth == 0 || --blockingDepth > 0) {
        return;
    }
    std::lock_guard<std::mutex> hold(mutex_);
    --blockedWorkers_;
    if (liveWorkers_ - blockedWorkers_ > baseWorkers_) {
        wake_.notify_one();  // an idle worker is now surplus and may retire
    }
}

void ThreadPool::WorkerMain(WorkerList::iterator self) noexcept {
    currentPool = this;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!queue_.empty()) {
            std::unique_ptr<Task> task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task->Run();
            CheckCallbackStackIsEmpty();
            task.reset();
            lock.lock();
        } else if (stopping_) {
            break;  // Stop joins this thread
        } else if (liveWorkers_ - blockedWorkers_ > baseWorkers_) {
            retired_.splice(retired_.end(), workers_, self);
            break;  // the next JoinRetired or Stop joins this thread
        } else {
            wake_.wait(lock);
        }
    }
    --liveWorkers_;
}

void ThreadPool::JoinRetired() noexcept {
    WorkerList finished;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        finished.swap(retired_);
    }
    for (std::thread& thread : finished) {
        thread.join();
    }
}

void ThreadPool::Stop() noexcept {
    if (IsWorkerThread()) {
        COMMON_ASSERT_TEXT(false, "The async service was stopped from one of its own threads.");
        return;
    }
    std::deque<std::unique_ptr<Task>> abandoned;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
        abandoned.swap(queue_);
        wake_.notify_all();
    }
    for (std::unique_ptr<Task>& task : abandoned) {
        task->Abandon();
        task.reset();
    }
    // No worker starts or retires once stopping_ is set, so these lists hold every thread. A
    // worker that is joining retired workers (JoinRetired) is itself joined here.
    WorkerList finishing;
    {
        std::lock_guard<std::mutex> hold(mutex_);
        finishing.splice(finishing.end(), workers_);
        finishing.splice(finishing.end(), retired_);
    }
    for (std::thread& thread : finishing) {
        thread.join();
    }
}

bool ThreadPool::IsWorkerThread() const noexcept {
    return currentPool == this;
}

uint32_t ThreadPool::WorkerCount() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return liveWorkers_;
}

}  // namespace AsyncService
