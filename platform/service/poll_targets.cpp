#include "platform/service/poll_targets.h"

#include <algorithm>
#include <limits>

#include "platform/service/channel_keys.h"

namespace KivoService {

void PollTarget::Park(std::unique_ptr<ParkedPoll> poll) {
    if (parked_ == nullptr)
        ++counts_.parkedPolls;
    parked_ = std::move(poll);
}

std::unique_ptr<ParkedPoll> PollTarget::TakeParked() {
    if (parked_ != nullptr)
        --counts_.parkedPolls;
    return std::move(parked_);
}

Updates PollTarget::ReadPending() {
    if (!open_.has_value())
        throw closedWith_;
    return ReadFeeds();
}

Updates PollTarget::Close(const Common::Error& reason) {
    closedWith_ = reason;
    open_.reset();
    return ReleaseFeeds(reason);
}

std::vector<int> DynamicView::WakeDescriptors() const {
    if (feed_ == nullptr)
        return {};
    return {feed_->WakeDescriptor()};
}

uint32_t Subscriber::AddInterest(std::unique_ptr<KivoStore::FeedSubscription> feed) {
    const uint32_t number = nextInterest_++;
    interests_.try_emplace(number, counts_, std::move(feed));
    return number;
}

bool Subscriber::RemoveInterest(uint32_t number) {
    return interests_.erase(number) > 0;
}

Updates Subscriber::ReleaseFeeds(const Common::Error& reason) {
    Updates markers;
    for (const auto& [number, interest] : interests_)
        markers.push_back(ChannelMarker(number, kChannelRemoval, reason));
    interests_.clear();
    return markers;
}

std::vector<int> Subscriber::WakeDescriptors() const {
    std::vector<int> descriptors;
    for (const auto& [number, interest] : interests_)
        descriptors.push_back(interest.feed->WakeDescriptor());
    return descriptors;
}

void Subscriber::Refill(Updates& out) {
    for (auto entry = interests_.begin(); entry != interests_.end();) {
        Interest& interest = entry->second;
        if (interest.buffered.empty()) {
            try {
                for (KivoStore::SequencedUpdate& update : interest.feed->ReadPendingSequenced())
                    interest.buffered.push_back(std::move(update));
            } catch (const Common::Error& error) {
                // What the interest read before it failed still reaches the client first.
                for (KivoStore::SequencedUpdate& update : interest.buffered) {
                    update.update.Key = MarkChannel(std::move(update.update.Key), entry->first);
                    out.push_back(std::move(update.update));
                }
                out.push_back(ChannelMarker(entry->first, kChannelError, error));
                entry = interests_.erase(entry);
                continue;
            }
        }
        ++entry;
    }
}

Updates Subscriber::ReadFeeds() {
    Updates out;
    Refill(out);
    // Every interest has read the log up to its position; nothing at or below the lowest of
    // them can still come from any interest.
    uint64_t horizon = std::numeric_limits<uint64_t>::max();
    for (const auto& [number, interest] : interests_)
        horizon = std::min(horizon, interest.feed->Position());
    size_t bytes = 0;
    size_t taken = 0;
    for (;;) {
        Interest* next = nullptr;
        uint32_t nextNumber = 0;
        for (auto& [number, interest] : interests_) {
            if (!interest.buffered.empty() && interest.buffered.front().sequence <= horizon &&
                (next == nullptr ||
                 interest.buffered.front().sequence < next->buffered.front().sequence)) {
                next = &interest;
                nextNumber = number;
            }
        }
        if (next == nullptr)
            break;
        KivoStore::SequencedUpdate& update = next->buffered.front();
        if (taken > 0 && (taken >= KivoStore::kMaxBatchUpdates ||
                          bytes + update.bytes > KivoStore::kMaxBatchBytes)) {
            break;
        }
        update.update.Key = MarkChannel(std::move(update.update.Key), nextNumber);
        out.push_back(std::move(update.update));
        bytes += update.bytes;
        ++taken;
        next->buffered.pop_front();
    }
    return out;
}

}  // namespace KivoService
