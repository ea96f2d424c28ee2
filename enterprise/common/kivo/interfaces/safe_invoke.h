// Protected calls into readers.
//
// Whoever delivers objects to a reader (a post office, a subscription) goes through these, so
// that one reader that throws cannot stop a delivery: a Common::Error thrown by the reader is
// wrapped in kExceptionFromCallback ("Exception from callback.", its reason the thrown error),
// written to the trace at level 1, and the next item follows. A null unit (a peer may send an
// empty one) is never given to a reader: it is traced the same way and passed over.
//
// Thread-safety: as the reader's.
#pragma once

#include <cstdint>
#include <vector>

#include "enterprise/common/ipc/view_manager/records.h"
#include "enterprise/common/kivo/interfaces/readers.h"

namespace Kivo::Detail {

/// The code of a reader's error as it is traced.
inline constexpr uint32_t kExceptionFromCallback = 0xFC0001;

/// Gives each unit of `objects` to `reader`'s OnObject, in order.
void DeliverObjects(ReportReader& reader, const std::vector<Zaph::View::SharedUnitPtr>& objects);

/// Gives each update to `reader` by its Type: 0 OnCreated(Key), 1 OnUpdated(Key, PackedUpdate),
/// 2 OnDeleted(Key); other types are passed over.
void DeliverUpdates(SubscriptionReader& reader,
                    const std::vector<ViewManagement::ViewUpdate>& updates);

/// Runs `call` (a reader call) under the protection described in the file comment.
template <class Call>
void SafeInvoke(Call&& call);

/// Traces a reader's error as the file comment says.
void TraceCallbackError(const Common::Error& thrown) noexcept;

template <class Call>
void SafeInvoke(Call&& call) {
    try {
        call();
    } catch (const Common::Error& thrown) {
        TraceCallbackError(thrown);
    }
}

}  // namespace Kivo::Detail
