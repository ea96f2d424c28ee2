#include "enterprise/common/async/delegating_action_handler.h"

#include "core/common/assert.h"

namespace Async {

void DelegatingActionHandler::Completed(const Common::Error& error) {
    Common::Error filtered;
    try {
        filtered = Filter(error);
    } catch (const Common::Error& thrown) {
        filtered = thrown;
        filtered.Add(error);
    }
    COMMON_ASSERT_TEXT(target_ != nullptr,
                       "Handler && \"Invalid Delegating Action Handler state.\"");
    if (target_ != nullptr) {
        target_->Completed(filtered);
    }
}

}  // namespace Async
