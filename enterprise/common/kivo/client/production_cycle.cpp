#include "enterprise/common/kivo/client/production_cycle.h"

#include <utility>

#include "enterprise/common/async/delegating_action_handler.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/kivo/client/async_request.h"

namespace Kivo::Client {
namespace {

// Gives a failed pull's error to the consumer before the pull's caller hears it.
class FailConsumerOnError final : public Async::DelegatingActionHandler {
  public:
    FailConsumerOnError(Async::ActionHandler& target, std::weak_ptr<Consumer> consumer)
        : DelegatingActionHandler(&target), consumer_(std::move(consumer)) {}

  protected:
    Common::Error Filter(const Common::Error& error) override {
        if (!error.IsEmpty()) {
            if (const std::shared_ptr<Consumer> consumer = consumer_.lock())
                consumer->Fail(error);
        }
        return error;
    }

  private:
    const std::weak_ptr<Consumer> consumer_;
};

// Holds the pull job's relay, so that it is built before the runner that reports to it.
struct FailureRelayHolder {
    FailConsumerOnError relay;
};

// One ReadSubscription exchange.
class PullTransmissionUpdatesJob final : private FailureRelayHolder, public SmartRequestRunner {
  public:
    PullTransmissionUpdatesJob(std::shared_ptr<Binding::AccessPoint> accessPoint,
                               Async::ActionHandler& handler, uint32_t subscriber,
                               std::weak_ptr<Consumer> consumer)
        : FailureRelayHolder{FailConsumerOnError(handler, consumer)},
          SmartRequestRunner(std::move(accessPoint), relay),
          subscriber_(subscriber),
          consumer_(std::move(consumer)) {}

  protected:
    std::unique_ptr<Binding::Request> CreateRequest() override {
        return ViewManagement::CreateReadSubscriptionRequest(subscriber_, content_);
    }

    Common::Error OnReplied() override {
        if (const std::shared_ptr<Consumer> consumer = consumer_.lock())
            consumer->Consume(std::move(content_.TopicUpdates));
        return Common::Error();
    }

  private:
    const uint32_t subscriber_;
    const std::weak_ptr<Consumer> consumer_;
    ViewManagement::SubscriptionContent content_;
};

class PullTransmissionUpdates final : public Async::Action {
  public:
    PullTransmissionUpdates(std::shared_ptr<Binding::AccessPoint> accessPoint, uint32_t subscriber,
                            std::weak_ptr<Consumer> consumer)
        : accessPoint_(std::move(accessPoint)),
          subscriber_(subscriber),
          consumer_(std::move(consumer)) {}

    std::shared_ptr<Async::Job> Perform(Async::ActionHandler& handler) override {
        auto job = std::make_shared<PullTransmissionUpdatesJob>(accessPoint_, handler, subscriber_,
                                                                consumer_);
        job->StartRequest();
        return job;
    }

  private:
    const std::shared_ptr<Binding::AccessPoint> accessPoint_;
    const uint32_t subscriber_;
    const std::weak_ptr<Consumer> consumer_;
};

}  // namespace

ProductionCycle::ProductionCycle(std::shared_ptr<Async::Action> pull)
    : Async::WaitingHandler(false), cyclic_(std::move(pull)) {}

void ProductionCycle::Start() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (started_)
            return;
        started_ = true;
        running_ = shared_from_this();
    }
    control_.Run(cyclic_, this);
}

void ProductionCycle::Stop(bool wait) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!started_)
            return;
    }
    control_.Cancel();
    if (wait) {
        // The end's error has reached the consumer's Fail already; here only the end matters.
        Wait().Ignore();
    }
}

void ProductionCycle::Completed(const Common::Error& error) {
    std::shared_ptr<ProductionCycle> self;
    {
        std::lock_guard<std::mutex> hold(lock_);
        self = std::move(running_);
    }
    Async::WaitingHandler::Completed(error);
    // `self` may be the last reference: the cycle goes here, after its job control's run ended.
}

std::shared_ptr<Async::Action> MakeTransmissionPull(
    std::shared_ptr<Binding::AccessPoint> accessPoint, uint32_t subscriber,
    std::weak_ptr<Consumer> consumer) {
    return std::make_shared<PullTransmissionUpdates>(std::move(accessPoint), subscriber,
                                                     std::move(consumer));
}

}  // namespace Kivo::Client
