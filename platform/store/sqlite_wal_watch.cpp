#include "platform/store/sqlite_wal_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "core/common/error/error.h"
#include "core/common/text.h"
#include "core/common/trace.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

using std::chrono::milliseconds;

constexpr uint32_t kWalEvents = IN_ATTRIB | IN_MODIFY;
constexpr milliseconds kTick{1000};
constexpr milliseconds kPollTick{50};
constexpr milliseconds kRecheck[] = {milliseconds(5), milliseconds(20), milliseconds(100)};
// The trace level of the note that a watch polls: shown by default, as a warning would be.
constexpr uint32_t kPollingTraceLevel = 4;

// Arms `timer` to fire after `delay` (0: disarm), again every `interval` (0: once).
void Arm(int timer, milliseconds delay, milliseconds interval) {
    itimerspec spec{};
    spec.it_value.tv_sec = delay.count() / 1000;
    spec.it_value.tv_nsec = (delay.count() % 1000) * 1'000'000;
    spec.it_interval.tv_sec = interval.count() / 1000;
    spec.it_interval.tv_nsec = (interval.count() % 1000) * 1'000'000;
    ::timerfd_settime(timer, 0, &spec, nullptr);
}

// Empties a timerfd that poll found readable.
void Drain(int fd) {
    uint64_t count = 0;
    while (::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
}

Common::Error SystemFailure(const Common::SourceLocation& place, const char* what) {
    const int code = errno;
    return Common::Error(
        place, kStoreFailure,
        std::string("KIVO: The change feed cannot ") + what + ": " + std::strerror(code));
}

// Closes a descriptor when it goes, also when a constructor throws half-way.
struct OwnedFd {
    int fd = -1;
    OwnedFd() = default;
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd >= 0)
            ::close(fd);
    }
};

class WalWatch final : public ChangeSource {
  public:
    WalWatch(std::string walPath, DataVersionReader dataVersion)
        : walPath_(std::move(walPath)), dataVersion_(std::move(dataVersion)) {
        lastVersion_ = dataVersion_();
        recheck_.fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        tick_.fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (recheck_.fd < 0 || tick_.fd < 0)
            throw SystemFailure(COMMON_PLACE("KivoStore::WatchWal"), "make its timers");
        inotify_.fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        Arm(tick_.fd, kTick, kTick);
        ArmInotify();
    }

    void Run(int stopFd, const std::function<void()>& changed) override {
        pollfd polled[] = {{stopFd, POLLIN, 0},
                           {recheck_.fd, POLLIN, 0},
                           {tick_.fd, POLLIN, 0},
                           {inotify_.fd, POLLIN, 0}};
        const nfds_t count = inotify_.fd >= 0 ? 4 : 3;
        alignas(inotify_event) char events[4096];
        for (;;) {
            if (::poll(polled, count, -1) < 0) {
                if (errno == EINTR)
                    continue;
                throw SystemFailure(COMMON_PLACE("KivoStore::WalWatch::Run"), "wait for changes");
            }
            if (polled[0].revents != 0)
                return;
            if (count == 4 && polled[3].revents != 0) {
                bool ignored = false;
                ssize_t size = 0;
                while ((size = ::read(inotify_.fd, events, sizeof events)) > 0) {
                    for (ssize_t at = 0; at < size;) {
                        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                        ignored = ignored || (event->mask & IN_IGNORED) != 0;
                        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                    }
                }
                if (ignored)
                    ArmInotify();
                Confirm(Cause::Event, changed);
            }
            if (polled[1].revents != 0) {
                Drain(recheck_.fd);
                Confirm(Cause::Recheck, changed);
            }
            if (polled[2].revents != 0) {
                Drain(tick_.fd);
                Confirm(Cause::Tick, changed);
            }
        }
    }

  private:
    enum class Cause { Event, Recheck, Tick };

    // Watches the -wal with inotify; false (polling from then on) when that cannot be done.
    bool ArmInotify() {
        if (inotify_.fd >= 0 && ::getenv("KIVO_STORE_POLL") == nullptr &&
            ::inotify_add_watch(inotify_.fd, walPath_.c_str(), kWalEvents) >= 0)
            return true;
        if (!polling_) {
            polling_ = true;
            Arm(tick_.fd, kPollTick, kPollTick);
            const std::string text = "KIVO: Changes of '" + walPath_ +
                                     "' are looked for every 50 ms: it cannot be watched (" +
                                     (inotify_.fd < 0 ? "no inotify" : std::strerror(errno)) + ").";
            Common::TraceText(0, kPollingTraceLevel, 0, 0, Common::ToUtf16(text));
        }
        return false;
    }

    // Confirms a possible change with data_version; see the state drawing.
    void Confirm(Cause cause, const std::function<void()>& changed) {
        uint64_t version = 0;
        try {
            version = dataVersion_();
        } catch (const Common::Error& error) {
            // The readers meet the failure themselves when they look at the log.
            Common::TraceError(1, error);
            changed();
            return;
        }
        if (version != lastVersion_) {
            lastVersion_ = version;
            recheckStep_ = 0;
            Arm(recheck_.fd, milliseconds(0), milliseconds(0));
            changed();
            return;
        }
        if (cause == Cause::Event)
            recheckStep_ = 0;
        else if (cause == Cause::Tick)
            return;
        if (recheckStep_ < std::size(kRecheck))
            Arm(recheck_.fd, kRecheck[recheckStep_++], milliseconds(0));
    }

    const std::string walPath_;
    const DataVersionReader dataVersion_;
    OwnedFd inotify_;
    OwnedFd recheck_;
    OwnedFd tick_;
    bool polling_ = false;
    uint64_t lastVersion_ = 0;
    size_t recheckStep_ = 0;
};

}  // namespace

std::unique_ptr<ChangeSource> WatchWal(std::string walPath, DataVersionReader dataVersion) {
    return std::make_unique<WalWatch>(std::move(walPath), std::move(dataVersion));
}

void TouchWal(const std::string& walPath) noexcept {
    const int fd = ::open(walPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    ::futimens(fd, nullptr);
    ::close(fd);
}

}  // namespace KivoStore
