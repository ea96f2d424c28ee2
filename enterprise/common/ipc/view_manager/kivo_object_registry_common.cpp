// The descriptor of the object registry, component 274.

#include "enterprise/common/ipc/view_manager/component_descriptors.h"

namespace {

constexpr uint32_t kObjectRegistryComponentID = 274;
constexpr uint32_t kObjectRegistryMethodCount = 3;

template <uint32_t ComponentId>
class ComponentInfoImpl;

template <>
class ComponentInfoImpl<kObjectRegistryComponentID> final : public Core::ComponentInfo {
  public:
    uint32_t GetComponentID() const override { return kObjectRegistryComponentID; }

    Common::Error GetMethodInfo(uint32_t method, Core::MethodInfo& info) const override {
        return Core::DescribeMethod(
            method, kObjectRegistryMethodCount,
            COMMON_PLACE("(anonymous namespace)::ComponentInfoImpl<274>::GetMethodInfo"), info);
    }

    uint32_t GetInterfaceVersion() const override { return 1; }
};

}  // namespace

namespace Kivo::ViewManagement {

const Core::ComponentInfo& ObjectRegistryComponentInfo() {
    static const ComponentInfoImpl<kObjectRegistryComponentID> info;
    return info;
}

}  // namespace Kivo::ViewManagement
