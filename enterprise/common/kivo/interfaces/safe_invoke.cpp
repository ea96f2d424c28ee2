#include "enterprise/common/kivo/interfaces/safe_invoke.h"

#include <new>

#include "core/common/catalog.h"
#include "core/common/trace.h"

namespace Kivo::Detail {
namespace {

// Raised in place of a null unit, so that the trace says what was passed over.
constexpr uint32_t kNullUnitPassedOver = 0xFC0051;

Common::Error GetBaseError(const Common::Error& thrown) {
    Common::Error wrapped(COMMON_PLACE("Kivo::Detail::`anonymous-namespace'::GetBaseError"),
                          kExceptionFromCallback,
                          Common::GetCatalogMessage(Common::kMsgKivoExceptionFromCallback));
    wrapped.Add(thrown);
    return wrapped;
}

void TraceNullUnit() noexcept {
    try {
        Common::TraceError(
            1, Common::Error(COMMON_PLACE("Kivo::Detail::TraceNullUnit"), kNullUnitPassedOver,
                             Common::GetCatalogMessage(Common::kMsgKivoNullUnitPassedOver)));
    } catch (const std::bad_alloc&) {
        // Nothing to trace with; the unit is passed over all the same.
    }
}

}  // namespace

void TraceCallbackError(const Common::Error& thrown) noexcept {
    try {
        Common::TraceError(1, GetBaseError(thrown));
    } catch (const std::bad_alloc&) {
        // Without memory for the wrapper the plain error is still worth tracing.
        Common::TraceError(1, thrown);
    }
}

void DeliverObjects(ReportReader& reader, const std::vector<Zaph::View::SharedUnitPtr>& objects) {
    for (const Zaph::View::SharedUnitPtr& object : objects) {
        if (!object) {
            TraceNullUnit();
            continue;
        }
        SafeInvoke([&] { reader.OnObject(object); });
    }
}

void DeliverUpdates(SubscriptionReader& reader,
                    const std::vector<ViewManagement::ViewUpdate>& updates) {
    for (const ViewManagement::ViewUpdate& update : updates) {
        if (update.Type > 2)
            continue;
        if (!update.Key || (update.Type == 1 && !update.PackedUpdate)) {
            TraceNullUnit();
            continue;
        }
        SafeInvoke([&] {
            switch (update.Type) {
                case 0:
                    reader.OnCreated(update.Key);
                    break;
                case 1:
                    reader.OnUpdated(update.Key, update.PackedUpdate);
                    break;
                default:
                    reader.OnDeleted(update.Key);
                    break;
            }
        });
    }
}

}  // namespace Kivo::Detail
