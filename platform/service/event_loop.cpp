#include "platform/service/event_loop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/service/service_errors.h"

namespace KivoService {
namespace {

Common::Error LoopFailure(const Common::SourceLocation& place, const char* what) {
    return Common::Error(
        place, kServiceFailure,
        std::string("KIVO: The service cannot ") + what + ": " + std::strerror(errno));
}

void CloseIfOpen(int fd) noexcept {
    if (fd >= 0)
        ::close(fd);
}

}  // namespace

std::unique_ptr<EventLoop> EventLoop::Start() {
    std::unique_ptr<EventLoop> loop(new EventLoop);
    loop->epollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    loop->stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    loop->timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (loop->epollFd_ < 0 || loop->stopFd_ < 0 || loop->timerFd_ < 0)
        throw LoopFailure(COMMON_PLACE("KivoService::EventLoop::Start"), "make its descriptors");
    for (const int fd : {loop->stopFd_, loop->timerFd_}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(loop->epollFd_, EPOLL_CTL_ADD, fd, &event) != 0)
            throw LoopFailure(COMMON_PLACE("KivoService::EventLoop::Start"), "wait on its timer");
    }
    try {
        loop->thread_ = std::thread([raw = loop.get()] { raw->Run(); });
    } catch (const std::system_error&) {
        throw LoopFailure(COMMON_PLACE("KivoService::EventLoop::Start"), "start its thread");
    }
    return loop;
}

EventLoop::~EventLoop() {
    Stop();
    CloseIfOpen(epollFd_);
    CloseIfOpen(stopFd_);
    CloseIfOpen(timerFd_);
}

void EventLoop::Stop() noexcept {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stopped_)
            return;
        stopped_ = true;
        watched_.clear();
        timers_.clear();
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(stopFd_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
}

Common::Error EventLoop::WatchOnce(int fd, Callback callback) {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopped_)
        return ServiceStopping(COMMON_PLACE("KivoService::EventLoop::WatchOnce"));
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = fd;
    // A descriptor that fired stays in the set, disarmed; MOD re-arms it.
    if (::epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd, &event) != 0 &&
        (errno != ENOENT || ::epoll_ctl(epollFd_, EPOLL_CTL_ADD, fd, &event) != 0)) {
        return LoopFailure(COMMON_PLACE("KivoService::EventLoop::WatchOnce"),
                           "wait on a subscription");
    }
    watched_[fd] = std::move(callback);
    return Common::Error();
}

void EventLoop::Unwatch(int fd) noexcept {
    Callback released;
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = watched_.find(fd);
    if (found == watched_.end())
        return;
    released = std::move(found->second);
    watched_.erase(found);
    ::epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

Common::Error EventLoop::At(Clock::time_point deadline, Callback callback, TimerId& timer) {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopped_)
        return ServiceStopping(COMMON_PLACE("KivoService::EventLoop::At"));
    timer = TimerId(deadline, ++nextTimer_);
    const bool earliest = timers_.empty() || deadline < timers_.begin()->first.first;
    timers_.emplace(timer, std::move(callback));
    if (earliest)
        ArmTimer();
    return Common::Error();
}

void EventLoop::CancelTimer(const TimerId& timer) noexcept {
    Callback released;
    std::lock_guard<std::mutex> hold(lock_);
    const auto found = timers_.find(timer);
    if (found != timers_.end()) {
        released = std::move(found->second);
        timers_.erase(found);
    }
}

void EventLoop::ArmTimer() noexcept {
    itimerspec setting{};
    if (!timers_.empty()) {
        const auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(
            timers_.begin()->first.first - Clock::now());
        // A deadline that has passed still needs a non-zero value: zero disarms the timer.
        const int64_t nanoseconds = std::max<int64_t>(wait.count(), 1);
        setting.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1'000'000'000);
        setting.it_value.tv_nsec = static_cast<long>(nanoseconds % 1'000'000'000);
    }
    ::timerfd_settime(timerFd_, 0, &setting, nullptr);
}

void EventLoop::Run() noexcept {
    constexpr int kEventsPerWait = 64;
    epoll_event events[kEventsPerWait];
    std::vector<Callback> due;
    for (;;) {
        const int count = ::epoll_wait(epollFd_, events, kEventsPerWait, -1);
        if (count < 0 && errno != EINTR)
            return;  // cannot happen with a valid epoll set; Stop still joins
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (stopped_)
                return;
            for (int i = 0; i < count; ++i) {
                const int fd = events[i].data.fd;
                if (fd == timerFd_) {
                    uint64_t expirations = 0;
                    [[maybe_unused]] const ssize_t read =
                        ::read(timerFd_, &expirations, sizeof expirations);
                    const auto now = Clock::now();
                    while (!timers_.empty() && timers_.begin()->first.first <= now) {
                        due.push_back(std::move(timers_.begin()->second));
                        timers_.erase(timers_.begin());
                    }
                    ArmTimer();
                } else if (fd != stopFd_) {
                    const auto found = watched_.find(fd);
                    if (found != watched_.end()) {
                        due.push_back(std::move(found->second));
                        watched_.erase(found);
                    }
                }
            }
        }
        for (Callback& callback : due)
            callback();
        due.clear();
    }
}

}  // namespace KivoService
