#include "platform/store/feed_watch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

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

// Empties a timerfd or eventfd that poll found readable.
void Drain(int fd) {
    uint64_t count = 0;
    while (::read(fd, &count, sizeof count) == static_cast<ssize_t>(sizeof count)) {
    }
}

void CloseIfOpen(int fd) {
    if (fd >= 0)
        ::close(fd);
}

Common::Error SystemFailure(const Common::SourceLocation& place, const char* what) {
    const int code = errno;
    return Common::Error(
        place, kStoreFailure,
        std::string("KIVO: The change feed cannot ") + what + ": " + std::strerror(code));
}

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<FeedWatch>> watches;
};

// Never destroyed: commits may notify while static destructors run.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

struct FeedWatch::State {
    std::string key;
    std::string walPath;
    std::mutex mutex;
    std::vector<int> descriptors;
    // Used by the thread only, once it started.
    std::unique_ptr<Engine> connection;
    int stopFd = -1;
    int inotifyFd = -1;
    int recheckFd = -1;
    int tickFd = -1;
    std::atomic<bool> polling{false};
    uint64_t lastVersion = 0;
    size_t recheckStep = 0;
    std::thread thread;

    ~State() {
        for (const int fd : {stopFd, inotifyFd, recheckFd, tickFd})
            CloseIfOpen(fd);
    }

    void Notify() noexcept {
        const uint64_t one = 1;
        std::lock_guard<std::mutex> guard(mutex);
        for (const int fd : descriptors) {
            // A full counter (never in practice) is as readable as a written one.
            [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
        }
    }

    // Watches the -wal with inotify; false (polling from then on) when that cannot be done.
    bool ArmInotify() {
        if (inotifyFd >= 0 && ::getenv("KIVO_STORE_POLL") == nullptr &&
            ::inotify_add_watch(inotifyFd, walPath.c_str(), kWalEvents) >= 0)
            return true;
        if (!polling.exchange(true)) {
            Arm(tickFd, kPollTick, kPollTick);
            const std::string text = "KIVO: Changes of '" + walPath +
                                     "' are looked for every 50 ms: it cannot be watched (" +
                                     (inotifyFd < 0 ? "no inotify" : std::strerror(errno)) + ").";
            Common::TraceText(0, kPollingTraceLevel, 0, 0, Common::ToUtf16(text));
        }
        return false;
    }

    enum class Cause { Event, Recheck, Tick };

    // Confirms a possible change with data_version; see the state drawing.
    void Confirm(Cause cause) {
        uint64_t version = 0;
        try {
            version = connection->DataVersion();
        } catch (const Common::Error& error) {
            // The readers meet the failure themselves when they look at the log.
            Common::TraceError(1, error);
            Notify();
            return;
        }
        if (version != lastVersion) {
            lastVersion = version;
            recheckStep = 0;
            Arm(recheckFd, milliseconds(0), milliseconds(0));
            Notify();
            return;
        }
        if (cause == Cause::Event)
            recheckStep = 0;
        else if (cause == Cause::Tick)
            return;
        if (recheckStep < std::size(kRecheck))
            Arm(recheckFd, kRecheck[recheckStep++], milliseconds(0));
    }

    void Run() {
        pollfd polled[] = {{stopFd, POLLIN, 0},
                           {recheckFd, POLLIN, 0},
                           {tickFd, POLLIN, 0},
                           {inotifyFd, POLLIN, 0}};
        const nfds_t count = inotifyFd >= 0 ? 4 : 3;
        alignas(inotify_event) char events[4096];
        for (;;) {
            if (::poll(polled, count, -1) < 0) {
                if (errno == EINTR)
                    continue;
                Common::TraceError(1, SystemFailure(COMMON_PLACE("KivoStore::FeedWatch::Run"),
                                                    "wait for changes"));
                return;
            }
            if (polled[0].revents != 0)
                return;
            if (count == 4 && polled[3].revents != 0) {
                bool ignored = false;
                ssize_t size = 0;
                while ((size = ::read(inotifyFd, events, sizeof events)) > 0) {
                    for (ssize_t at = 0; at < size;) {
                        const auto* event = reinterpret_cast<const inotify_event*>(events + at);
                        ignored = ignored || (event->mask & IN_IGNORED) != 0;
                        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                    }
                }
                if (ignored)
                    ArmInotify();
                Confirm(Cause::Event);
            }
            if (polled[1].revents != 0) {
                Drain(recheckFd);
                Confirm(Cause::Recheck);
            }
            if (polled[2].revents != 0) {
                Drain(tickFd);
                Confirm(Cause::Tick);
            }
        }
    }
};

FeedWatch::FeedWatch(std::unique_ptr<State> state) : state_(std::move(state)) {}

FeedWatch::~FeedWatch() {
    {
        std::lock_guard<std::mutex> guard(TheRegistry().mutex);
        auto found = TheRegistry().watches.find(state_->key);
        if (found != TheRegistry().watches.end() && found->second.expired())
            TheRegistry().watches.erase(found);
    }
    if (state_->thread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(state_->stopFd, &one, sizeof one);
        state_->thread.join();
    }
}

std::shared_ptr<FeedWatch> FeedWatch::Acquire(const std::string& key, const std::string& walPath,
                                              const ConnectionFactory& open) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    if (std::shared_ptr<FeedWatch> alive = registry.watches[key].lock())
        return alive;
    auto state = std::make_unique<State>();
    state->key = key;
    state->walPath = walPath;
    if (!walPath.empty()) {
        state->connection = open();
        // A first read opens the -wal, so that there is a file to watch.
        (void)state->connection->ReadFeedMarks();
        state->lastVersion = state->connection->DataVersion();
        state->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        state->recheckFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        state->tickFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
        if (state->stopFd < 0 || state->recheckFd < 0 || state->tickFd < 0)
            throw SystemFailure(COMMON_PLACE("KivoStore::FeedWatch::Acquire"),
                                "make its descriptors");
        state->inotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        Arm(state->tickFd, kTick, kTick);
        state->ArmInotify();
        State& running = *state;
        state->thread = std::thread([&running] { running.Run(); });
    }
    std::shared_ptr<FeedWatch> watch(new FeedWatch(std::move(state)));
    registry.watches[key] = watch;
    return watch;
}

void FeedWatch::NotifyLocal(const std::string& key) noexcept {
    std::shared_ptr<FeedWatch> watch;
    {
        std::lock_guard<std::mutex> guard(TheRegistry().mutex);
        auto found = TheRegistry().watches.find(key);
        if (found != TheRegistry().watches.end())
            watch = found->second.lock();
    }
    if (watch != nullptr)
        watch->Notify();
}

void FeedWatch::TouchWal(const std::string& walPath) noexcept {
    const int fd = ::open(walPath.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return;
    ::futimens(fd, nullptr);
    ::close(fd);
}

void FeedWatch::Add(int eventFd) {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->descriptors.push_back(eventFd);
}

void FeedWatch::Remove(int eventFd) noexcept {
    std::lock_guard<std::mutex> guard(state_->mutex);
    auto& all = state_->descriptors;
    all.erase(std::remove(all.begin(), all.end(), eventFd), all.end());
}

void FeedWatch::Notify() noexcept {
    state_->Notify();
}

bool FeedWatch::Polling() const noexcept {
    return state_->polling.load();
}

}  // namespace KivoStore
