#include "platform/ipc_client/transport.h"

#include <atomic>

namespace IPCClient {

uint32_t NewConnectionId() noexcept {
    static std::atomic<uint32_t> last{0};
    uint32_t id = last.fetch_add(1, std::memory_order_relaxed) + 1;
    while (id == 0) {  // after a wrap: 0 names no connection
        id = last.fetch_add(1, std::memory_order_relaxed) + 1;
    }
    return id;
}

}  // namespace IPCClient
