#include "enterprise/common/kivo/client/remoting.h"

#include <string>
#include <utility>

#include "core/common/catalog.h"
#include "core/common/text.h"
#include "enterprise/common/async/finished_job.h"
#include "enterprise/common/ipc/view_manager/methods.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"
#include "enterprise/common/kivo/client/async_request.h"
#include "enterprise/common/kivo/client/remote_subscription.h"
#include "enterprise/common/kivo/client/view_spec_preparation.h"
#include "enterprise/common/kivo/interfaces/safe_invoke.h"

namespace Kivo {
namespace Client {
namespace {

// Sends a query; the objects of the reply go to the reader (a null reader hears nothing).
class ReportCommandBase : public SmartRequestRunner {
  protected:
    ReportCommandBase(std::shared_ptr<Binding::AccessPoint> accessPoint,
                      std::shared_ptr<ReportReader> reader, ViewSpec spec,
                      Async::ActionHandler& handler)
        : SmartRequestRunner(std::move(accessPoint), handler),
          spec_(std::move(spec)),
          reader_(std::move(reader)) {}

    Common::Error OnReplied() override {
        DeliverResults();
        return Common::Error();
    }

    std::unique_ptr<Binding::Request> CreateRequest() final { return MakeRequest(spec_); }

    // Gives the objects of the reply to the reader, then lets them go.
    void DeliverResults() {
        ViewManagement::UnitVector& results = Results();
        if (reader_ != nullptr)
            Detail::DeliverObjects(*reader_, results);
        results.clear();
    }

    // The request that sends `spec`, its outputs held by the command.
    virtual std::unique_ptr<Binding::Request> MakeRequest(const ViewSpec& spec) = 0;
    // The objects of the reply.
    virtual ViewManagement::UnitVector& Results() = 0;

  private:
    // The query as sent.
    const ViewSpec spec_;
    const std::shared_ptr<ReportReader> reader_;
};

// OpenStaticView: a report.
class OpenStaticViewCommand final : public ReportCommandBase {
  public:
    OpenStaticViewCommand(std::shared_ptr<Binding::AccessPoint> accessPoint,
                          std::shared_ptr<ReportReader> reader, ViewSpec spec,
                          Async::ActionHandler& handler)
        : ReportCommandBase(std::move(accessPoint), std::move(reader), std::move(spec), handler) {}

  private:
    std::unique_ptr<Binding::Request> MakeRequest(const ViewSpec& spec) override {
        return ViewManagement::CreateOpenStaticViewRequest(spec, snapshot_);
    }
    ViewManagement::UnitVector& Results() override { return snapshot_; }

    ViewManagement::UnitVector snapshot_;
};

// A query that starts a subscription: the objects that match now go to the reader, then the
// subscription into the caller's holder.
class SubscriptionCommandBase : public ReportCommandBase {
  protected:
    SubscriptionCommandBase(std::shared_ptr<Binding::AccessPoint> accessPoint,
                            std::shared_ptr<ReportReader> reader,
                            std::unique_ptr<Subscription>& holder, ViewSpec spec,
                            Async::ActionHandler& handler)
        : ReportCommandBase(std::move(accessPoint), std::move(reader), std::move(spec), handler),
          holder_(holder) {}

    // The subscription is made first: a reply that cannot give one reaches neither the reader
    // nor the holder, and its refusal is the outcome.
    Common::Error OnReplied() override {
        std::unique_ptr<Subscription> made;
        try {
            made = CreateSubscription(AccessPoint());
        } catch (const Common::Error& refusal) {
            return refusal;
        }
        DeliverResults();
        holder_ = std::move(made);
        return Common::Error();
    }

    // The subscription that the reply names. Throws Common::Error when it names none.
    virtual std::unique_ptr<Subscription> CreateSubscription(
        const std::shared_ptr<Binding::AccessPoint>& accessPoint) = 0;

  private:
    std::unique_ptr<Subscription>& holder_;
};

// OpenDynamicView: a subscription read with AcquireUpdates.
class OpenDynamicViewCommand final : public SubscriptionCommandBase {
  public:
    OpenDynamicViewCommand(std::shared_ptr<Binding::AccessPoint> accessPoint,
                           std::shared_ptr<ReportReader> reader,
                           std::unique_ptr<Subscription>& holder, ViewSpec spec,
                           Async::ActionHandler& handler)
        : SubscriptionCommandBase(std::move(accessPoint), std::move(reader), holder,
                                  std::move(spec), handler) {}

  private:
    std::unique_ptr<Binding::Request> MakeRequest(const ViewSpec& spec) override {
        return ViewManagement::CreateOpenDynamicViewRequest(spec, viewId_, snapshot_);
    }
    ViewManagement::UnitVector& Results() override { return snapshot_; }

    std::unique_ptr<Subscription> CreateSubscription(
        const std::shared_ptr<Binding::AccessPoint>& accessPoint) override {
        if (viewId_ == 0) {
            throw ZeroIdentifierError(
                COMMON_PLACE("Kivo::Client::OpenDynamicViewCommand::CreateSubscription"),
                Common::WidenBytes(ViewManagement::Methods::OpenDynamicView::kName));
        }
        return std::make_unique<StandaloneRemoteSubscription>(accessPoint, viewId_);
    }

    uint32_t viewId_ = 0;
    ViewManagement::UnitVector snapshot_;
};

// AddInterest for the dispatcher's subscriber: a subscription that is a channel of the
// dispatcher.
class AddChannelCommand final : public SubscriptionCommandBase {
  public:
    AddChannelCommand(std::shared_ptr<Binding::AccessPoint> accessPoint,
                      std::shared_ptr<RemoteSubscriptionDispatcher> dispatcher,
                      std::shared_ptr<ReportReader> reader, std::unique_ptr<Subscription>& holder,
                      ViewSpec spec, Async::ActionHandler& handler)
        : SubscriptionCommandBase(std::move(accessPoint), std::move(reader), holder,
                                  std::move(spec), handler),
          dispatcher_(std::move(dispatcher)) {}

  private:
    std::unique_ptr<Binding::Request> MakeRequest(const ViewSpec& spec) override {
        return ViewManagement::CreateAddInterestRequest(
            ViewManagement::TopicSpec{dispatcher_->GetSubscriberId(), spec}, topic_);
    }
    ViewManagement::UnitVector& Results() override { return topic_.Content; }

    std::unique_ptr<Subscription> CreateSubscription(
        const std::shared_ptr<Binding::AccessPoint>&) override {
        if (topic_.ID.Interest == 0) {
            throw ZeroIdentifierError(
                COMMON_PLACE("Kivo::Client::AddChannelCommand::CreateSubscription"),
                Common::WidenBytes(ViewManagement::Methods::AddInterest::kName));
        }
        return dispatcher_->MakeChannel(topic_.ID.Interest);
    }

    const std::shared_ptr<RemoteSubscriptionDispatcher> dispatcher_;
    ViewManagement::Topic topic_;
};

// Starts a `Command` made of `arguments`, the query `spec` prepared for `entryPoint` and
// `handler`. A query that cannot be prepared ends the job at once with the error.
template <class Command, class... Arguments>
std::shared_ptr<Async::Job> StartCommand(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                         Zaph::Construction::UnitFactory& factory,
                                         Async::ActionHandler& handler, Arguments&&... arguments) {
    ViewSpec prepared;
    try {
        prepared = PrepareViewSpec(entryPoint, spec, factory);
    } catch (const Common::Error& refusal) {
        return Async::AlreadyFailedJob(handler, refusal);
    }
    auto command = std::make_shared<Command>(std::forward<Arguments>(arguments)...,
                                             std::move(prepared), handler);
    command->StartRequest();
    return command;
}

}  // namespace

RemotePostOffice::RemotePostOffice(std::shared_ptr<Binding::AccessPoint> accessPoint)
    : accessPoint_(std::move(accessPoint)),
      factory_(std::make_unique<Zaph::Construction::InMemoryUnitFactory>()) {}

std::shared_ptr<Async::Job> RemotePostOffice::Subscribe(const Core::EntryPoint& entryPoint,
                                                        const ViewSpec& spec,
                                                        const std::shared_ptr<ReportReader>& reader,
                                                        std::unique_ptr<Subscription>& subscription,
                                                        Async::ActionHandler& handler) {
    return StartCommand<OpenDynamicViewCommand>(entryPoint, spec, *factory_, handler, accessPoint_,
                                                reader, subscription);
}

std::shared_ptr<Async::Job> RemotePostOffice::Report(const Core::EntryPoint& entryPoint,
                                                     const ViewSpec& spec,
                                                     const std::shared_ptr<ReportReader>& reader,
                                                     Async::ActionHandler& handler) {
    return StartCommand<OpenStaticViewCommand>(entryPoint, spec, *factory_, handler, accessPoint_,
                                               reader);
}

ChanneledRemotePostOffice::ChanneledRemotePostOffice(
    std::shared_ptr<Binding::AccessPoint> accessPoint)
    : RemotePostOffice(std::move(accessPoint)) {}

ChanneledRemotePostOffice::~ChanneledRemotePostOffice() = default;

std::shared_ptr<Async::Job> ChanneledRemotePostOffice::Subscribe(
    const Core::EntryPoint& entryPoint, const ViewSpec& spec,
    const std::shared_ptr<ReportReader>& reader, std::unique_ptr<Subscription>& subscription,
    Async::ActionHandler& handler) {
    const std::shared_ptr<RemoteSubscriptionDispatcher> dispatcher = GetDispatcher();
    // Subscribes under the dispatcher's own lock, not under this post office's.
    const Common::Error unsubscribed = dispatcher->EnsureSubscriber();
    if (!unsubscribed.IsEmpty())
        return Async::AlreadyFailedJob(handler, unsubscribed);
    return StartCommand<AddChannelCommand>(entryPoint, spec, *factory_, handler, accessPoint_,
                                           dispatcher, reader, subscription);
}

std::shared_ptr<RemoteSubscriptionDispatcher> ChanneledRemotePostOffice::GetDispatcher() {
    std::lock_guard<std::mutex> hold(lock_);
    std::shared_ptr<RemoteSubscriptionDispatcher>& dispatcher =
        dispatchers_[accessPoint_->GetConnectionID()];
    if (dispatcher == nullptr)
        dispatcher = std::make_shared<RemoteSubscriptionDispatcher>(accessPoint_);
    return dispatcher;
}

}  // namespace Client

std::unique_ptr<PostOffice> CreateRemoteViewProvider(
    std::shared_ptr<Binding::AccessPoint> accessPoint) {
    if (accessPoint == nullptr) {
        throw Common::Error(COMMON_PLACE("Kivo::CreateRemoteViewProvider"),
                            ViewManagement::kDisposedAccessPoint,
                            Common::GetCatalogMessage(Common::kMsgKivoDisposedObject));
    }
    uint32_t version = 0;
    const Common::Error unknown =
        accessPoint->GetComponentVersion(ViewManagement::kViewManagerComponentID, version);
    if (!unknown.IsEmpty())
        throw unknown;
    if (version == 1)
        return std::make_unique<Client::RemotePostOffice>(std::move(accessPoint));
    return std::make_unique<Client::ChanneledRemotePostOffice>(std::move(accessPoint));
}

}  // namespace Kivo
