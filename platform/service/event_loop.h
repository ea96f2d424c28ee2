// KivoService::EventLoop: the one thread of a service that waits, on descriptors and deadlines.
//
// Callbacks registered with WatchOnce run on the loop's thread once their descriptor is readable;
// those registered with At once their deadline has passed. Each runs at most once and must be
// short (hand real work to a pool). Unwatch and CancelTimer withdraw a registration; a callback
// already taken by the thread may still run once after them, so callbacks must tolerate a
// wake-up that is no longer wanted (they look at the state they serve).
//
// Waiting: one epoll set holds the watched descriptors (EPOLLONESHOT), an eventfd that wakes the
// thread to stop, and one timerfd set to the earliest deadline.
//
//   Start --thread runs--> RUNNING --Stop: eventfd written, thread joined--> STOPPED
//   STOPPED: registrations are refused (kServiceStopping) and nothing runs any more.
//
// A descriptor must be unwatched before it is closed.
//
// Thread-safety: every operation may be called from any thread; Stop not from the loop's own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace KivoService {

/// See the file comment.
class EventLoop : private Common::NonCopyable {
  public:
    using Clock = std::chrono::steady_clock;
    using Callback = std::function<void()>;
    /// Names one deadline registration.
    using TimerId = std::pair<Clock::time_point, uint64_t>;

    /// Starts the thread. Throws Common::Error (kServiceFailure) when its descriptors or thread
    /// cannot be had.
    [[nodiscard]] static std::unique_ptr<EventLoop> Start();
    /// Stops the loop.
    ~EventLoop();

    /// Runs `callback` once `fd` is readable. Replaces an earlier registration of `fd`.
    /// kServiceStopping once stopped; kServiceFailure when epoll refuses the descriptor.
    [[nodiscard]] Common::Error WatchOnce(int fd, Callback callback);
    /// Withdraws the registration of `fd`, if any.
    void Unwatch(int fd) noexcept;
    /// Runs `callback` once `deadline` has passed; `timer` names the registration.
    /// kServiceStopping once stopped.
    [[nodiscard]] Common::Error At(Clock::time_point deadline, Callback callback, TimerId& timer);
    /// Withdraws a deadline registration, if it has not run.
    void CancelTimer(const TimerId& timer) noexcept;

    /// Joins the thread; later registrations are refused. Later calls do nothing.
    void Stop() noexcept;

  private:
    EventLoop() = default;
    void Run() noexcept;
    // Sets the timerfd to the earliest deadline; under lock_.
    void ArmTimer() noexcept;

    int epollFd_ = -1;
    int stopFd_ = -1;
    int timerFd_ = -1;
    std::mutex lock_;
    bool stopped_ = false;
    uint64_t nextTimer_ = 0;
    std::map<int, Callback> watched_;
    std::map<TimerId, Callback> timers_;
    std::thread thread_;
};

}  // namespace KivoService
