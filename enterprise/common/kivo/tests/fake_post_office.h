// A post office of the tests: reports and subscriptions over a list of objects it is given,
// completing on a thread of its own; its subscriptions' reads wait until the test ends them.
#pragma once

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace KivoTest {

/// The reads of a FakePostOffice's subscriptions: the last one waits in `held`.
struct SubscriptionReads {
    Async::ActionHandler* held = nullptr;
};

/// See the file comment.
class FakePostOffice final : public Kivo::PostOffice {
  public:
    /// The objects every report and subscription delivers.
    std::vector<Zaph::View::SharedUnitPtr> objects;
    /// The result every operation completes with.
    Common::Error result;
    /// Shared with the subscriptions, which outlive the post office.
    const std::shared_ptr<SubscriptionReads> reads = std::make_shared<SubscriptionReads>();
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
    struct Subscription final : Kivo::Subscription {
        explicit Subscription(std::shared_ptr<SubscriptionReads> reads) : reads(std::move(reads)) {}
        std::shared_ptr<Async::Job> Read(Kivo::SubscriptionReader&,
                                         Async::ActionHandler& handler) override {
            reads->held = &handler;
            return nullptr;
        }
        const std::shared_ptr<SubscriptionReads> reads;
    };

    std::shared_ptr<Async::Job> Begin(const Core::EntryPoint& entryPoint,
                                      std::shared_ptr<Kivo::ReportReader> reader,
                                      Async::ActionHandler& handler,
                                      std::unique_ptr<Kivo::Subscription>* subscription) {
        lastEntryPoint = entryPoint;
        std::lock_guard<std::mutex> hold(lock_);
        threads_.emplace_back([this, reader, &handler, subscription] {
            Kivo::Detail::DeliverObjects(*reader, objects);
            if (subscription != nullptr && result.IsEmpty())
                *subscription = std::make_unique<Subscription>(reads);
            handler.Completed(result);
        });
        return nullptr;
    }

    std::mutex lock_;
    std::vector<std::thread> threads_;
};

}  // namespace KivoTest
