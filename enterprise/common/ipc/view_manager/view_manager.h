// Kivo::ViewManagement::ViewManager: the view manager of a service as the client sees it, and
// ViewManager_Proxy, which calls a remote one through an access point.
//
// The view manager reads a service's object store: OpenStaticView gives the objects that match a
// specification once; OpenDynamicView gives a view identifier and the current matches, after
// which AcquireUpdates gives the changes since its previous call and CloseView releases the view;
// Subscribe creates a subscriber, AddInterest adds a specification to it (its topic identifier
// and current matches), ReadSubscription gives the pending updates of all its interests, and
// RemoveInterest and Unsubscribe release them. A service whose view manager reports interface
// version 1 has methods 1 to 4 only.
//
// Every method returns its outcome (empty on success) and never throws Common::Error. When a call
// fails its output parameters are left as they were.
//
// ViewManager_Proxy builds each method's request (requests.h) and executes it synchronously
// (Binding::Detail::Execute), blocking the calling thread until the reply is in.
//
// Thread-safety: the proxy's methods may be called from any number of threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/ipc_client_api/access_point.h"
#include "enterprise/common/ipc/view_manager/records.h"

namespace Kivo::ViewManagement {

/// A null access point given to the proxy.
inline constexpr uint32_t kDisposedAccessPoint = 0xFC0017;

/// See the file comment. Slot order: the destructor, then methods 1 to 9.
class ViewManager : private Common::NonCopyable {
  public:
    virtual ~ViewManager() = default;
    virtual Common::Error OpenDynamicView(const ViewSpec& specification, uint32_t& viewID,
                                          UnitVector& snapshot) = 0;
    virtual Common::Error OpenStaticView(const ViewSpec& specification, UnitVector& snapshot) = 0;
    virtual Common::Error AcquireUpdates(uint32_t viewID, std::vector<ViewUpdate>& updates) = 0;
    virtual Common::Error CloseView(uint32_t viewID) = 0;
    virtual Common::Error Subscribe(const SubscriptionSpec& spec, Subscription& subscription) = 0;
    virtual Common::Error AddInterest(const TopicSpec& spec, Topic& topic) = 0;
    virtual Common::Error ReadSubscription(uint32_t subscriber, SubscriptionContent& updates) = 0;
    virtual Common::Error RemoveInterest(const TopicID& topic) = 0;
    virtual Common::Error Unsubscribe(uint32_t subscriber) = 0;
};

/// See the file comment.
class ViewManager_Proxy final : public ViewManager {
  public:
    /// Calls through `accessPoint`, which the proxy keeps. A null access point fails the
    /// assertion, and every method then returns kDisposedAccessPoint.
    explicit ViewManager_Proxy(std::shared_ptr<Binding::AccessPoint> accessPoint);

    Common::Error OpenDynamicView(const ViewSpec& specification, uint32_t& viewID,
                                  UnitVector& snapshot) override;
    Common::Error OpenStaticView(const ViewSpec& specification, UnitVector& snapshot) override;
    Common::Error AcquireUpdates(uint32_t viewID, std::vector<ViewUpdate>& updates) override;
    Common::Error CloseView(uint32_t viewID) override;
    Common::Error Subscribe(const SubscriptionSpec& spec, Subscription& subscription) override;
    Common::Error AddInterest(const TopicSpec& spec, Topic& topic) override;
    Common::Error ReadSubscription(uint32_t subscriber, SubscriptionContent& updates) override;
    Common::Error RemoveInterest(const TopicID& topic) override;
    Common::Error Unsubscribe(uint32_t subscriber) override;

  private:
    // Executes `request` (null: its builder failed) through the access point.
    Common::Error Send(std::unique_ptr<Binding::Request> request);

    const std::shared_ptr<Binding::AccessPoint> accessPoint_;
};

}  // namespace Kivo::ViewManagement
