// Async::ResultAccumulator: takes the results of several operations, one at a time (the
// completions that meet at a barrier), and Async::BarrierDebugTracer, the accumulator that only
// traces the failures.
//
// Thread-safety: Accumulate may be called from any thread; BarrierDebugTracer holds no state.
#pragma once

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"

namespace Async {

/// See the file comment.
class ResultAccumulator : private Common::NonCopyable {
  public:
    virtual ~ResultAccumulator() = default;
    /// Takes one operation's result (empty on success).
    virtual void Accumulate(const Common::Error& result) = 0;
};

/// Sends each failure it is given to the trace at level 1, and forgets it.
class BarrierDebugTracer final : public ResultAccumulator {
  public:
    void Accumulate(const Common::Error& result) override;
};

}  // namespace Async
