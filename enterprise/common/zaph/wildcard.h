// The wildcard match of "Like" patterns: does a text fit a LIKE-style wildcard text?
//
// Both texts are UTF-16 and are compared code unit by code unit, case-sensitively. In the
// wildcard, '%' stands for any run of code units (also an empty one), '_' for exactly one code
// unit, and every other code unit for itself. An empty wildcard matches every text.
//
// The match keeps only the position of the last '%' seen and retries from there, which is
// enough because a later '%' can absorb whatever an earlier one would have: it needs no
// recursion and no memory beyond a few positions, and it takes at most
// (text length + 1) * (wildcard length + 1) steps, however many '%' the wildcard holds.
//
// Thread-safety: a pure function.
#pragma once

#include <cstdint>
#include <string_view>

namespace Zaph::Util {

/// True when `text` fits `wildcard` (see the file comment). When `steps` is given, the number
/// of steps the match took is stored there: the measure that the bound above limits.
bool MatchWildcard(std::u16string_view text, std::u16string_view wildcard,
                   uint64_t* steps = nullptr);

}  // namespace Zaph::Util
