// IPCClient::InProcessTransport: calls to the server components registered in this process
// (core/ipc_client_api/local_components.h).
//
// Each exchange runs on a thread of the library's worker pool: the component is looked up when
// the exchange begins, is handed the method id and the request packet, and its reply packet goes
// to the callback on the same thread. A component that throws Common::Error (an unknown method)
// fails the exchange with that error; a missing component fails it with kIpcClientNoComponent.
//
// Thread-safety: see transport.h; exchanges run concurrently on as many threads as the pool has.
#pragma once

#include "platform/ipc_client/transport.h"
#include "platform/ipc_client/worker_pool.h"

namespace IPCClient {

/// See the file comment.
class InProcessTransport final : public Transport {
  public:
    /// Runs the exchanges on `pool`, which must outlive the transport.
    explicit InProcessTransport(WorkerPool& pool) : pool_(pool) {}

    Common::Error OpenService(uint32_t serviceId) override;
    Common::Error GetComponentVersion(uint32_t serviceId, uint32_t componentId,
                                      uint32_t& version) override;
    Common::Error Send(uint32_t serviceId, uint32_t componentId, uint32_t methodId,
                       std::vector<uint8_t> request, ReplyCallback done) override;

  private:
    WorkerPool& pool_;
};

}  // namespace IPCClient
