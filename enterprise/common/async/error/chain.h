// Reading codes along an error's chain, and the codes that end a sequence of actions as a
// success.
//
// A sequence of actions ends at the first step that fails and reports that failure, except for
// failures that mean "stop here, all is well": a chain holding kSequenceFinished always counts as
// success, and a chain holding kCycleFinished counts as success for a sequence that repeats.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>

#include "core/common/error/error.h"

namespace Async {

/// A step result that ends any sequence as a success.
inline constexpr uint32_t kSequenceFinished = 0xF9000E;
/// A step result that ends a repeating sequence as a success.
inline constexpr uint32_t kCycleFinished = 0xF9000F;

/// True when some record of `error`'s chain, from the head, has `code`.
bool ChainContains(const Common::Error& error, uint32_t code);

/// True when `error`'s chain holds the canceled code (Common::kCanceled) anywhere: the
/// operation ended because it was canceled, however its result was wrapped on the way (a cyclic
/// job, for one, reports a step canceled inside it as its own description error with the
/// canceled error as the reason).
bool IsCanceled(const Common::Error& error);

/// What a sequence reports for a step that failed with `stepResult`: the empty error when the
/// chain holds kSequenceFinished, or kCycleFinished and `cyclic`; else `stepResult` itself.
Common::Error SequenceResult(const Common::Error& stepResult, bool cyclic);

}  // namespace Async
