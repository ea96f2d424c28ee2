#include "enterprise/common/security/client/init.h"

#include <memory>

#include "core/common/catalog.h"
#include "core/security_api/security.h"

namespace Security {

Common::Error Initialize(Common::LineTag caller) {
    const int32_t result = Security_Initialize(caller, 0);
    uint8_t* bytes = nullptr;
    uint32_t length = 0;
    if (result != 0) {
        Security_GetLastError(bytes, length);
    }
    return Detail::ErrorOfResult(result, bytes, length);
}

namespace Detail {

Common::Error ErrorOfResult(int32_t result, uint8_t* bytes, uint32_t length) {
    const std::unique_ptr<uint8_t[]> owned(bytes);
    if (result == 0) {
        return Common::Error();
    }
    Common::Error reported;
    if (owned != nullptr) {
        reported = Common::Error::Deserialize(owned.get(), length);
    }
    // A failure must not read as success, also when its bytes hold no error.
    if (reported.IsEmpty()) {
        return Common::Error(COMMON_PLACE("Security::Initialize"), kInvalidSecurityResult,
                             Common::GetCatalogMessage(Common::kMsgSecurityInvalidResult));
    }
    return reported;
}

}  // namespace Detail
}  // namespace Security
