// Async::StateTransitions: the permitted moves of a small state machine, as a bit set.
//
// The move from state `from` to state `to` is bit `to * StatesCount + from`. Asking about a state
// outside the machine is an assertion failure and answers "not permitted".
//
// Thread-safety: immutable once built; build tables as constexpr constants.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "core/common/assert.h"

namespace Async {

/// See the file comment.
template <uint32_t StatesCount>
class StateTransitions {
  public:
    struct Move {
        uint32_t from;
        uint32_t to;
    };

    /// The table that permits exactly `moves`.
    constexpr StateTransitions(std::initializer_list<Move> moves) {
        for (const Move& move : moves) {
            const uint32_t bit = move.to * StatesCount + move.from;
            words_[bit / 64] |= uint64_t{1} << (bit % 64);
        }
    }

    /// True when the table permits the move from `from` to `to`.
    bool IsPermitted(int32_t from, int32_t to) const noexcept {
        COMMON_ASSERT_TEXT(from < static_cast<int32_t>(StatesCount),
                           "from < static_cast<long>(StatesCount)");
        COMMON_ASSERT_TEXT(to < static_cast<int32_t>(StatesCount),
                           "to < static_cast<long>(StatesCount)");
        if (from < 0 || to < 0 || from >= static_cast<int32_t>(StatesCount) ||
            to >= static_cast<int32_t>(StatesCount)) {
            return false;
        }
        const uint32_t bit = static_cast<uint32_t>(to) * StatesCount + static_cast<uint32_t>(from);
        return (words_[bit / 64] >> (bit % 64)) & 1;
    }

  private:
    uint64_t words_[(StatesCount * StatesCount + 63) / 64] = {};
};

}  // namespace Async
