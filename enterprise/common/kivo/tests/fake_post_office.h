// A post office of the tests: reports and subscriptions over a list of objects it is given,
// completing on a thread of its own (or at once when asked), and a subscription that counts its
// reads.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace KivoTest {

/// A subscription whose reads complete at once with `readResult`, counting them.
class CountingSubscription final : public Kivo::Subscription {
  public:
    explicit CountingSubscription(std::shared_ptr<std::atomic<int>> reads) : reads_(reads) {}
    std::shared_ptr<Async::Job> Read(Kivo::SubscriptionReader&,
                                     Async::ActionHandler& handler) override {
        ++*reads_;
        handler.Completed(Common::Error());
        return nullptr;
    }

  private:
    const std::shared_ptr<std::atomic<int>> reads_;
};

/// See the file comment.
class FakePostOffice final : public Kivo::PostOffice {
  public:
    /// The objects every report and subscription delivers.
    std::vector<Zaph::View::SharedUnitPtr> objects;
    /// The result every operation completes with.
    Common::Error result;
    /// Complete inside the call instead of on a thread of the post office.
    bool synchronous = false;
    /// The reads of the subscriptions made.
    const std::shared_ptr<std::atomic<int>> subscriptionReads =
        std::make_shared<std::atomic<int>>();
    /// Operations asked for.
    std::atomic<int> operations{0};
    /// The last entry point given.
    Core::EntryPoint lastEntryPoint;

    ~FakePostOffice() override {
        for (std::thread& thread : threads_)
            thread.join();
    }

    std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint& entryPoint, const Kivo::ViewSpec&,
                                          const std::shared_ptr<Kivo::ReportReader>& reader,
                                          std::unique_ptr<Kivo::Subscription>& subscription,
                                          Async::ActionHandler& handler) override {
        return Begin(entryPoint, reader, handler, &subscription);
    }

    std::shared_ptr<Async::Job> Report(const Core::EntryPoint& entryPoint, const Kivo::ViewSpec&,
                                       const std::shared_ptr<Kivo::ReportReader>& reader,
                                       Async::ActionHandler& handler) override {
        return Begin(entryPoint, reader, handler, nullptr);
    }

  private:
    std::shared_ptr<Async::Job> Begin(const Core::EntryPoint& entryPoint,
                                      std::shared_ptr<Kivo::ReportReader> reader,
                                      Async::ActionHandler& handler,
                                      std::unique_ptr<Kivo::Subscription>* subscription) {
        ++operations;
        lastEntryPoint = entryPoint;
        auto run = [this, reader, &handler, subscription] {
            Kivo::Detail::DeliverObjects(*reader, objects);
            if (subscription != nullptr && result.IsEmpty())
                *subscription = std::make_unique<CountingSubscription>(subscriptionReads);
            handler.Completed(result);
        };
        if (synchronous) {
            run();
        } else {
            std::lock_guard<std::mutex> hold(lock_);
            threads_.emplace_back(run);
        }
        return nullptr;
    }

    std::mutex lock_;
    std::vector<std::thread> threads_;
};

}  // namespace KivoTest
