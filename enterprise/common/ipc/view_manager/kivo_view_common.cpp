// The descriptor of the view manager, component 271, and the registration of the program's
// component descriptors.

#include "enterprise/common/ipc/view_manager/component_descriptors.h"
#include "enterprise/common/ipc/view_manager/methods.h"

namespace {

template <uint32_t ComponentId>
class ComponentInfoImpl;

using Kivo::ViewManagement::kViewManagerComponentID;

template <>
class ComponentInfoImpl<kViewManagerComponentID> final : public Core::ComponentInfo {
  public:
    uint32_t GetComponentID() const override { return kViewManagerComponentID; }

    Common::Error GetMethodInfo(uint32_t method, Core::MethodInfo& info) const override {
        return Core::DescribeMethod(
            method, Kivo::ViewManagement::Methods::Unsubscribe::kId,
            COMMON_PLACE("(anonymous namespace)::ComponentInfoImpl<271>::GetMethodInfo"), info);
    }

    uint32_t GetInterfaceVersion() const override { return 2; }
};

}  // namespace

namespace Kivo::ViewManagement {

const Core::ComponentInfo& ViewManagerComponentInfo() {
    static const ComponentInfoImpl<kViewManagerComponentID> info;
    return info;
}

void RegisterComponentDescriptors() {
    Core::RegisterComponentInfo(ViewManagerComponentInfo());
    Core::RegisterComponentInfo(ObjectRegistryComponentInfo());
}

}  // namespace Kivo::ViewManagement
