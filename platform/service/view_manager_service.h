// KivoService::ViewManagerService: the view manager (component 271) of a service, over one
// object store (platform/store) and its change feed.
//
// It answers the nine methods for the clients of any transport, each call knowing the
// connection it came over (core/ipc_client_api/server_component.h):
//
//   OpenStaticView    the objects that match, in id order, at most "LimitOptions" of them
//   OpenDynamicView   a view identifier and the snapshot of a feed subscription of its own
//   AcquireUpdates    the view's changes since the previous call (a long poll, below)
//   CloseView         releases the view
//   Subscribe         a subscriber identifier (the SubscriptionSpec has no fields)
//   AddInterest       the interest's TopicID and its snapshot, the subscriber's new channel
//   ReadSubscription  the changes of every interest of the subscriber, in commit order, each
//                     Key marked with "ChannelID" (the interest number, DWord) on its root;
//                     an interest that fails (its feed lost history) is reported once with a
//                     "ChannelError" marker and then dropped
//   RemoveInterest, Unsubscribe release them
//
// Identifiers belong to their connection: each kind is numbered from 1 per connection (interests
// per subscriber), never 0, and an identifier that the connection does not hold answers a
// "result" error (kUnknownView, kUnknownSubscriber, kUnknownInterest). With interface version 1
// methods 5 to 9 answer kMethodNotOffered.
//
// Long polls: AcquireUpdates and ReadSubscription answer at once when changes are pending; else
// the call is parked (a record, not a thread) until the feed wakes it or its bound passes, when
// it is answered with no changes. A later read of the same view or subscriber answers the one
// still parked with no changes. Replies are bounded: a batch holds what the feed hands out in
// one read, a subscriber's reply at most the same, and a snapshot or report whose reply would
// pass `replyLimit` answers kReplyTooLarge, which names "LimitOptions", and is not built.
//
// A closed connection releases its views, subscribers and interests and answers its parked
// calls with kIpcClientConnectionClosed (their replies go nowhere). Stop (also the destructor)
// answers every parked call (ReadSubscription with a "ChannelRemoval" marker per interest,
// holding kServiceStopping), refuses later calls with kServiceStopping and joins its threads.
//
// Threads: methods run on the transport's thread that calls StartCall. One event-loop thread
// waits on the wake-up descriptors of parked polls and on one timerfd for their bounds; a small
// fixed pool reads the changes of woken polls and answers them.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/ipc_client_api/server_component.h"
#include "platform/service/service_errors.h"
#include "platform/store/store.h"

namespace KivoService {

/// How a service answers.
struct ServiceOptions {
    /// The view-manager interface version it offers: 2 (every method) or 1 (methods 1 to 4).
    uint32_t interfaceVersion = 2;
    /// How long a read without changes stays parked before it is answered empty.
    std::chrono::milliseconds pollBound{1000};
    /// The largest reply packet the transport carries.
    size_t replyLimit = size_t{64} << 20;
    /// The threads that read the changes of woken polls.
    uint32_t workers = 2;
};

/// What a service holds at one moment, for tests and diagnostics.
struct ServiceCounts {
    size_t connections = 0;
    size_t views = 0;
    size_t subscribers = 0;
    size_t interests = 0;
    size_t parkedPolls = 0;
    friend bool operator==(const ServiceCounts&, const ServiceCounts&) = default;
};

/// See the file comment.
class ViewManagerService final : public Binding::ServerComponent {
  public:
    /// A service over `store` (not null), its threads started. Throws Common::Error when they
    /// cannot be had.
    [[nodiscard]] static std::shared_ptr<ViewManagerService> Start(
        std::shared_ptr<KivoStore::Store> store, const ServiceOptions& options = {});
    /// Stops the service (see Stop).
    ~ViewManagerService() override;

    /// See the file comment. Not from a thread of the service; later calls do nothing.
    void Stop() noexcept;
    /// What the service holds now; objects count while anything still holds them.
    [[nodiscard]] ServiceCounts Counts() const;

    uint32_t GetComponentID() const override;
    uint32_t GetInterfaceVersion() const override;
    void StartCall(uint64_t connection, uint32_t methodId, std::span<const uint8_t> request,
                   Binding::ReplyCallback reply) noexcept override;
    void ConnectionClosed(uint64_t connection) noexcept override;

    struct State;

  private:
    explicit ViewManagerService(std::unique_ptr<State> state);
    // Owned alone: the threads that use it are joined before it goes.
    const std::unique_ptr<State> state_;
};

}  // namespace KivoService
