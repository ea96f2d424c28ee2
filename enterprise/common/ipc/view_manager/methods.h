// The methods of the view manager (component 271, interface "ViewManager"): number, name,
// signature, wire parameter names and the interface version each needs. The request factories
// (requests.h) and the service side (view_manager_stub.h) both build on this table, so the two
// sides agree on every request and reply.
//
// Thread-safety: constants only.
#pragma once

#include <array>
#include <cstdint>

#include "enterprise/common/ipc/request_impl.h"
#include "enterprise/common/ipc/view_manager/records.h"

namespace Kivo::ViewManagement {

/// The view manager's component identifier within a service.
inline constexpr uint32_t kViewManagerComponentID = 271;
/// The view manager's interface name.
inline constexpr const char* kViewManagerInterfaceName = "ViewManager";

namespace Methods {

struct OpenDynamicView {
    static constexpr uint32_t kId = 1;
    static constexpr const char* kName = "OpenDynamicView";
    static constexpr uint64_t kInterfaceVersion = 1;
    using Signature = void(const ViewSpec&, uint32_t&, UnitVector&);
    static constexpr std::array<const char*, 3> kParameters{"specification", "viewID", "snapshot"};
};

struct OpenStaticView {
    static constexpr uint32_t kId = 2;
    static constexpr const char* kName = "OpenStaticView";
    static constexpr uint64_t kInterfaceVersion = 1;
    using Signature = void(const ViewSpec&, UnitVector&);
    static constexpr std::array<const char*, 2> kParameters{"specification", "snapshot"};
};

struct AcquireUpdates {
    static constexpr uint32_t kId = 3;
    static constexpr const char* kName = "AcquireUpdates";
    static constexpr uint64_t kInterfaceVersion = 1;
    using Signature = void(uint32_t, std::vector<ViewUpdate>&);
    static constexpr std::array<const char*, 2> kParameters{"viewID", "updates"};
};

struct CloseView {
    static constexpr uint32_t kId = 4;
    static constexpr const char* kName = "CloseView";
    static constexpr uint64_t kInterfaceVersion = 1;
    using Signature = void(uint32_t);
    static constexpr std::array<const char*, 1> kParameters{"viewID"};
};

struct Subscribe {
    static constexpr uint32_t kId = 5;
    static constexpr const char* kName = "Subscribe";
    static constexpr uint64_t kInterfaceVersion = 2;
    using Signature = void(const SubscriptionSpec&, Subscription&);
    static constexpr std::array<const char*, 2> kParameters{"spec", "subscription"};
};

struct AddInterest {
    static constexpr uint32_t kId = 6;
    static constexpr const char* kName = "AddInterest";
    static constexpr uint64_t kInterfaceVersion = 2;
    using Signature = void(const TopicSpec&, Topic&);
    static constexpr std::array<const char*, 2> kParameters{"spec", "topic"};
};

struct ReadSubscription {
    static constexpr uint32_t kId = 7;
    static constexpr const char* kName = "ReadSubscription";
    static constexpr uint64_t kInterfaceVersion = 2;
    using Signature = void(uint32_t, SubscriptionContent&);
    static constexpr std::array<const char*, 2> kParameters{"subscriber", "updates"};
};

struct RemoveInterest {
    static constexpr uint32_t kId = 8;
    static constexpr const char* kName = "RemoveInterest";
    static constexpr uint64_t kInterfaceVersion = 2;
    using Signature = void(const TopicID&);
    static constexpr std::array<const char*, 1> kParameters{"topic"};
};

struct Unsubscribe {
    static constexpr uint32_t kId = 9;
    static constexpr const char* kName = "Unsubscribe";
    static constexpr uint64_t kInterfaceVersion = 2;
    using Signature = void(uint32_t);
    static constexpr std::array<const char*, 1> kParameters{"subscriber"};
};

/// The request header of `Method`.
template <class Method>
Binding::RequestHeader HeaderOf() {
    Binding::RequestHeader header;
    header.ComponentID = kViewManagerComponentID;
    header.MethodID = Method::kId;
    header.InterfaceName = kViewManagerInterfaceName;
    header.MethodName = Method::kName;
    header.InterfaceVersion = Method::kInterfaceVersion;
    return header;
}

/// The parameters of `Method`: their wire names, flags 0 (both directions).
template <class Method>
std::array<Binding::ParameterSpec, Method::kParameters.size()> ParametersOf() {
    std::array<Binding::ParameterSpec, Method::kParameters.size()> parameters;
    for (size_t i = 0; i < parameters.size(); ++i) {
        parameters[i].name = Method::kParameters[i];
    }
    return parameters;
}

}  // namespace Methods
}  // namespace Kivo::ViewManagement
