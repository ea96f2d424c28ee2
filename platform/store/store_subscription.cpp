#include "platform/store/store_subscription.h"

#include <atomic>
#include <mutex>

#include "core/async_service_api/async_service.h"
#include "enterprise/common/async/error/cached_error.h"
#include "enterprise/common/async/work.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"
#include "platform/store/cancelable_job.h"
#include "platform/store/feed_subscription.h"

namespace KivoStore {
namespace {

// What a subscription and its running read share.
struct Shared {
    std::unique_ptr<FeedSubscription> feed;
    std::mutex mutex;
    std::shared_ptr<std::atomic<bool>> readCanceled;

    // Ends the running read, if any.
    void CancelRead() {
        std::lock_guard<std::mutex> guard(mutex);
        if (readCanceled != nullptr)
            readCanceled->store(true);
        feed->Interrupt();
    }
};

class ReadWork final : public Async::Work {
  public:
    ReadWork(std::shared_ptr<Shared> shared, std::shared_ptr<std::atomic<bool>> canceled,
             Kivo::SubscriptionReader& reader)
        : shared_(std::move(shared)), canceled_(std::move(canceled)), reader_(reader) {}

    Common::Error Execute() override {
        FeedSubscription::Updates updates;
        {
            AsyncService::ScopedBlockingWait blocking;
            updates = shared_->feed->Read(*canceled_);
        }
        Kivo::Detail::DeliverUpdates(reader_, updates);
        return Common::Error();
    }

  private:
    const std::shared_ptr<Shared> shared_;
    const std::shared_ptr<std::atomic<bool>> canceled_;
    Kivo::SubscriptionReader& reader_;
};

class StoreSubscription final : public Kivo::Subscription {
  public:
    explicit StoreSubscription(std::unique_ptr<FeedSubscription> feed)
        : shared_(std::make_shared<Shared>()) {
        shared_->feed = std::move(feed);
    }
    ~StoreSubscription() override { shared_->CancelRead(); }

    std::shared_ptr<Async::Job> Read(Kivo::SubscriptionReader& reader,
                                     Async::ActionHandler& handler) override {
        auto canceled = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard<std::mutex> guard(shared_->mutex);
            shared_->readCanceled = canceled;
        }
        auto job = std::make_shared<CancelableJob>(
            std::make_shared<ReadWork>(shared_, canceled, reader), [shared = shared_, canceled] {
                canceled->store(true);
                shared->feed->Interrupt();
            });
        job->Start(handler);
        return job;
    }

  private:
    const std::shared_ptr<Shared> shared_;
};

class SubscribeWork final : public Async::Work {
  public:
    SubscribeWork(std::shared_ptr<Store> store, Zaph::View::SharedUnitPtr pattern, uint64_t limit,
                  std::shared_ptr<Kivo::ReportReader> reader,
                  std::unique_ptr<Kivo::Subscription>& subscription)
        : store_(std::move(store)),
          pattern_(std::move(pattern)),
          limit_(limit),
          reader_(std::move(reader)),
          subscription_(subscription) {}

    Common::Error Execute() override {
        // Let go of the store and the reader as soon as the snapshot is over (see ReportWork).
        const std::shared_ptr<Store> store = std::move(store_);
        const std::shared_ptr<Kivo::ReportReader> heldReader = std::move(reader_);
        Kivo::ReportReader& reader = *heldReader;
        std::unique_ptr<FeedSubscription> feed = FeedSubscription::Start(
            store, pattern_, limit_,
            [&reader](const Zaph::View::SharedUnitPtr& object) {
                Kivo::Detail::SafeInvoke([&] { reader.OnObject(object); });
            },
            &canceled_);
        if (canceled_.load())
            throw Async::CanceledError();
        subscription_ = std::make_unique<StoreSubscription>(std::move(feed));
        return Common::Error();
    }

    void Cancel() { canceled_.store(true); }

  private:
    std::shared_ptr<Store> store_;
    const Zaph::View::SharedUnitPtr pattern_;
    const uint64_t limit_;
    std::shared_ptr<Kivo::ReportReader> reader_;
    std::unique_ptr<Kivo::Subscription>& subscription_;
    std::atomic<bool> canceled_{false};
};

}  // namespace

std::shared_ptr<Async::Job> SubscribeToStore(std::shared_ptr<Store> store,
                                             Zaph::View::SharedUnitPtr pattern, uint64_t limit,
                                             std::shared_ptr<Kivo::ReportReader> reader,
                                             std::unique_ptr<Kivo::Subscription>& subscription,
                                             Async::ActionHandler& handler) {
    auto work = std::make_shared<SubscribeWork>(std::move(store), std::move(pattern), limit,
                                                std::move(reader), subscription);
    auto job = std::make_shared<CancelableJob>(work, [work] { work->Cancel(); });
    job->Start(handler);
    return job;
}

}  // namespace KivoStore
