#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "enterprise/common/ipc/client/lib/client.h"
#include "enterprise/common/ipc/view_manager/requests.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"

namespace Kivo::ViewManagement {

ViewManager_Proxy::ViewManager_Proxy(std::shared_ptr<Binding::AccessPoint> accessPoint)
    : accessPoint_(std::move(accessPoint)) {
    COMMON_ASSERT(accessPoint_ != nullptr);
}

Common::Error ViewManager_Proxy::Send(std::unique_ptr<Binding::Request> request) {
    if (accessPoint_ == nullptr) {
        return Common::Error(COMMON_PLACE("Kivo::ViewManagement::ViewManager_Proxy::Send"),
                             kDisposedAccessPoint,
                             Common::GetCatalogMessage(Common::kMsgKivoDisposedObject));
    }
    try {
        return Binding::Detail::Execute(*accessPoint_, std::move(request));
    } catch (const Common::Error& error) {
        // The library reports failures as results; one that throws still fails only this call.
        return error;
    }
}

Common::Error ViewManager_Proxy::OpenDynamicView(const ViewSpec& specification, uint32_t& viewID,
                                                 UnitVector& snapshot) {
    return Send(CreateOpenDynamicViewRequest(specification, viewID, snapshot));
}

Common::Error ViewManager_Proxy::OpenStaticView(const ViewSpec& specification,
                                                UnitVector& snapshot) {
    return Send(CreateOpenStaticViewRequest(specification, snapshot));
}

Common::Error ViewManager_Proxy::AcquireUpdates(uint32_t viewID, std::vector<ViewUpdate>& updates) {
    return Send(CreateAcquireUpdatesRequest(viewID, updates));
}

Common::Error ViewManager_Proxy::CloseView(uint32_t viewID) {
    return Send(CreateCloseViewRequest(viewID));
}

Common::Error ViewManager_Proxy::Subscribe(const SubscriptionSpec& spec,
                                           Subscription& subscription) {
    return Send(CreateSubscribeRequest(spec, subscription));
}

Common::Error ViewManager_Proxy::AddInterest(const TopicSpec& spec, Topic& topic) {
    return Send(CreateAddInterestRequest(spec, topic));
}

Common::Error ViewManager_Proxy::ReadSubscription(uint32_t subscriber,
                                                  SubscriptionContent& updates) {
    return Send(CreateReadSubscriptionRequest(subscriber, updates));
}

Common::Error ViewManager_Proxy::RemoveInterest(const TopicID& topic) {
    return Send(CreateRemoveInterestRequest(topic));
}

Common::Error ViewManager_Proxy::Unsubscribe(uint32_t subscriber) {
    return Send(CreateUnsubscribeRequest(subscriber));
}

}  // namespace Kivo::ViewManagement
