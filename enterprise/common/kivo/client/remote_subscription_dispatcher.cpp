#include "enterprise/common/kivo/client/remote_subscription.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "core/common/text.h"
#include "core/common/trace.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"
#include "enterprise/common/kivo/client/production_cycle.h"
#include "enterprise/common/zaph/decorators.h"
#include "enterprise/common/zaph/unit_utilities.h"
#include "enterprise/common/zaph/value_access.h"

namespace Kivo::Client {
namespace {

const Zaph::Name kChannelId = Zaph::Name::Literal("ChannelID");
const Zaph::Name kChannelCreation = Zaph::Name::Literal("ChannelCreation");
const Zaph::Name kChannelRemoval = Zaph::Name::Literal("ChannelRemoval");
const Zaph::Name kChannelError = Zaph::Name::Literal("ChannelError");

// The dispatchers whose replies the current thread is delivering, innermost first.
struct Delivery {
    const void* dispatcher;
    const Delivery* outer;
};
thread_local const Delivery* innermostDelivery = nullptr;

// Marks the current thread as delivering for `dispatcher` while it lives.
class DeliveryScope : private Common::NonCopyable {
  public:
    explicit DeliveryScope(const void* dispatcher) : delivery_{dispatcher, innermostDelivery} {
        innermostDelivery = &delivery_;
    }
    ~DeliveryScope() { innermostDelivery = delivery_.outer; }

    static bool IsDelivering(const void* dispatcher) {
        for (const Delivery* delivery = innermostDelivery; delivery != nullptr;
             delivery = delivery->outer) {
            if (delivery->dispatcher == dispatcher)
                return true;
        }
        return false;
    }

  private:
    const Delivery delivery_;
};

// Holds the Key that a ChannelFreeKey shows, so that it is set before the view is built.
struct SharedKey {
    Zaph::View::SharedUnitPtr key;
};

// The Key of an update as a channel's reader sees it: without "ChannelID", sharing the Key.
class ChannelFreeKey final : private SharedKey, public Zaph::View::ExcludeTraitUnit {
  public:
    explicit ChannelFreeKey(Zaph::View::SharedUnitPtr shared)
        : SharedKey{std::move(shared)}, ExcludeTraitUnit(*key, kChannelId) {}
};

enum class UpdateKind { Data, Creation, Removal, Error };

// Where an update goes and what it is.
struct Routing {
    uint32_t interest = 0;
    UpdateKind kind = UpdateKind::Data;
};

// Reads the routing of an update from its Key; an error to trace when the Key names no channel.
Common::Error ReadRouting(const Zaph::View::Unit* key, Routing& routing) {
    if (key == nullptr) {
        return Common::Error(COMMON_PLACE("Kivo::Client::`anonymous-namespace'::ReadRouting"),
                             kUpdateWithoutKey,
                             Common::GetCatalogMessage(Common::kMsgKivoUpdateWithoutKey));
    }
    size_t count = 0;
    const Zaph::View::Unit* channel = nullptr;
    auto collect = Zaph::MakeProcessor<const Zaph::View::Trait>([&](const Zaph::View::Trait& t) {
        ++count;
        channel = &t.GetValue();
        return count > 1;
    });
    key->GetTraits().ForEachNamed(kChannelId, collect);
    routing.interest = 0;
    if (count == 1 && Zaph::Util::GetTypeIndex(*channel) == Zaph::TypeIndex::DWord)
        routing.interest = Zaph::Util::GetValue<uint32_t>(*channel);
    if (routing.interest == 0) {
        return Common::Error(COMMON_PLACE("Kivo::Client::`anonymous-namespace'::ReadRouting"),
                             kUpdateWithoutChannel,
                             Common::GetCatalogMessage(Common::kMsgKivoUpdateWithoutChannel));
    }
    if (Zaph::Util::HasTrait(*key, kChannelCreation))
        routing.kind = UpdateKind::Creation;
    else if (Zaph::Util::HasTrait(*key, kChannelRemoval))
        routing.kind = UpdateKind::Removal;
    else if (Zaph::Util::HasTrait(*key, kChannelError))
        routing.kind = UpdateKind::Error;
    else
        routing.kind = UpdateKind::Data;
    return Common::Error();
}

// The error that a removal or error marker ends its interest with: the Key's own error value.
Common::Error EndingError(const Zaph::View::Unit& key) {
    if (Zaph::Util::GetTypeIndex(key) == Zaph::TypeIndex::Error) {
        const Common::Error& carried = Zaph::Util::GetValue<Common::Error>(key);
        if (!carried.IsEmpty())
            return carried;
    }
    return Common::Error(COMMON_PLACE("Kivo::Client::`anonymous-namespace'::EndingError"),
                         kInterestEndedWithoutReason,
                         Common::GetCatalogMessage(Common::kMsgKivoInterestEndedWithoutReason));
}

}  // namespace

// The channel table and the subscriber: what the production cycle feeds, held by the dispatcher
// and, weakly, by the cycle.
struct RemoteSubscriptionDispatcher::State final : public Consumer {
    // One interest's cache: `waiting` holds it until the channel takes it, `cache` sees it as
    // long as anyone holds it.
    struct Entry {
        std::shared_ptr<InMemoryUpdateCache> waiting;
        std::weak_ptr<InMemoryUpdateCache> cache;
        // The service removed the interest before its channel was made: the channel gets the
        // failed cache, and the entry goes with it.
        bool removed = false;
    };

    explicit State(std::shared_ptr<Binding::AccessPoint> shared) : accessPoint(std::move(shared)) {}

    void Consume(std::vector<ViewManagement::ViewUpdate> updates) override;
    // Ignored once the dispatcher is being destroyed: its own end of the cycle is not a failure.
    void Fail(const Common::Error& error) override;

    // The live cache of `interest`, made (and failed with a stored failure) when there is none.
    // Called under the lock.
    std::shared_ptr<InMemoryUpdateCache> CacheFor(uint32_t interest);
    // Hands `run`, the updates of `interest` so far, to its cache; `run` is left empty.
    void HandOver(uint32_t interest, std::vector<ViewManagement::ViewUpdate>& run);
    // A removal or error marker of `interest`.
    void EndInterest(uint32_t interest, const Common::Error& error, bool removal);
    // Stores `error` and gives it to every channel alive; the table keeps only the caches that
    // wait for their channel.
    void FailAll(const Common::Error& error);

    const std::shared_ptr<Binding::AccessPoint> accessPoint;
    std::mutex lock;
    uint32_t subscriber = 0;
    std::map<uint32_t, Entry> channels;
    Common::Error failure;
    std::shared_ptr<ProductionCycle> cycle;
    bool closing = false;
};

std::shared_ptr<InMemoryUpdateCache> RemoteSubscriptionDispatcher::State::CacheFor(
    uint32_t interest) {
    Entry& entry = channels[interest];
    std::shared_ptr<InMemoryUpdateCache> cache = entry.cache.lock();
    if (cache == nullptr) {
        cache = std::make_shared<InMemoryUpdateCache>();
        // A new cache has no checkout: nothing is called under the lock.
        if (!failure.IsEmpty())
            cache->Fail(failure);
        entry.waiting = cache;
        entry.cache = cache;
    }
    return cache;
}

void RemoteSubscriptionDispatcher::State::Consume(std::vector<ViewManagement::ViewUpdate> updates) {
    const DeliveryScope delivering(this);
    std::vector<ViewManagement::ViewUpdate> run;
    uint32_t runInterest = 0;
    for (ViewManagement::ViewUpdate& update : updates) {
        Routing routing;
        if (const Common::Error refusal = ReadRouting(update.Key.get(), routing);
            !refusal.IsEmpty()) {
            Common::TraceError(1, refusal);
            continue;
        }
        if (routing.interest != runInterest) {
            HandOver(runInterest, run);
            runInterest = routing.interest;
        }
        switch (routing.kind) {
            case UpdateKind::Data:
                run.push_back(ViewManagement::ViewUpdate{
                    update.Type, std::make_shared<ChannelFreeKey>(std::move(update.Key)),
                    std::move(update.PackedUpdate)});
                break;
            case UpdateKind::Creation: {
                std::lock_guard<std::mutex> hold(lock);
                CacheFor(routing.interest);
                break;
            }
            case UpdateKind::Removal:
            case UpdateKind::Error:
                HandOver(runInterest, run);
                EndInterest(routing.interest, EndingError(*update.Key),
                            routing.kind == UpdateKind::Removal);
                break;
        }
    }
    HandOver(runInterest, run);
}

void RemoteSubscriptionDispatcher::State::HandOver(uint32_t interest,
                                                   std::vector<ViewManagement::ViewUpdate>& run) {
    if (run.empty())
        return;
    std::shared_ptr<InMemoryUpdateCache> cache;
    {
        std::lock_guard<std::mutex> hold(lock);
        cache = CacheFor(interest);
    }
    cache->Consume(std::exchange(run, {}));
}

void RemoteSubscriptionDispatcher::State::EndInterest(uint32_t interest, const Common::Error& error,
                                                      bool removal) {
    std::shared_ptr<InMemoryUpdateCache> cache;
    bool known = false;
    {
        std::lock_guard<std::mutex> hold(lock);
        const auto found = channels.find(interest);
        known = found != channels.end() && !found->second.removed;
        if (known && !removal) {
            cache = CacheFor(interest);
        } else if (known) {
            // The channel that owns the cache keeps the failure; a channel not made yet gets it.
            cache = found->second.cache.lock();
            if (found->second.waiting != nullptr)
                found->second.removed = true;
            else
                channels.erase(found);
        }
    }
    if (!known) {
        Common::TraceError(
            1, Common::Error(
                   COMMON_PLACE("Kivo::Client::RemoteSubscriptionDispatcher::State::EndInterest"),
                   kMarkerOfUnknownInterest,
                   Common::FormatCatalogMessage(
                       Common::GetCatalogMessage(Common::kMsgKivoMarkerOfUnknownInterest),
                       {Common::ToUtf16(std::to_string(interest))})));
        return;
    }
    if (cache != nullptr)
        cache->Fail(error);
}

void RemoteSubscriptionDispatcher::State::Fail(const Common::Error& error) {
    const DeliveryScope delivering(this);
    {
        std::lock_guard<std::mutex> hold(lock);
        if (closing)
            return;
    }
    FailAll(error);
}

void RemoteSubscriptionDispatcher::State::FailAll(const Common::Error& error) {
    std::vector<std::shared_ptr<InMemoryUpdateCache>> failed;
    {
        std::lock_guard<std::mutex> hold(lock);
        failure = error;
        for (auto entry = channels.begin(); entry != channels.end();) {
            if (std::shared_ptr<InMemoryUpdateCache> cache = entry->second.cache.lock())
                failed.push_back(std::move(cache));
            // A cache that waits for its channel stays, so that the channel gets its updates
            // before the failure.
            if (entry->second.waiting != nullptr)
                ++entry;
            else
                entry = channels.erase(entry);
        }
    }
    for (const std::shared_ptr<InMemoryUpdateCache>& cache : failed)
        cache->Fail(error);
}

RemoteSubscriptionDispatcher::RemoteSubscriptionDispatcher(
    std::shared_ptr<Binding::AccessPoint> accessPoint)
    : state_(std::make_shared<State>(std::move(accessPoint))) {}

RemoteSubscriptionDispatcher::~RemoteSubscriptionDispatcher() {
    std::shared_ptr<ProductionCycle> cycle;
    uint32_t subscriber = 0;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->closing = true;
        cycle = std::move(state_->cycle);
        subscriber = state_->subscriber;
    }
    if (cycle != nullptr)
        cycle->Stop(!DeliveryScope::IsDelivering(state_.get()));
    state_->FailAll(Common::Error(
        COMMON_PLACE("Kivo::Client::RemoteSubscriptionDispatcher::~RemoteSubscriptionDispatcher"),
        kViewBeingClosed, Common::GetCatalogMessage(Common::kMsgKivoViewClosing)));
    if (subscriber != 0) {
        // The subscriber goes with the dispatcher whatever the service answers.
        (void)ViewManagement::ViewManager_Proxy(state_->accessPoint).Unsubscribe(subscriber);
    }
}

Common::Error RemoteSubscriptionDispatcher::EnsureSubscriber() {
    std::shared_ptr<ProductionCycle> cycle;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        if (!state_->failure.IsEmpty())
            return state_->failure;
        if (state_->subscriber != 0)
            return Common::Error();
        ViewManagement::Subscription subscription;
        const Common::Error refused =
            ViewManagement::ViewManager_Proxy(state_->accessPoint)
                .Subscribe(ViewManagement::SubscriptionSpec{}, subscription);
        if (!refused.IsEmpty())
            return refused;
        if (subscription.ID == 0) {
            return ZeroIdentifierError(
                COMMON_PLACE("Kivo::Client::RemoteSubscriptionDispatcher::EnsureSubscriber"),
                u"Subscribe");
        }
        state_->subscriber = subscription.ID;
        state_->cycle = std::make_shared<ProductionCycle>(
            MakeTransmissionPull(state_->accessPoint, subscription.ID, state_));
        cycle = state_->cycle;
    }
    // Outside the lock: a pull that fails at once fails the dispatcher, which takes the lock.
    cycle->Start();
    return Common::Error();
}

uint32_t RemoteSubscriptionDispatcher::GetSubscriberId() const {
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->subscriber;
}

std::unique_ptr<RemoteChannel> RemoteSubscriptionDispatcher::MakeChannel(uint32_t interest) {
    std::shared_ptr<InMemoryUpdateCache> cache;
    ViewManagement::TopicID topic{0, interest};
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        cache = state_->CacheFor(interest);
        State::Entry& entry = state_->channels[interest];
        entry.waiting = nullptr;
        if (entry.removed)
            state_->channels.erase(interest);
        topic.Subscriber = state_->subscriber;
    }
    return std::make_unique<RemoteChannel>(state_->accessPoint, topic, std::move(cache));
}

void RemoteSubscriptionDispatcher::Consume(std::vector<ViewManagement::ViewUpdate> updates) {
    state_->Consume(std::move(updates));
}

void RemoteSubscriptionDispatcher::Fail(const Common::Error& error) {
    state_->Fail(error);
}

}  // namespace Kivo::Client
