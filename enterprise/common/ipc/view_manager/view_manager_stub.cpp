#include "enterprise/common/ipc/view_manager/view_manager_stub.h"

#include <tuple>

#include "core/common/assert.h"
#include "core/common/catalog.h"
#include "enterprise/common/ipc/component_info.h"
#include "enterprise/common/ipc/server_call.h"
#include "enterprise/common/ipc/view_manager/methods.h"

namespace Kivo::ViewManagement {
namespace {

// Answers `request`, a request packet of `Method`, with `invoke(arguments...)`.
template <class Method, class Invoke>
std::vector<uint8_t> Serve(std::span<const uint8_t> request, Invoke&& invoke) {
    Binding::Detail::ServerCall<typename Method::Signature> call(Methods::HeaderOf<Method>(),
                                                                 Methods::ParametersOf<Method>());
    Common::Error result;
    try {
        call.ReadRequest(request);
        result = std::apply(invoke, call.GetArguments());
    } catch (const Common::Error& error) {
        // Reported to the caller as the method's outcome.
        result = error;
    }
    return call.WriteReply(result);
}

}  // namespace

ViewManager_Stub::ViewManager_Stub(std::shared_ptr<ViewManager> target, uint32_t interfaceVersion)
    : target_(std::move(target)), interfaceVersion_(interfaceVersion) {
    COMMON_ASSERT(target_ != nullptr);
}

uint32_t ViewManager_Stub::GetComponentID() const {
    return kViewManagerComponentID;
}

std::vector<uint8_t> ViewManager_Stub::HandleCall(uint32_t methodId,
                                                  std::span<const uint8_t> request) {
    if (target_ == nullptr) {
        throw Common::Error(COMMON_PLACE("Kivo::ViewManagement::ViewManager_Stub::HandleCall"),
                            kDisposedAccessPoint,
                            Common::GetCatalogMessage(Common::kMsgKivoDisposedObject));
    }
    ViewManager& target = *target_;
    switch (methodId) {
        case Methods::OpenDynamicView::kId:
            return Serve<Methods::OpenDynamicView>(
                request, [&](auto&... arguments) { return target.OpenDynamicView(arguments...); });
        case Methods::OpenStaticView::kId:
            return Serve<Methods::OpenStaticView>(
                request, [&](auto&... arguments) { return target.OpenStaticView(arguments...); });
        case Methods::AcquireUpdates::kId:
            return Serve<Methods::AcquireUpdates>(
                request, [&](auto&... arguments) { return target.AcquireUpdates(arguments...); });
        case Methods::CloseView::kId:
            return Serve<Methods::CloseView>(
                request, [&](auto&... arguments) { return target.CloseView(arguments...); });
        case Methods::Subscribe::kId:
            return Serve<Methods::Subscribe>(
                request, [&](auto&... arguments) { return target.Subscribe(arguments...); });
        case Methods::AddInterest::kId:
            return Serve<Methods::AddInterest>(
                request, [&](auto&... arguments) { return target.AddInterest(arguments...); });
        case Methods::ReadSubscription::kId:
            return Serve<Methods::ReadSubscription>(
                request, [&](auto&... arguments) { return target.ReadSubscription(arguments...); });
        case Methods::RemoveInterest::kId:
            return Serve<Methods::RemoveInterest>(
                request, [&](auto&... arguments) { return target.RemoveInterest(arguments...); });
        case Methods::Unsubscribe::kId:
            return Serve<Methods::Unsubscribe>(
                request, [&](auto&... arguments) { return target.Unsubscribe(arguments...); });
    }
    throw Common::Error(COMMON_PLACE("Kivo::ViewManagement::ViewManager_Stub::HandleCall"),
                        Core::kUnknownMethod);
}

}  // namespace Kivo::ViewManagement
