// The server components that this process serves itself, by service and component identifier.
//
// A program (or a test) that holds the service side of a component registers it here; the
// in-process transport of the IPC client library routes calls for that service and component to
// it. A service is reachable while at least one of its components is registered.
//
//   Binding::ScopedLocalComponent viewManager(46, std::make_shared<ViewManager_Stub>(...));
//
// Unregistering does not wait for calls that a component is answering; the transport keeps the
// component alive until they return.
//
// Thread-safety: every function may be called from any thread, also while calls run.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "core/ipc_client_api/server_component.h"

namespace Binding {

/// Registers `component` (not null) under `serviceId` and its own component identifier. An error
/// of kIpcClientDuplicateComponent when that place is taken; the registry is then unchanged.
Common::Error RegisterLocalComponent(uint32_t serviceId,
                                     std::shared_ptr<ServerComponent> component);

/// Removes the component registered under `serviceId` and `componentId`, if any.
void UnregisterLocalComponent(uint32_t serviceId, uint32_t componentId) noexcept;

/// The component registered under `serviceId` and `componentId`; null when there is none.
std::shared_ptr<ServerComponent> FindLocalComponent(uint32_t serviceId, uint32_t componentId);

/// Every component registered under `serviceId`.
std::vector<std::shared_ptr<ServerComponent>> FindLocalComponents(uint32_t serviceId);

/// True when at least one component of `serviceId` is registered.
bool HasLocalService(uint32_t serviceId);

/// Registers a component for the life of the object. Throws the error of RegisterLocalComponent.
class ScopedLocalComponent : private Common::NonCopyable {
  public:
    ScopedLocalComponent(uint32_t serviceId, std::shared_ptr<ServerComponent> component);
    ~ScopedLocalComponent();

  private:
    const uint32_t serviceId_;
    const uint32_t componentId_;
};

}  // namespace Binding
