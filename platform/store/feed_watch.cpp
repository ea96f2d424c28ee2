#include "platform/store/feed_watch.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "core/common/trace.h"
#include "platform/store/store_errors.h"

namespace KivoStore {
namespace {

struct Entry {
    std::weak_ptr<FeedWatch> watch;
    const FeedWatch::State* state = nullptr;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, Entry> watches;
};

// Never destroyed: commits may notify while static destructors run.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// Forgets the registry's entry of `key` if it is still the one of `state`.
void Unregister(const std::string& key, const FeedWatch::State* state) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    auto found = registry.watches.find(key);
    if (found != registry.watches.end() && found->second.state == state)
        registry.watches.erase(found);
}

}  // namespace

struct FeedWatch::State {
    std::string key;
    mutable std::mutex mutex;
    std::vector<int> descriptors;
    std::optional<Common::Error> failure;
    std::unique_ptr<ChangeSource> source;
    int stopFd = -1;
    std::thread thread;

    ~State() {
        if (stopFd >= 0)
            ::close(stopFd);
    }

    void Notify() noexcept {
        const uint64_t one = 1;
        std::lock_guard<std::mutex> guard(mutex);
        for (const int fd : descriptors) {
            // A full counter (never in practice) is as readable as a written one.
            [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
        }
    }

    void Run() {
        try {
            source->Run(stopFd, [this] { Notify(); });
            return;
        } catch (const Common::Error& error) {
            Common::TraceError(1, error);
            std::lock_guard<std::mutex> guard(mutex);
            failure = error;
        }
        Unregister(key, this);
        Notify();
    }
};

FeedWatch::FeedWatch(std::shared_ptr<State> state) : state_(std::move(state)) {}

FeedWatch::~FeedWatch() {
    Unregister(state_->key, state_.get());
    if (state_->thread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(state_->stopFd, &one, sizeof one);
        state_->thread.join();
    }
}

std::shared_ptr<FeedWatch> FeedWatch::Acquire(const std::string& key,
                                              const SourceFactory& makeSource) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    Entry& entry = registry.watches[key];
    if (std::shared_ptr<FeedWatch> alive = entry.watch.lock())
        return alive;
    auto state = std::make_shared<State>();
    state->key = key;
    state->source = makeSource();
    if (state->source != nullptr) {
        state->stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (state->stopFd < 0)
            throw Common::Error(COMMON_PLACE("KivoStore::FeedWatch::Acquire"), kStoreFailure,
                                std::string("KIVO: The change feed cannot make its stop signal: ") +
                                    std::strerror(errno));
        State& running = *state;
        state->thread = std::thread([&running] { running.Run(); });
    }
    std::shared_ptr<FeedWatch> watch(new FeedWatch(state));
    entry = Entry{watch, state.get()};
    return watch;
}

void FeedWatch::NotifyLocal(const std::string& key) noexcept {
    std::shared_ptr<FeedWatch> watch;
    {
        std::lock_guard<std::mutex> guard(TheRegistry().mutex);
        auto found = TheRegistry().watches.find(key);
        if (found != TheRegistry().watches.end())
            watch = found->second.watch.lock();
    }
    if (watch != nullptr)
        watch->Notify();
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

std::optional<Common::Error> FeedWatch::Failure() const {
    std::lock_guard<std::mutex> guard(state_->mutex);
    return state_->failure;
}

}  // namespace KivoStore
