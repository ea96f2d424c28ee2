// The remote post offices: Kivo::PostOffice over a service's view manager (component 271).
//
//   std::unique_ptr<Kivo::PostOffice> postOffice = Kivo::CreateRemoteViewProvider(accessPoint);
//
// CreateRemoteViewProvider asks the access point for the interface version of the view manager:
// version 1 gives a RemotePostOffice (reports with OpenStaticView, subscriptions as dynamic views
// read with AcquireUpdates); any other version a ChanneledRemotePostOffice, whose subscriptions
// are interests (AddInterest) of one shared remote subscriber per connection, fed by a
// dispatcher (remote_subscription.h).
//
// Before a query is sent its options are copied and completed: "LimitOptions" becomes 2000 when
// it is absent or 0, and "EntryPoint" becomes a composite naming the caller (ID, File, Line); see
// view_spec_preparation.h.
//
// Each operation runs one request as a job of its own, which keeps the access point, the query
// and the reader (a null reader hears nothing) until it ends:
//   Report     OpenStaticView; the snapshot goes to the reader, then the handler hears the end.
//   Subscribe  OpenDynamicView, or AddInterest for the dispatcher's subscriber; the objects that
//              match go to the reader, the new subscription into the holder, then the handler
//              hears the end.
// A call that fails reaches the handler with its error; the reader then got nothing and the
// holder is unchanged. So does a reply that names view or interest 0 (kZeroIdentifier: the
// identifier names nothing), checked before anything reaches the reader. A reader that throws
// Common::Error is traced (safe_invoke.h) and delivery goes on. A query whose options cannot be
// copied, and a subscriber that cannot be made (the dispatcher's Subscribe failed), end the job
// before anything is sent: the handler hears the error before the operation returns.
//
// Thread-safety: Subscribe and Report may be called from any thread; the handler and the reader
// are called on the threads of the IPC client library.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "core/ipc_client_api/access_point.h"
#include "enterprise/common/kivo/interfaces/post_office.h"
#include "enterprise/common/zaph/unit_factory.h"

namespace Kivo {

/// The post office for the view manager behind `accessPoint`; see the file comment. Throws
/// 0xFC0017 for a null access point and the error of GetComponentVersion unchanged.
[[nodiscard]] std::unique_ptr<PostOffice> CreateRemoteViewProvider(
    std::shared_ptr<Binding::AccessPoint> accessPoint);

namespace Client {

class RemoteSubscriptionDispatcher;

/// The post office of a version-1 view manager; see the file comment.
class RemotePostOffice : public PostOffice {
  public:
    /// Asks the view manager behind `accessPoint` (not null).
    explicit RemotePostOffice(std::shared_ptr<Binding::AccessPoint> accessPoint);

    /// OpenDynamicView; the subscription reads the view with AcquireUpdates.
    std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                          const std::shared_ptr<ReportReader>& reader,
                                          std::unique_ptr<Subscription>& subscription,
                                          Async::ActionHandler& handler) override;
    /// OpenStaticView.
    std::shared_ptr<Async::Job> Report(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                       const std::shared_ptr<ReportReader>& reader,
                                       Async::ActionHandler& handler) override;

  protected:
    const std::shared_ptr<Binding::AccessPoint> accessPoint_;
    /// Makes the completed options of the queries sent.
    const std::unique_ptr<Zaph::Construction::UnitFactory> factory_;
};

/// The post office of a view manager with subscribers (version 2 and later); see the file
/// comment. One dispatcher, and so one remote subscriber, per connection number of the access
/// point: a reconnected access point gets a new one, and the old one stays until the post
/// office goes.
class ChanneledRemotePostOffice final : public RemotePostOffice {
  public:
    explicit ChanneledRemotePostOffice(std::shared_ptr<Binding::AccessPoint> accessPoint);
    ~ChanneledRemotePostOffice() override;

    /// Subscribes the connection's subscriber once, then AddInterest; the subscription is a
    /// channel of the dispatcher.
    std::shared_ptr<Async::Job> Subscribe(const Core::EntryPoint& entryPoint, const ViewSpec& spec,
                                          const std::shared_ptr<ReportReader>& reader,
                                          std::unique_ptr<Subscription>& subscription,
                                          Async::ActionHandler& handler) override;

  private:
    // The dispatcher of the access point's current connection, made when there is none.
    std::shared_ptr<RemoteSubscriptionDispatcher> GetDispatcher();

    std::mutex lock_;
    // Guarded by lock_.
    std::map<uint32_t, std::shared_ptr<RemoteSubscriptionDispatcher>> dispatchers_;
};

}  // namespace Client
}  // namespace Kivo
