#include "enterprise/common/ipc/client/lib/client.h"

#include "core/common/assert.h"
#include "core/common/catalog.h"

namespace Binding::Detail {

Common::Error Execute(AccessPoint& accessPoint, std::unique_ptr<Request> request) {
    if (request == nullptr) {
        return Common::Error(COMMON_PLACE("Binding::Detail::Execute"), kRequestNotBuilt,
                             Common::GetCatalogMessage(Common::kMsgRequestNotBuilt));
    }
    std::unique_ptr<CallJob> job;
    const Common::Error called = accessPoint.Call(std::move(request), job);
    if (!called.IsEmpty()) {
        return called;
    }
    COMMON_ASSERT(job != nullptr);
    if (job == nullptr) {
        return Common::Error(COMMON_PLACE("Binding::Detail::Execute"), kNoCallJob,
                             Common::GetCatalogMessage(Common::kMsgNoCallJob));
    }
    return job->Run();
}

}  // namespace Binding::Detail
