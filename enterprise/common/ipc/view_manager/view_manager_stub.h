// Kivo::ViewManagement::ViewManager_Stub: the service side of the view manager. It answers the
// request packets of the nine methods by calling a ViewManager implementation, and is what a
// transport registers as component 271 (Binding::ServerComponent).
//
// Each call reads the request with the method's table entry (methods.h) through
// Binding::Detail::ServerCall, calls the implementation with the arguments read, and replies
// with the implementation's outcome as "result" followed by the output parameters. A request
// packet that cannot be read is answered with the reading error as the result, without calling
// the implementation; so is a Common::Error that the implementation throws. An unknown method
// number throws Core::kUnknownMethod (0xB9000C); a stub made without an implementation throws
// kDisposedAccessPoint.
//
// Thread-safety: HandleCall may run on several threads at once when the implementation allows
// it; the stub itself holds no mutable state.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/ipc_client_api/server_component.h"
#include "enterprise/common/ipc/view_manager/view_manager.h"

namespace Kivo::ViewManagement {

/// See the file comment.
class ViewManager_Stub final : public Binding::SynchronousServerComponent {
  public:
    /// Serves `target` (not null), announcing `interfaceVersion` (1: methods 1 to 4; 2: all).
    ViewManager_Stub(std::shared_ptr<ViewManager> target, uint32_t interfaceVersion);

    uint32_t GetComponentID() const override;
    uint32_t GetInterfaceVersion() const override { return interfaceVersion_; }
    std::vector<uint8_t> HandleCall(uint32_t methodId, std::span<const uint8_t> request) override;

  private:
    const std::shared_ptr<ViewManager> target_;
    const uint32_t interfaceVersion_;
};

}  // namespace Kivo::ViewManagement
