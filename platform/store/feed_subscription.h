// KivoStore::FeedSubscription: a view of a store that follows its change log.
//
// Start reads the snapshot (the objects that match the pattern, in id order, at most `limit`
// of them) and the log's position in one read transaction, so that every change committed later
// is read exactly once, and none before. A position is an opaque 64-bit sequence number.
// Reads then hand out the changes after the position as ViewUpdates (feed_updates.h), in commit
// order, in bounded batches: at most kMaxBatchUpdates updates or kMaxBatchBytes of bodies, but
// never fewer than one update when one is pending. The limit caps only the snapshot: membership
// afterwards follows the pattern alone.
//
// Waking: the subscription's descriptor (WakeDescriptor, an eventfd) turns readable when the
// store may have changed (feed_watch.h), in this process at once and in others within
// milliseconds, or at the latest at the watch's one-second tick. An event loop waits on it and
// then calls ReadPending, which empties it before looking at the log (so a commit during the
// read leaves it readable again) and makes it readable again itself when a batch was cut short
// by its bounds. Read waits on the descriptor itself.
//
// The subscription's states:
//
//   Start --snapshot + position--> OPEN --ReadPending / Read--> OPEN (position moved past every
//                                   |                            entry the batch covered)
//                                   +--history lost, damaged entry, store failure, or the
//                                      watch failed (changes would go unheard)--> FAILED
//   FAILED: every later read throws the same error (traced once, at the failure). Interrupt
//   ends a waiting Read with the canceled error and leaves the subscription OPEN.
//
// Memory: one batch at most, whatever the subscription's lag.
//
// Thread-safety: one read at a time (ReadPending or Read); Interrupt, WakeDescriptor and
// Position from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "enterprise/common/ipc/view_manager/records.h"
#include "platform/store/store.h"

namespace KivoStore {

/// The bounds of one batch.
inline constexpr size_t kMaxBatchUpdates = 1000;
inline constexpr size_t kMaxBatchBytes = 8u << 20;

/// One update of a batch with the log entry it came from and the size of the bodies it carries,
/// for readers that merge several subscriptions in commit order.
struct SequencedUpdate {
    uint64_t sequence = 0;
    size_t bytes = 0;
    Kivo::ViewManagement::ViewUpdate update;
};

/// See the file comment.
class FeedSubscription : private Common::NonCopyable {
  public:
    using Updates = std::vector<Kivo::ViewManagement::ViewUpdate>;

    /// Subscribes to `pattern` (not null), giving the snapshot to `sink`. A set `canceled` ends
    /// the snapshot with the canceled error.
    [[nodiscard]] static std::unique_ptr<FeedSubscription> Start(
        std::shared_ptr<Store> store, Zaph::View::SharedUnitPtr pattern, uint64_t limit,
        const Store::ObjectSink& sink, const std::atomic<bool>* canceled = nullptr);
    ~FeedSubscription();

    /// The sequence number of the last change read (or of the snapshot).
    [[nodiscard]] uint64_t Position() const noexcept { return position_.load(); }
    /// Readable when a read may find changes; see the file comment.
    [[nodiscard]] int WakeDescriptor() const noexcept { return wakeFd_; }

    /// The next batch, empty when nothing is pending; never waits.
    [[nodiscard]] Updates ReadPending();
    /// ReadPending, each update with its sequence number and size. Position() is then the last
    /// entry the batch covered: every change up to it is in this batch or an earlier one.
    [[nodiscard]] std::vector<SequencedUpdate> ReadPendingSequenced();
    /// The next batch, waiting for one when nothing is pending. Ends with the canceled error
    /// when `canceled` is set and Interrupt was called.
    [[nodiscard]] Updates Read(const std::atomic<bool>& canceled);
    /// Ends a waiting Read at once (see Read). Never throws.
    void Interrupt() noexcept;

  private:
    FeedSubscription(std::shared_ptr<Store> store, Zaph::View::SharedUnitPtr pattern);
    void Signal() noexcept;

    const std::shared_ptr<Store> store_;
    const Zaph::View::SharedUnitPtr pattern_;
    std::unique_ptr<Engine> reader_;
    std::shared_ptr<FeedWatch> watch_;
    int wakeFd_ = -1;
    std::atomic<uint64_t> position_{0};
    std::unique_ptr<Common::Error> failure_;
};

}  // namespace KivoStore
