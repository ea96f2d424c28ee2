// The objects that the platform IPC client library hands out for connections: the local service
// browser, the binder, and the access points that the browser makes. Each shares the library
// core of the initialisation that made it (library_core.h) and fails with
// kIpcClientNotInitialized once that core has shut down.
//
// Until a transport to other hosts exists, a binder cannot reach any host: Bind fails with
// kIpcClientNoRemoteHosts. The local browser reaches a service whose components are registered
// in this process (core/ipc_client_api/local_components.h), or else the service program behind
// the service's Unix socket (composite_transport.h); each access point holds one connection of
// the library's transport and closes it when it is destroyed.
//
// Thread-safety: every operation may be called from any thread.
#pragma once

#include <memory>

#include "core/ipc_client_api/ipc_client.h"
#include "platform/ipc_client/library_core.h"

namespace IPCClient {

/// The browser of this machine's services.
std::unique_ptr<Binding::ServiceBrowser> MakeLocalBrowser(std::shared_ptr<LibraryCore> core);

/// A binder for connections to other hosts.
std::unique_ptr<Binding::Binder> MakeBinder(std::shared_ptr<LibraryCore> core);

}  // namespace IPCClient
