// KivoServer::FailureDelays: how long the refusal of a failed login waits, by the address it came
// from, so that guessing passwords from one address slows down with every guess.
//
// The first failure of an address is answered at once, the second after the base delay, each
// later one after twice the delay of the one before, up to kMostDelay. An address whose last
// failure is kForgetAfter old is forgotten (its next failure is a first one again); a success
// changes nothing. The table holds at most `capacity` addresses: past it, the address whose
// last failure is the oldest is forgotten to make room. A base of 0 turns the delays off.
//
// Time is passed in, so that the rules can be exercised without waiting.
//
// Thread-safety: one thread at a time (the server's I/O thread).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

namespace KivoServer {

/// See the file comment.
class FailureDelays {
  public:
    using Clock = std::chrono::steady_clock;

    /// The longest delay.
    static constexpr std::chrono::milliseconds kMostDelay{8000};
    /// How long an address's failures are remembered after its last one.
    static constexpr std::chrono::minutes kForgetAfter{15};
    /// The addresses a table holds by default.
    static constexpr size_t kMostAddresses = 4096;

    explicit FailureDelays(std::chrono::milliseconds base, size_t capacity = kMostAddresses)
        : base_(base), capacity_(capacity) {}

    /// Records a failed login from `address` at `now`; the delay before it is answered.
    [[nodiscard]] std::chrono::milliseconds Fail(const std::string& address, Clock::time_point now);
    /// The addresses held.
    [[nodiscard]] size_t Size() const noexcept { return failures_.size(); }

  private:
    struct Entry {
        uint32_t count = 0;
        Clock::time_point last;
    };

    // Drops `found` from both indices.
    void Erase(std::unordered_map<std::string, Entry>::iterator found);

    const std::chrono::milliseconds base_;
    const size_t capacity_;
    std::unordered_map<std::string, Entry> failures_;
    std::set<std::pair<Clock::time_point, std::string>> byAge_;  // oldest last failure first
};

}  // namespace KivoServer
