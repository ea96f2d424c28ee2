#include "enterprise/common/kivo/client/remote_subscription.h"

#include <utility>

#include "core/common/catalog.h"
#include "core/common/message_format.h"
#include "enterprise/common/async/delegating_action_handler.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"
#include "enterprise/common/kivo/client/async_request.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace Kivo::Client {
namespace {

// Releases the view of a standalone subscription whose read failed, if the access point is
// still there. Runs on the thread that completes the read, which may be a library thread: the
// library allows a synchronous call there.
class CloseView {
  public:
    CloseView(uint32_t viewId, std::weak_ptr<Binding::AccessPoint> accessPoint)
        : viewId_(viewId), accessPoint_(std::move(accessPoint)) {}

    void operator()() const {
        if (const std::shared_ptr<Binding::AccessPoint> accessPoint = accessPoint_.lock())
            (void)ViewManagement::ViewManager_Proxy(accessPoint).CloseView(viewId_);
    }

  private:
    uint32_t viewId_;
    std::weak_ptr<Binding::AccessPoint> accessPoint_;
};

// Releases the interest of a channel whose read failed, as CloseView does for a view.
class RemoveInterest {
  public:
    RemoveInterest(const ViewManagement::TopicID& topic,
                   std::weak_ptr<Binding::AccessPoint> accessPoint)
        : topic_(topic), accessPoint_(std::move(accessPoint)) {}

    void operator()() const {
        if (const std::shared_ptr<Binding::AccessPoint> accessPoint = accessPoint_.lock())
            (void)ViewManagement::ViewManager_Proxy(accessPoint).RemoveInterest(topic_);
    }

  private:
    ViewManagement::TopicID topic_;
    std::weak_ptr<Binding::AccessPoint> accessPoint_;
};

using CloseViewOnFailure = Async::Detail::CustomActionFailureHandler<CloseView>;
using RemoveInterestOnFailure = Async::Detail::CustomActionFailureHandler<RemoveInterest>;

// Holds the read's handler, so that it is built before the runner that reports to it.
struct CloseViewHolder {
    CloseViewOnFailure closeOnFailure;
};

// One AcquireUpdates exchange; the updates go to the reader.
class PullViewUpdatesJob final : private CloseViewHolder, public SmartRequestRunner {
  public:
    PullViewUpdatesJob(const std::shared_ptr<Binding::AccessPoint>& accessPoint, uint32_t viewId,
                       SubscriptionReader& reader, Async::ActionHandler& handler)
        : CloseViewHolder{CloseViewOnFailure(&handler, CloseView(viewId, accessPoint))},
          SmartRequestRunner(accessPoint, closeOnFailure),
          viewId_(viewId),
          reader_(reader) {}

  protected:
    std::unique_ptr<Binding::Request> CreateRequest() override {
        return ViewManagement::CreateAcquireUpdatesRequest(viewId_, updates_);
    }

    Common::Error OnReplied() override {
        Detail::DeliverUpdates(reader_, updates_);
        updates_.clear();
        return Common::Error();
    }

  private:
    const uint32_t viewId_;
    SubscriptionReader& reader_;
    std::vector<ViewManagement::ViewUpdate> updates_;
};

}  // namespace

Common::Error ZeroIdentifierError(const Common::SourceLocation& place, std::u16string_view method) {
    return Common::Error(place, kZeroIdentifier,
                         Common::FormatCatalogMessage(
                             Common::GetCatalogMessage(Common::kMsgKivoZeroIdentifier), {method}));
}

StandaloneRemoteSubscription::StandaloneRemoteSubscription(
    std::shared_ptr<Binding::AccessPoint> accessPoint, uint32_t viewId)
    : accessPoint_(std::move(accessPoint)), viewId_(viewId) {}

std::shared_ptr<Async::Job> StandaloneRemoteSubscription::Read(SubscriptionReader& reader,
                                                               Async::ActionHandler& handler) {
    auto job = std::make_shared<PullViewUpdatesJob>(accessPoint_, viewId_, reader, handler);
    job->StartRequest();
    return job;
}

RemoteChannel::RemoteChannel(std::shared_ptr<Binding::AccessPoint> accessPoint,
                             const ViewManagement::TopicID& topic,
                             std::shared_ptr<InMemoryUpdateCache> cache)
    : accessPoint_(std::move(accessPoint)), topic_(topic), cache_(std::move(cache)) {}

std::shared_ptr<Async::Job> RemoteChannel::Read(SubscriptionReader& reader,
                                                Async::ActionHandler& handler) {
    // The checkout keeps the wrapping handler until it has been called.
    return cache_->CheckOut(reader,
                            std::make_shared<RemoveInterestOnFailure>(
                                &handler, RemoveInterest(topic_, std::weak_ptr(accessPoint_))));
}

}  // namespace Kivo::Client
