#include "enterprise/common/async/error/chain.h"

#include "enterprise/common/async/error/cached_error.h"

namespace Async {

bool ChainContains(const Common::Error& error, uint32_t code) {
    for (Common::Error record = error; !record.IsEmpty(); record = record.Reason()) {
        if (record.Code() == code) {
            return true;
        }
    }
    return false;
}

bool IsCanceled(const Common::Error& error) {
    return ChainContains(error, Common::kCanceled);
}

Common::Error SequenceResult(const Common::Error& stepResult, bool cyclic) {
    if (ChainContains(stepResult, kSequenceFinished) ||
        (cyclic && ChainContains(stepResult, kCycleFinished))) {
        return Common::Error();
    }
    return stepResult;
}

}  // namespace Async
