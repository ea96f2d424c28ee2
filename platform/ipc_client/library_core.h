// IPCClient::LibraryCore: what one initialisation of the library owns: its worker pool, its
// transport and the calls in flight.
//
// Access points, browsers and call jobs share the core. The transport is the composite one
// (composite_transport.h): services registered in this process, else service programs over
// Unix sockets; the browsers of remote hosts hand their connections to the socket transport
// (Sockets) themselves. Shutdown (the last IPCClient_Deinit) refuses new calls, cancels every call
// in flight, ends the transport's connections and its I/O thread, runs the handlers that this
// queues and joins every thread; the objects that still share the core then fail with
// kIpcClientNotInitialized.
//
// Thread-safety: every operation may be called from any thread; Shutdown not from a thread of
// the library.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

#include "core/common/error/error.h"
#include "core/common/noncopyable.h"
#include "platform/ipc_client/composite_transport.h"
#include "platform/ipc_client/socket_transport.h"
#include "platform/ipc_client/transport.h"
#include "platform/ipc_client/worker_pool.h"

namespace IPCClient {

class CallState;

/// See the file comment.
class LibraryCore : private Common::NonCopyable {
  public:
    /// How many threads the library runs at most.
    static constexpr size_t kMaxThreads = 64;

    LibraryCore();
    ~LibraryCore();

    Transport& GetTransport() noexcept { return transport_; }
    /// The socket transport under the composite one, which adopts remote connections.
    SocketTransport& Sockets() noexcept { return *sockets_; }
    WorkerPool& Pool() noexcept { return pool_; }

    /// Counts `call` as in flight, so that Shutdown cancels it; kIpcClientNotInitialized once
    /// Shutdown has begun.
    Common::Error Track(const std::shared_ptr<CallState>& call);
    /// The call has ended or can no longer be canceled.
    void Untrack(const CallState* call) noexcept;

    /// True once Shutdown has begun.
    bool IsShutDown();

    /// See the file comment. Later calls do nothing.
    void Shutdown() noexcept;

  private:
    WorkerPool pool_;
    const std::unique_ptr<Transport> inProcess_;
    const std::unique_ptr<SocketTransport> sockets_;
    CompositeTransport transport_;
    std::mutex lock_;
    bool stopped_ = false;
    std::unordered_map<const CallState*, std::weak_ptr<CallState>> calls_;
};

}  // namespace IPCClient
