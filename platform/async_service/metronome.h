// AsyncService::Metronome: the timer of the async service.
//
// A scheduled task waits on one timer thread until its time comes and is then handed to the
// thread pool, so no task runs on the timer thread. Canceling a task before its time abandons it
// at once on the canceling thread. Stop abandons every task still waiting, on the stopping
// thread, and joins the timer thread; tasks scheduled after Stop are abandoned at once.
//
// Thread-safety: every operation may be called from any thread. Handles may outlive the
// metronome; canceling one after Stop does nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "core/async_service_api/async_service.h"
#include "core/common/noncopyable.h"
#include "platform/async_service/thread_pool.h"

namespace AsyncService {

/// See the file comment.
class Metronome : private Common::NonCopyable {
  public:
    /// Starts the timer thread; tasks whose time comes go to `pool`, which must outlive Stop.
    /// Throws Common::Error (kThreadStartFailed) when the thread cannot start.
    explicit Metronome(ThreadPool& pool);
    /// Stops the metronome if Stop was not called.
    ~Metronome();

    /// See Service::Schedule.
    std::shared_ptr<TimerHandle> Schedule(std::chrono::milliseconds delay,
                                          std::unique_ptr<Task> task) noexcept;

    /// See the file comment. Later calls do nothing.
    void Stop() noexcept;

  private:
    using Clock = std::chrono::steady_clock;
    class Entry;
    using Waiting = std::multimap<Clock::time_point, std::shared_ptr<Entry>>;
    // What the entries share with the metronome; they may outlive it.
    struct Timeline {
        std::mutex mutex;
        std::condition_variable changed;
        Waiting waiting;
        bool stopping = false;
    };

    void TimerMain() noexcept;

    ThreadPool& pool_;
    const std::shared_ptr<Timeline> timeline_;
    std::thread thread_;
};

}  // namespace AsyncService
