#include "enterprise/common/kivo/client/update_cache.h"

#include <atomic>
#include <iterator>
#include <mutex>
#include <utility>

#include "core/common/catalog.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace Kivo::Client {

class InMemoryUpdateCache::CheckoutJob final : public Async::BaseJob {
  public:
    CheckoutJob(SubscriptionReader& reader, std::shared_ptr<Async::ActionHandler> handler)
        : reader_(reader), handler_(handler.get()), keptHandler_(std::move(handler)) {}

    /// Completes the checkout with the canceled error, unless a put took it first.
    void Cancel() override {
        if (Async::ActionHandler* const handler = TakeHandler())
            handler->Completed(Async::CanceledError());
    }

    /// The handler, for the one caller that takes it first; null for every later caller.
    Async::ActionHandler* TakeHandler() noexcept { return handler_.exchange(nullptr); }
    /// True until the handler has been taken.
    bool IsWaiting() const noexcept { return handler_.load() != nullptr; }
    SubscriptionReader& Reader() const noexcept { return reader_; }

  private:
    SubscriptionReader& reader_;
    std::atomic<Async::ActionHandler*> handler_;
    // Keeps a handler that the caller handed over alive as long as the job.
    const std::shared_ptr<Async::ActionHandler> keptHandler_;
};

struct InMemoryUpdateCache::State {
    std::mutex lock;
    // In arrival order.
    std::vector<ViewManagement::ViewUpdate> pending;
    std::shared_ptr<CheckoutJob> outstanding;
    Common::Error failure;
};

InMemoryUpdateCache::InMemoryUpdateCache() : state_(std::make_unique<State>()) {}

InMemoryUpdateCache::~InMemoryUpdateCache() = default;

void InMemoryUpdateCache::Consume(std::vector<ViewManagement::ViewUpdate> updates) {
    Put(std::move(updates), Common::Error());
}

void InMemoryUpdateCache::Fail(const Common::Error& error) {
    Put({}, error);
}

void InMemoryUpdateCache::Put(std::vector<ViewManagement::ViewUpdate> updates,
                              const Common::Error& error) {
    std::shared_ptr<CheckoutJob> checkout;
    Async::ActionHandler* handler = nullptr;
    std::vector<ViewManagement::ViewUpdate> taken;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        state_->failure = error;
        checkout = std::move(state_->outstanding);
        state_->outstanding = nullptr;
        std::vector<ViewManagement::ViewUpdate>& pending = state_->pending;
        pending.insert(pending.end(), std::make_move_iterator(updates.begin()),
                       std::make_move_iterator(updates.end()));
        if (checkout != nullptr)
            handler = checkout->TakeHandler();
        if (handler != nullptr)
            taken = std::exchange(pending, {});
    }
    if (handler == nullptr)
        return;
    Detail::DeliverUpdates(checkout->Reader(), taken);
    handler->Completed(error);
}

std::shared_ptr<Async::Job> InMemoryUpdateCache::CheckOut(SubscriptionReader& reader,
                                                          Async::ActionHandler& handler) {
    // The caller keeps its handler alive: the job only points at it.
    return CheckOut(reader,
                    std::shared_ptr<Async::ActionHandler>(std::shared_ptr<void>(), &handler));
}

std::shared_ptr<Async::Job> InMemoryUpdateCache::CheckOut(
    SubscriptionReader& reader, std::shared_ptr<Async::ActionHandler> handler) {
    std::vector<ViewManagement::ViewUpdate> taken;
    Common::Error refusal;
    {
        std::lock_guard<std::mutex> hold(state_->lock);
        if (state_->outstanding != nullptr && state_->outstanding->IsWaiting()) {
            refusal = Common::Error(COMMON_PLACE("Kivo::Client::InMemoryUpdateCache::CheckOut"),
                                    kOperationAlreadyRunning,
                                    Common::GetCatalogMessage(Common::kMsgKivoAlreadyRunning));
        } else if (!state_->pending.empty()) {
            state_->outstanding = nullptr;
            taken = std::exchange(state_->pending, {});
        } else if (!state_->failure.IsEmpty()) {
            state_->outstanding = nullptr;
            refusal = state_->failure;
        } else {
            state_->outstanding = std::make_shared<CheckoutJob>(reader, handler);
            return state_->outstanding;
        }
    }
    if (!refusal.IsEmpty())
        return Async::AlreadyFailedJob(*handler, refusal);
    Detail::DeliverUpdates(reader, taken);
    return Async::AlreadyCompletedJob(*handler);
}

}  // namespace Kivo::Client
