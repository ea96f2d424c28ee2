#include "platform/store/feed_subscription.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/common/trace.h"
#include "enterprise/common/async/error/cached_error.h"
#include "platform/store/feed_updates.h"
#include "platform/store/feed_watch.h"
#include "platform/store/store_errors.h"

namespace KivoStore {

FeedSubscription::FeedSubscription(std::shared_ptr<Store> store, Zaph::View::SharedUnitPtr pattern)
    : store_(std::move(store)), pattern_(std::move(pattern)) {}

std::unique_ptr<FeedSubscription> FeedSubscription::Start(std::shared_ptr<Store> store,
                                                          Zaph::View::SharedUnitPtr pattern,
                                                          uint64_t limit,
                                                          const Store::ObjectSink& sink,
                                                          const std::atomic<bool>* canceled) {
    if (pattern == nullptr)
        throw Common::Error(COMMON_PLACE("KivoStore::FeedSubscription::Start"), kNullPattern,
                            "KIVO: A subscription needs a pattern; a Nil pattern without traits "
                            "(.Nil().End()) selects every object.");
    std::unique_ptr<FeedSubscription> subscription(
        new FeedSubscription(std::move(store), std::move(pattern)));
    FeedSubscription& self = *subscription;
    self.wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (self.wakeFd_ < 0)
        throw Common::Error(
            COMMON_PLACE("KivoStore::FeedSubscription::Start"), kStoreFailure,
            std::string("KIVO: A subscription cannot make its wake-up: ") + std::strerror(errno));
    // Watching starts before the snapshot, so that no commit after it goes unnoticed.
    self.watch_ = self.store_->Watch();
    self.watch_->Add(self.wakeFd_);
    self.reader_ = self.store_->OpenFeedReader();
    self.position_ =
        self.store_->Snapshot(self.reader_.get(), *self.pattern_, limit, sink, canceled);
    return subscription;
}

FeedSubscription::~FeedSubscription() {
    if (watch_ != nullptr)
        watch_->Remove(wakeFd_);
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void FeedSubscription::Signal() noexcept {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd_, &one, sizeof one);
}

void FeedSubscription::Interrupt() noexcept {
    Signal();
}

FeedSubscription::Updates FeedSubscription::ReadPending() {
    std::vector<SequencedUpdate> sequenced = ReadPendingSequenced();
    Updates updates;
    updates.reserve(sequenced.size());
    for (SequencedUpdate& entry : sequenced)
        updates.push_back(std::move(entry.update));
    return updates;
}

std::vector<SequencedUpdate> FeedSubscription::ReadPendingSequenced() {
    if (failure_ != nullptr)
        throw *failure_;
    uint64_t count = 0;
    [[maybe_unused]] const ssize_t drained = ::read(wakeFd_, &count, sizeof count);
    // Changes might go unheard from now on: failing says so, where waiting would go quiet.
    if (std::optional<Common::Error> deaf = watch_->Failure()) {
        Common::Error error(COMMON_PLACE("KivoStore::FeedSubscription::ReadPending"), kStoreFailure,
                            "KIVO: The subscription no longer hears of the store's changes; "
                            "subscribe again.");
        error.Add(*deaf);
        failure_ = std::make_unique<Common::Error>(error);
        throw *failure_;
    }
    std::vector<SequencedUpdate> updates;
    size_t bytes = 0;
    bool cut = false;
    uint64_t position = position_.load();
    try {
        store_->ReadChanges(reader_.get(), position, [&](const ChangeCursor& change) {
            size_t size = 0;
            std::optional<Kivo::ViewManagement::ViewUpdate> update =
                DecideUpdate(change, *pattern_, size);
            if (update.has_value()) {
                if (!updates.empty() &&
                    (updates.size() >= kMaxBatchUpdates || bytes + size > kMaxBatchBytes)) {
                    cut = true;
                    return false;
                }
                updates.push_back(SequencedUpdate{change.Sequence(), size, std::move(*update)});
                bytes += size;
            }
            position = change.Sequence();
            return true;
        });
    } catch (const Common::Error& error) {
        failure_ = std::make_unique<Common::Error>(error);
        Common::TraceError(1, error);
        throw;
    }
    position_ = position;
    if (cut)
        Signal();
    return updates;
}

FeedSubscription::Updates FeedSubscription::Read(const std::atomic<bool>& canceled) {
    for (;;) {
        if (canceled.load())
            throw Async::CanceledError();
        Updates updates = ReadPending();
        if (!updates.empty())
            return updates;
        // Checked again after ReadPending emptied the descriptor: an Interrupt from then on
        // leaves it readable.
        if (canceled.load())
            throw Async::CanceledError();
        pollfd polled{wakeFd_, POLLIN, 0};
        if (::poll(&polled, 1, -1) < 0 && errno != EINTR)
            throw Common::Error(COMMON_PLACE("KivoStore::FeedSubscription::Read"), kStoreFailure,
                                std::string("KIVO: A subscription cannot wait for changes: ") +
                                    std::strerror(errno));
    }
}

}  // namespace KivoStore
