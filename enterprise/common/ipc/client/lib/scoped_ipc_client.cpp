#include "enterprise/common/ipc/client/lib/scoped_ipc_client.h"

#include "core/ipc_client_api/ipc_client.h"

namespace Binding {

ScopedIPCClient::ScopedIPCClient() noexcept : initError_(IPCClient_Init()) {}

ScopedIPCClient::~ScopedIPCClient() {
    // Its outcome has no reader once the program ends.
    static_cast<void>(IPCClient_Deinit());
}

}  // namespace Binding
