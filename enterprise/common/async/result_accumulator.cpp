#include "enterprise/common/async/result_accumulator.h"

#include "core/common/trace.h"

namespace Async {
namespace {

// Level of the failures that a barrier drops.
constexpr uint32_t kDroppedFailureTraceLevel = 1;

}  // namespace

void BarrierDebugTracer::Accumulate(const Common::Error& result) {
    if (!result.IsEmpty()) {
        Common::TraceError(kDroppedFailureTraceLevel, result);
    }
}

}  // namespace Async
