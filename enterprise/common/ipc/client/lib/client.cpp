#include "enterprise/common/ipc/client/lib/client.h"

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "core/ipc_client_api/ipc_client.h"

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

Common::Error ConnectLocalImpl(uint32_t serviceId, uint32_t flags,
                               std::unique_ptr<AccessPoint>& accessPoint) {
    accessPoint.reset();
    std::unique_ptr<ServiceBrowser> browser;
    const Common::Error obtained = IPCClient_GetLocalBrowser(browser);
    if (!obtained.IsEmpty()) {
        Common::Error error(COMMON_PLACE("Binding::Detail::ConnectLocalImpl"),
                            kNoLocalServiceBrowser,
                            Common::GetCatalogMessage(Common::kMsgNoLocalServiceBrowser));
        return error.Add(obtained);
    }
    COMMON_ASSERT(browser != nullptr);
    if (browser == nullptr) {
        return Common::Error(COMMON_PLACE("Binding::Detail::ConnectLocalImpl"),
                             kNoLocalServiceBrowser,
                             Common::GetCatalogMessage(Common::kMsgNoLocalServiceBrowser));
    }
    return browser->Connect(serviceId, flags, accessPoint);
}

}  // namespace Binding::Detail
