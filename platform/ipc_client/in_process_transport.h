// IPCClient::InProcessTransport: calls to the server components registered in this process
// (core/ipc_client_api/local_components.h).
//
// Connect opens a connection to a service that has a component registered here
// (kIpcClientNoService otherwise). Each exchange begins on a thread of the library's worker
// pool: the component is looked up, is handed the connection, the method id and the request
// packet, and its reply goes to the callback, on the same thread when the component answers at
// once, else through the pool. A component that fails the reply (an unknown method) fails the
// exchange with that error; a missing component fails it with kIpcClientNoComponent. Component
// versions are asked of the registered component at each call.
//
// Connections: CloseConnection tells every component of the service that the connection ended,
// once no exchange of that connection is queued or inside a component any more (the last one to
// leave tells them), so that a component never hears of a connection after its end; a
// connection that made no call is not told about. An exchange sent after the close fails with
// kIpcClientConnectionClosed.
//
// Thread-safety: see transport.h; exchanges run concurrently on as many threads as the pool has.
#pragma once

#include <cstddef>
#include <mutex>
#include <unordered_map>

#include "platform/ipc_client/transport.h"
#include "platform/ipc_client/worker_pool.h"

namespace IPCClient {

/// See the file comment.
class InProcessTransport final : public Transport {
  public:
    /// Runs the exchanges on `pool`, which must outlive the transport.
    explicit InProcessTransport(WorkerPool& pool) : pool_(pool) {}

    [[nodiscard]] Common::Error Connect(uint32_t serviceId, uint32_t& connectionId) override;
    [[nodiscard]] Common::Error GetComponentVersion(uint32_t connectionId, uint32_t componentId,
                                                    uint32_t& version) override;
    [[nodiscard]] Common::Error Send(uint32_t connectionId, uint32_t componentId, uint32_t methodId,
                                     std::vector<uint8_t> request, ReplyCallback done) override;
    void CloseConnection(uint32_t connectionId) noexcept override;
    /// Nothing to end: the pool's Stop runs the exchanges still queued.
    void Shutdown() noexcept override {}

  private:
    struct Connection {
        uint32_t serviceId = 0;
        size_t exchanges = 0;  // queued or inside a component
        bool called = false;   // an exchange was sent
        bool closed = false;
    };

    // One exchange, on a pool thread.
    void Exchange(uint32_t serviceId, uint32_t connectionId, uint32_t componentId,
                  uint32_t methodId, const std::vector<uint8_t>& request, ReplyCallback done);
    // An exchange of the connection has left the component; tells the components of a closed
    // connection once it was the last.
    void Leave(uint32_t connectionId) noexcept;
    // Tells the components of `serviceId` that `connectionId` ended.
    static void TellClosed(uint32_t serviceId, uint32_t connectionId) noexcept;

    WorkerPool& pool_;
    std::mutex lock_;
    std::unordered_map<uint32_t, Connection> connections_;
};

}  // namespace IPCClient
