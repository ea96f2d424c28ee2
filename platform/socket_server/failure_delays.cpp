#include "platform/socket_server/failure_delays.h"

#include <algorithm>

namespace KivoServer {

std::chrono::milliseconds FailureDelays::Fail(const std::string& address, Clock::time_point now) {
    while (!byAge_.empty() && now - byAge_.begin()->first >= kForgetAfter)
        Erase(failures_.find(byAge_.begin()->second));
    auto found = failures_.find(address);
    if (found == failures_.end()) {
        if (capacity_ == 0)
            return std::chrono::milliseconds(0);
        if (failures_.size() >= capacity_)
            Erase(failures_.find(byAge_.begin()->second));
        found = failures_.emplace(address, Entry{}).first;
    } else {
        byAge_.erase({found->second.last, address});
    }
    Entry& entry = found->second;
    entry.count = std::min<uint32_t>(entry.count + 1, 64);
    entry.last = now;
    byAge_.emplace(now, address);
    if (entry.count == 1 || base_.count() <= 0)
        return std::chrono::milliseconds(0);
    // base * 2^(count - 2), without passing kMostDelay on the way
    std::chrono::milliseconds delay = base_;
    for (uint32_t doubling = 2; doubling < entry.count && delay < kMostDelay; ++doubling)
        delay *= 2;
    return std::min(delay, kMostDelay);
}

void FailureDelays::Erase(std::unordered_map<std::string, Entry>::iterator found) {
    byAge_.erase({found->second.last, found->first});
    failures_.erase(found);
}

}  // namespace KivoServer
