// IPCClient::CompositeTransport: the library's transport, choosing one per service.
//
// A service that has a component registered in this process (Binding::HasLocalService, asked
// at each Connect) is served by the in-process transport; every other service identifier goes
// to the socket transport, which reaches the service program over its Unix socket. Each
// connection stays with the transport that opened it; the numbers are the ones those
// transports gave (unique in the process), so the composite only remembers the in-process ones:
// every other number belongs to the socket transport, which also holds the connections that it
// adopted from remote browsers, and which fails the numbers it does not know as closed.
//
// Thread-safety: see transport.h.
#pragma once

#include <mutex>
#include <unordered_set>

#include "platform/ipc_client/transport.h"

namespace IPCClient {

/// See the file comment.
class CompositeTransport final : public Transport {
  public:
    /// Over the two transports, which must outlive it.
    CompositeTransport(Transport& inProcess, Transport& sockets)
        : inProcess_(inProcess), sockets_(sockets) {}

    [[nodiscard]] Common::Error Connect(uint32_t serviceId, uint32_t& connectionId) override;
    [[nodiscard]] Common::Error GetComponentVersion(uint32_t connectionId, uint32_t componentId,
                                                    uint32_t& version) override;
    [[nodiscard]] Common::Error Send(uint32_t connectionId, uint32_t componentId, uint32_t methodId,
                                     std::vector<uint8_t> request, ReplyCallback done) override;
    void CloseConnection(uint32_t connectionId) noexcept override;
    void Shutdown() noexcept override;

  private:
    // The transport of connection `connectionId`.
    Transport& Owner(uint32_t connectionId);

    Transport& inProcess_;
    Transport& sockets_;
    std::mutex lock_;
    std::unordered_set<uint32_t> inProcessConnections_;
};

}  // namespace IPCClient
