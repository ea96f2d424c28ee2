// The subscriptions of the remote post offices (remoting.h), and the dispatcher that feeds the
// channels of a shared remote subscriber.
//
//   StandaloneRemoteSubscription  one dynamic view of a version-1 view manager: each Read is one
//                                 AcquireUpdates exchange; a read that fails closes the view
//   RemoteSubscriptionDispatcher  one remote subscriber of a connection: it subscribes once,
//                                 pulls ReadSubscription in a production cycle without pause,
//                                 splits each reply by "ChannelID" into runs and hands each run
//                                 to its interest's update cache (update_cache.h)
//   RemoteChannel                 one interest of that subscriber: a Read checks its cache out; a
//                                 read that fails removes the interest
//
// The service marks every Key it sends with the trait "ChannelID" (DWord), the interest the
// update belongs to; the channels' readers see the Key without it, through a view that shares
// the Key, so a queued update outlives the reply it came in. A Key that also carries the trait
// "ChannelCreation", "ChannelRemoval" or "ChannelError" (Nil) is a marker: creation only makes
// the interest known; removal and error end the interest with the error that is the Key's value
// (value kind Error), or with kInterestEndedWithoutReason when the value is not an error. The
// updates of the interest that came before the marker in the reply reach its cache first.
// Removal also drops the interest from the dispatcher: the channel that owns its cache keeps
// the failure, and later updates of that interest number start afresh.
//
// Keys come from the network: an update without a Key (kUpdateWithoutKey), a Key without one
// "ChannelID" DWord other than 0 (kUpdateWithoutChannel) and a removal or error marker of an
// interest that the dispatcher does not hold (kMarkerOfUnknownInterest) are traced at level 1
// and passed over. An interest is held from its first update, creation marker or channel until
// its removal.
//
// The dispatcher's states:
//
//   UNSUBSCRIBED --EnsureSubscriber: Subscribe gives an id other than 0--> SUBSCRIBED
//     |    (a Subscribe that fails, or gives 0, stores nothing: the next call tries again)
//     '--Fail--> FAILED
//   SUBSCRIBED (the production cycle pulls ReadSubscription) --Fail (a pull failed)--> FAILED
//   FAILED: every channel alive heard the error, EnsureSubscriber returns it, and a channel made
//           from now on reads the updates that waited for it, then the error.
//   any --destructor--> the cycle is stopped, every channel fails with kViewBeingClosed, and a
//                       subscriber is unsubscribed (synchronously, outcome ignored).
//
// The destructor may run on any thread, also on a library thread that is delivering one of the
// dispatcher's own replies (a reader's handler dropped the last reference): it then does not
// wait for the cycle, which ends by itself right after that delivery.
//
// Thread-safety: Read of a subscription may be called from any thread, one read at a time per
// subscription. The dispatcher's operations may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/ipc_client_api/access_point.h"
#include "enterprise/common/ipc/view_manager/records.h"
#include "enterprise/common/kivo/client/update_cache.h"
#include "enterprise/common/kivo/interfaces/subscription.h"

namespace Kivo::Client {

/// Every channel of a dispatcher that is destroyed ends with this code: "KIVO: The operation is
/// not permitted because the view is being closed."
inline constexpr uint32_t kViewBeingClosed = 0xFC000B;
/// The service ended an interest with a marker whose value is not an error.
inline constexpr uint32_t kInterestEndedWithoutReason = 0xFC0019;
/// The service answered with identifier 0 (a view, subscriber or interest that names nothing).
inline constexpr uint32_t kZeroIdentifier = 0xFC001A;
/// Traced for an update without a Key, which is passed over.
inline constexpr uint32_t kUpdateWithoutKey = 0xFC001B;
/// Traced for an update whose Key does not carry exactly one "ChannelID" holding a DWord other
/// than 0, which is passed over.
inline constexpr uint32_t kUpdateWithoutChannel = 0xFC001C;
/// Traced for a removal or error marker of an interest that the dispatcher does not hold, which
/// is passed over.
inline constexpr uint32_t kMarkerOfUnknownInterest = 0xFC001D;

/// The error kZeroIdentifier, raised at `place`, for a reply of `method` (say u"Subscribe") that
/// carried identifier 0.
[[nodiscard]] Common::Error ZeroIdentifierError(const Common::SourceLocation& place,
                                                std::u16string_view method);

/// The common base of the remote subscriptions.
class RemoteSubscriptionBase : public Kivo::Subscription {};

/// See the file comment.
class StandaloneRemoteSubscription final : public RemoteSubscriptionBase {
  public:
    StandaloneRemoteSubscription(std::shared_ptr<Binding::AccessPoint> accessPoint,
                                 uint32_t viewId);

    std::shared_ptr<Async::Job> Read(SubscriptionReader& reader,
                                     Async::ActionHandler& handler) override;

  private:
    const std::shared_ptr<Binding::AccessPoint> accessPoint_;
    const uint32_t viewId_;
};

/// See the file comment.
class RemoteChannel final : public RemoteSubscriptionBase {
  public:
    RemoteChannel(std::shared_ptr<Binding::AccessPoint> accessPoint,
                  const ViewManagement::TopicID& topic, std::shared_ptr<InMemoryUpdateCache> cache);

    std::shared_ptr<Async::Job> Read(SubscriptionReader& reader,
                                     Async::ActionHandler& handler) override;

  private:
    const std::shared_ptr<Binding::AccessPoint> accessPoint_;
    const ViewManagement::TopicID topic_;
    const std::shared_ptr<InMemoryUpdateCache> cache_;
};

/// See the file comment. Made by the channeled post office, held by shared pointer.
class RemoteSubscriptionDispatcher final : public Consumer {
  public:
    explicit RemoteSubscriptionDispatcher(std::shared_ptr<Binding::AccessPoint> accessPoint);
    /// Stops the production cycle, fails every channel with 0xFC000B and unsubscribes.
    ~RemoteSubscriptionDispatcher() override;

    /// Subscribes (once) and starts the production cycle. The stored failure once the
    /// dispatcher has failed; the error of Subscribe when it fails (nothing is stored, a later
    /// call tries again).
    [[nodiscard]] Common::Error EnsureSubscriber();
    /// The subscriber identifier; 0 until subscribed.
    [[nodiscard]] uint32_t GetSubscriberId() const;
    /// The channel of `interest`, with the updates that arrived for it before.
    [[nodiscard]] std::unique_ptr<RemoteChannel> MakeChannel(uint32_t interest);

    /// One ReadSubscription reply, split into runs per channel.
    void Consume(std::vector<ViewManagement::ViewUpdate> updates) override;
    /// The subscriber failed: every channel hears `error`, and EnsureSubscriber returns it.
    void Fail(const Common::Error& error) override;

  private:
    struct State;
    // Shared with the production cycle, which holds it weakly.
    const std::shared_ptr<State> state_;
};

}  // namespace Kivo::Client
