// What a long poll reads: a dynamic view (one feed subscription) or a subscriber (one feed
// subscription per interest), each with the record of the call parked on it.
//
// Reading never waits. A view hands out its feed's next batch. A subscriber merges the batches
// of its interests in commit order: it keeps at most one batch per interest, and hands out, in
// sequence order, the buffered updates up to the horizon (the lowest position that every
// interest has read to, so nothing older can still arrive), at most kMaxBatchUpdates updates or
// kMaxBatchBytes of bodies per reply; what is left waits for the next read. Each Key is marked
// with its interest (channel_keys.h). An interest whose feed fails hands out what it buffered,
// then its "ChannelError" marker, and is dropped.
//
// Parking: the service (view_manager_service.cpp) keeps the parked call in the target, under
// the target's lock, together with its wake-up registrations:
//
//   IDLE --read: nothing pending--> PARKED (descriptors watched, deadline set)
//   PARKED --descriptor readable / deadline / a newer read / close--> taken: IDLE
//   Invariants: at most one parked call per target; a parked call is answered exactly once, by
//   whoever takes it out of the target under its lock; the descriptors watched for a parked call
//   belong to feeds the target holds until the call is taken.
//
// Thread-safety: every member is used under the target's `lock`.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "core/ipc_client_api/server_component.h"
#include "platform/service/event_loop.h"
#include "platform/store/feed_subscription.h"

namespace KivoService {

using Updates = std::vector<Kivo::ViewManagement::ViewUpdate>;

/// How many objects of each kind a service holds; each object counts itself.
struct LiveCounts {
    std::atomic<size_t> views{0};
    std::atomic<size_t> subscribers{0};
    std::atomic<size_t> interests{0};
    std::atomic<size_t> parkedPolls{0};
};

/// Counts one object in `counter` for its lifetime.
class Counted : private Common::NonCopyable {
  public:
    explicit Counted(std::atomic<size_t>& counter) : counter_(counter) { ++counter_; }
    ~Counted() { --counter_; }

  private:
    std::atomic<size_t>& counter_;
};

/// A call waiting for changes: how to answer it, and until when.
struct ParkedPoll {
    /// Writes the reply packet of the call for `updates`, or for the failure `result`.
    std::function<std::vector<uint8_t>(Updates updates, const Common::Error& result)> write;
    Binding::ReplyCallback reply;
    EventLoop::Clock::time_point deadline;
    EventLoop::TimerId timer{};
    /// The descriptors watched for it.
    std::vector<int> watched;
};

/// The common part of a view and a subscriber; see the file comment.
class PollTarget : public std::enable_shared_from_this<PollTarget> {
  public:
    /// Counts itself in `open` until closed.
    PollTarget(LiveCounts& counts, std::atomic<size_t>& open) : counts_(counts) {
        open_.emplace(open);
    }
    virtual ~PollTarget() = default;

    /// The next changes, empty when none are pending. Throws the failure of a feed, or the
    /// error the target was closed with.
    [[nodiscard]] Updates ReadPending();
    /// The descriptors that turn readable when ReadPending may find changes.
    [[nodiscard]] virtual std::vector<int> WakeDescriptors() const = 0;

    /// Parks `poll`, counting it.
    void Park(std::unique_ptr<ParkedPoll> poll);
    /// Takes the parked call out, if any.
    [[nodiscard]] std::unique_ptr<ParkedPoll> TakeParked();
    /// Releases the feeds at once (a task that still holds the target holds nothing more); later
    /// reads fail with `reason`. Take the parked call out first. Returns the "ChannelRemoval"
    /// marker, holding `reason`, of every interest it ended.
    [[nodiscard]] Updates Close(const Common::Error& reason);

    std::mutex lock;

  protected:
    [[nodiscard]] virtual Updates ReadFeeds() = 0;
    virtual Updates ReleaseFeeds(const Common::Error& reason) = 0;

    LiveCounts& counts_;

  private:
    std::optional<Counted> open_;
    Common::Error closedWith_;
    std::unique_ptr<ParkedPoll> parked_;
};

/// A dynamic view: one feed subscription.
class DynamicView final : public PollTarget {
  public:
    DynamicView(LiveCounts& counts, std::unique_ptr<KivoStore::FeedSubscription> feed)
        : PollTarget(counts, counts.views), feed_(std::move(feed)) {}

    std::vector<int> WakeDescriptors() const override;

  private:
    Updates ReadFeeds() override { return feed_->ReadPending(); }
    Updates ReleaseFeeds(const Common::Error&) override {
        feed_.reset();
        return {};
    }

    std::unique_ptr<KivoStore::FeedSubscription> feed_;
};

/// A subscriber and its interests.
class Subscriber final : public PollTarget {
  public:
    explicit Subscriber(LiveCounts& counts) : PollTarget(counts, counts.subscribers) {}

    /// Adds an interest over `feed`; its number (from 1).
    [[nodiscard]] uint32_t AddInterest(std::unique_ptr<KivoStore::FeedSubscription> feed);
    /// Removes interest `number`; false when the subscriber does not hold it.
    bool RemoveInterest(uint32_t number);

    std::vector<int> WakeDescriptors() const override;

  private:
    Updates ReadFeeds() override;
    Updates ReleaseFeeds(const Common::Error& reason) override;

    struct Interest {
        Interest(LiveCounts& counts, std::unique_ptr<KivoStore::FeedSubscription> subscription)
            : counted(counts.interests), feed(std::move(subscription)) {}
        Counted counted;
        std::unique_ptr<KivoStore::FeedSubscription> feed;
        std::deque<KivoStore::SequencedUpdate> buffered;
    };

    // Reads a batch into every interest whose buffer is empty; the interests that failed hand
    // out their buffer and marker into `out` and are dropped.
    void Refill(Updates& out);

    uint32_t nextInterest_ = 1;
    std::map<uint32_t, Interest> interests_;
};

}  // namespace KivoService
