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
    ActionHandler* const Handler = target_;
    COMMON_ASSERT(Handler && "Invalid Delegating Action Handler state.");
    if (Handler != nullptr) {
        Handler->Completed(filtered);
    }
}

}  // namespace Async
