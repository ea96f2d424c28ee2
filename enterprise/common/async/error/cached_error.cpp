#include "enterprise/common/async/error/cached_error.h"

#include <atomic>

#include "core/common/catalog.h"

namespace Async {
namespace {

struct CachedError {
    uint32_t code;
    uint32_t message;
    std::atomic<const Common::Error*> published;

    const Common::Error& Get() {
        if (const Common::Error* error = published.load(std::memory_order_acquire)) {
            return *error;
        }
        auto* made =
            new Common::Error(COMMON_PLACE_TAG(0x67df8f2f6f61640f, "Async::CachedError::Get"), code,
                              Common::GetCatalogMessage(message));
        const Common::Error* expected = nullptr;
        if (published.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
            return *made;
        }
        delete made;  // another thread published first
        return *expected;
    }
};

CachedError invalidResult{kInvalidResult, Common::kMsgAsyncInvalidResult, {nullptr}};
CachedError canceled{Common::kCanceled, Common::kMsgAsyncCanceled, {nullptr}};

}  // namespace

const Common::Error& InvalidResultError() {
    return invalidResult.Get();
}

const Common::Error& CanceledError() {
    return canceled.Get();
}

}  // namespace Async
