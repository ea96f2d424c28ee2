#include "enterprise/common/ipc/view_manager/requests.h"

#include "enterprise/common/ipc/request_impl.h"
#include "enterprise/common/ipc/view_manager/methods.h"

namespace Kivo::ViewManagement {
namespace {

template <class Method, class... Args>
std::unique_ptr<Binding::Request> Create(Args&&... args) {
    return Binding::Detail::BuildRequest([&]() -> std::unique_ptr<Binding::Request> {
        return std::make_unique<Binding::Detail::RequestImpl<typename Method::Signature>>(
            Methods::HeaderOf<Method>(), Methods::ParametersOf<Method>(),
            std::forward<Args>(args)...);
    });
}

}  // namespace

std::unique_ptr<Binding::Request> CreateOpenDynamicViewRequest(const ViewSpec& specification,
                                                               uint32_t& viewID,
                                                               UnitVector& snapshot) {
    return Create<Methods::OpenDynamicView>(specification, viewID, snapshot);
}

std::unique_ptr<Binding::Request> CreateOpenStaticViewRequest(const ViewSpec& specification,
                                                              UnitVector& snapshot) {
    return Create<Methods::OpenStaticView>(specification, snapshot);
}

std::unique_ptr<Binding::Request> CreateAcquireUpdatesRequest(uint32_t viewID,
                                                              std::vector<ViewUpdate>& updates) {
    return Create<Methods::AcquireUpdates>(viewID, updates);
}

std::unique_ptr<Binding::Request> CreateCloseViewRequest(uint32_t viewID) {
    return Create<Methods::CloseView>(viewID);
}

std::unique_ptr<Binding::Request> CreateSubscribeRequest(const SubscriptionSpec& spec,
                                                         Subscription& subscription) {
    return Create<Methods::Subscribe>(spec, subscription);
}

std::unique_ptr<Binding::Request> CreateAddInterestRequest(const TopicSpec& spec, Topic& topic) {
    return Create<Methods::AddInterest>(spec, topic);
}

std::unique_ptr<Binding::Request> CreateReadSubscriptionRequest(uint32_t subscriber,
                                                                SubscriptionContent& updates) {
    return Create<Methods::ReadSubscription>(subscriber, updates);
}

std::unique_ptr<Binding::Request> CreateRemoveInterestRequest(const TopicID& topic) {
    return Create<Methods::RemoveInterest>(topic);
}

std::unique_ptr<Binding::Request> CreateUnsubscribeRequest(uint32_t subscriber) {
    return Create<Methods::Unsubscribe>(subscriber);
}

}  // namespace Kivo::ViewManagement
