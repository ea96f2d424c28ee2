#include "enterprise/common/ipc/component_info.h"

#include <map>
#include <mutex>

namespace Core {
namespace {

struct Registry {
    std::mutex lock;
    std::map<uint32_t, const ComponentInfo*> descriptors;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

}  // namespace

Common::Error DescribeMethod(uint32_t method, uint32_t methodCount,
                             const Common::SourceLocation& unknownPlace, MethodInfo& info) {
    if (method < 1 || method > methodCount) {
        return Common::Error(unknownPlace, kUnknownMethod);
    }
    info = MethodInfo{};
    return Common::Error();
}

void RegisterComponentInfo(const ComponentInfo& info) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    registry.descriptors[info.GetComponentID()] = &info;
}

const ComponentInfo* FindComponentInfo(uint32_t componentId) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> hold(registry.lock);
    const auto found = registry.descriptors.find(componentId);
    return found == registry.descriptors.end() ? nullptr : found->second;
}

}  // namespace Core
