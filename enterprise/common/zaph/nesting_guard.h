// NestingGuard: the depth budget of the recursive unit algorithms (copying, comparing,
// equality).
//
// Each of those algorithms places a guard on the stack for every unit it descends into. The
// guards of one thread share a counter, so nested algorithms (a copy that orders the traits it
// adds, a comparison that pairs traits by equality) spend one budget: kMaxUnitDepth levels,
// which the stack holds on any thread. A guard past the budget raises
// "ZAPH: The unit is nested deeper than {0} levels." (Errors::kUnitTooDeep).
//
// Thread-safety: each thread has its own counter.
#pragma once

#include <cstdint>

#include "core/common/source_location.h"
#include "enterprise/common/zaph/view.h"

namespace Zaph::Detail {

/// The number of guards alive on this thread.
inline thread_local uint32_t nestingDepth = 0;

/// Raises kUnitTooDeep at `place`.
[[noreturn]] void ThrowUnitTooDeep(const Common::SourceLocation& place);

class NestingGuard {
  public:
    /// Enters one level; raises at `place` past the budget.
    explicit NestingGuard(const Common::SourceLocation& place) {
        if (nestingDepth >= kMaxUnitDepth) {
            ThrowUnitTooDeep(place);
        }
        ++nestingDepth;
    }
    ~NestingGuard() { --nestingDepth; }

    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;
};

}  // namespace Zaph::Detail
